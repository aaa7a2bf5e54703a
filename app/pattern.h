#pragma once

// Whole-name regular-expression tests for /g, on PCRE2: a grammar as close to ECMAScript's as
// PCRE2's options make it, letter case counting, names matched code unit by code unit as the wide
// text they are (bytes that are not UTF-8 and lone surrogate halves included). All building and
// matching of a run shares one set of bounds (steps, depth, memory), so that no pattern and no
// number of processes can hang the run or bring it down.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace vellicor {

// How one test of a pattern against a name ended. Every result but the first two ends a run
// with the pattern error.
enum class PatternResult {
  kMatch,
  kNoMatch,
  kInvalid,          // refused while building, for its syntax
  kTooBig,           // refused while building: nesting, length, repeat count or compiled size
  kTooManySteps,     // the run's step budget ran out while matching
  kTooDeep,          // a match nested its backtracking too deep
  kOutOfMemory,      // the run's memory bound was reached, or the machine had no more
  kOtherMatchError,  // any other error PCRE2 reports while matching
};

// The /g targets of one run, each built into an expression at its first test.
class PatternSet {
 public:
  // The texts are borrowed: they must outlive the set.
  explicit PatternSet(std::vector<std::wstring_view> texts);
  ~PatternSet();
  PatternSet(const PatternSet&) = delete;
  PatternSet& operator=(const PatternSet&) = delete;

  // Whether target `index`'s expression matches the whole name, building it first when this is
  // its first test. Once a build has failed, that target fails again at every test.
  PatternResult test(std::size_t index, std::wstring_view name);

  // Steps taken so far by all matching of this set, out of its budget.
  std::uint64_t stepsTaken() const;

 private:
  struct Engine;
  std::vector<std::wstring_view> texts_;
  std::unique_ptr<Engine> engine_;  // made at the first test, so that a run that tests nothing
                                    // builds and allocates nothing
};

}  // namespace vellicor
