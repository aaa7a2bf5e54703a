#pragma once

// What libstdc++'s regular-expression compiler would build from a pattern (ECMAScript grammar),
// worked out from the text alone and cheaply, so that a pattern the compiler could not build
// safely is refused before it is built.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vellicor {

// One state of the expression the library's compiler builds, reduced to what decides the cost
// of building it and how deep the matcher recurses through it.
struct PlannedState {
  enum class Kind { kPlaceholder, kChoice, kRepeat, kLookAhead, kOther };
  Kind kind = Kind::kOther;
  bool lazy = false;      // a repeat that tries the rest of the pattern before one more round
  long next = -1;         // -1: none
  long alternative = -1;  // the second link of choices, repeats and look-aheads
};

// What the library's compiler would do with a pattern, worked out from the text alone and
// cheaply, so that a pattern it could not build safely is refused before it is built.
struct ExpressionPlan {
  bool libraryRefuses = false;  // a syntax error or too many states: the library reports it
  std::size_t buildDepth = 0;   // deepest recursion of the compiler, in items (a group: 6 more)
  // Links the compiler follows removing its empty placeholder states; counting stops past the
  // limit given to planExpression.
  std::uint64_t removalSteps = 0;
  // The most states the matcher can enter one inside the other without touching the name.
  std::size_t uncheckedChain = 0;
  // The states in the order the library creates them, linked as it leaves them once the
  // placeholders are removed (complete when the library builds the pattern and the removal
  // stayed within the limit).
  std::vector<PlannedState> states;
};

// Throws std::regex_error for a repeat count or back-reference number that the compiler would
// read past the range of a `long`.
ExpressionPlan planExpression(std::wstring_view text, std::uint64_t removalStepLimit);

}  // namespace vellicor
