#pragma once

// Whole-name regular-expression tests for /g: ECMAScript grammar of the standard library, wide
// characters, letter case counting. Building or matching raises std::regex_error for an invalid
// pattern and when a match exceeds the program's work bounds, so that no pattern can hang or
// crash the program.

#include <memory>
#include <string_view>

namespace vellicor {

class Pattern {
 public:
  // Builds the expression; throws std::regex_error when it is invalid, or when building it or
  // matching with it could overflow the stack or take too long.
  explicit Pattern(std::wstring_view text);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // True when the expression matches the whole name; throws std::regex_error when the match
  // exceeds the work bounds.
  bool matchesWhole(std::wstring_view name) const;

 private:
  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace vellicor
