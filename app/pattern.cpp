// The library's own cap on the states of a compiled expression, lowered from 100,000: the
// compiler removes its placeholder states in time quadratic in the longest chain of them, which
// takes seconds at the default (`(?:){40000}` alone) and well under a second at this size, still
// far more than any pattern for a name of at most 260 characters needs. Only this file builds
// expressions, so no other instantiation sees a different value.
#define _GLIBCXX_REGEX_STATE_LIMIT 10000

#include "app/pattern.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
// GCC 12 with sanitizers and optimisation warns about its own std::function inside <regex>.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <string>
#include <vector>

namespace vellicor {

namespace {

// The standard library's matcher backtracks by plain recursion and has no limit of its own, so a
// match is stopped from outside, through the only thing it touches for every step it takes: the
// position in the name. Every operation on a position (create, copy, compare, move, read) is one
// step, and each one also checks how far the stack has grown since the match began.
constexpr std::uint64_t kStepBound = 10'000'000;

// The stack a match may use is kDepthBound times what one repetition of `(a|b)*` takes in the
// matcher, measured once per process. That keeps the bound the same in every build (optimised,
// unoptimised, sanitised, Windows) whose frames differ in size, and lets every name of up to
// kDepthBound - 1 characters through such a loop, far above the 260 characters of a path.
constexpr std::size_t kDepthBound = 600;
constexpr wchar_t kMeasuredLoop[] = L"(a|b)*";
constexpr std::size_t kMeasureShort = 64;
constexpr std::size_t kMeasureLong = 192;

// Frames of the measured loop cannot be smaller or larger than these; outside them the
// measurement went wrong and the nearer limit is used instead.
constexpr std::size_t kMinRepetitionBytes = 64;
constexpr std::size_t kMaxRepetitionBytes = 8192;

// The expression compiler recurses once per item of an unfinished sequence and a few times per
// open group, without limit. A pattern is refused before it reaches the compiler when that
// recursion could go deeper than kBuildDepthBound items (a group counts kGroupBuildCost); at the
// largest frames measured (sanitised builds, about 500 bytes per item) that is 4 MiB of stack.
constexpr std::size_t kBuildDepthBound = 8000;
constexpr std::size_t kGroupBuildCost = 6;

// The compiler reads repeat counts and back-reference numbers into a `long` without checking for
// overflow. Any count above the state cap needs more states than allowed, and any reference above
// it names a group that cannot exist, so such numbers are refused before they are read.
constexpr std::size_t kLargestNumber = _GLIBCXX_REGEX_STATE_LIMIT;

// Nested look-aheads each keep a record per state of the expression for as long as they run, so
// the positions alive at once grow with their nesting times the size of the expression. This caps
// that memory (at about 24 MiB) where the stack bound does not see it.
constexpr std::size_t kLivePositionBound = 1'000'000;

struct MatchBudget {
  std::uint64_t steps = 0;
  std::size_t livePositions = 0;
  std::uintptr_t stackBase = 0;
  std::uintptr_t stackLimit = 0;  // the lowest frame address allowed
  std::uintptr_t lowestFrame = UINTPTR_MAX;
};

// The matcher also creates positions of its own, without a budget to copy from (one for every
// state of the expression, again for every look-ahead it tries); they are charged to the match in
// progress on this thread.
thread_local MatchBudget* activeBudget = nullptr;

class ActiveBudget {
 public:
  explicit ActiveBudget(MatchBudget& budget) : previous_(activeBudget) { activeBudget = &budget; }
  ~ActiveBudget() { activeBudget = previous_; }
  ActiveBudget(const ActiveBudget&) = delete;
  ActiveBudget& operator=(const ActiveBudget&) = delete;

 private:
  MatchBudget* previous_;
};

std::uintptr_t currentFrame() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// Stacks grow downwards on every platform the program is built for. The stack is only compared
// when the match reaches a new lowest frame, which keeps the common step to one comparison more.
inline void spendStep(MatchBudget* budget) {
  if (budget == nullptr) {
    return;
  }
  if (++budget->steps >= kStepBound) {
    throw std::regex_error(std::regex_constants::error_complexity);
  }
  const std::uintptr_t frame = currentFrame();
  if (frame < budget->lowestFrame) {
    budget->lowestFrame = frame;
    if (frame <= budget->stackLimit) {
      throw std::regex_error(std::regex_constants::error_stack);
    }
  }
}

inline void addPosition(MatchBudget* budget) {
  if (budget == nullptr) {
    return;
  }
  spendStep(budget);
  if (++budget->livePositions > kLivePositionBound) {
    throw std::regex_error(std::regex_constants::error_stack);
  }
}

// A position in the name for the matcher, charging each of its operations to the match.
class BudgetedPosition {
 public:
  using iterator_category = std::bidirectional_iterator_tag;
  using value_type = wchar_t;
  using difference_type = std::ptrdiff_t;
  using pointer = const wchar_t*;
  using reference = const wchar_t&;

  BudgetedPosition() : budget_(activeBudget) { addPosition(budget_); }
  BudgetedPosition(const wchar_t* at, MatchBudget* budget) : at_(at), budget_(budget) {
    addPosition(budget_);
  }
  BudgetedPosition(const BudgetedPosition& other) : at_(other.at_), budget_(other.budget_) {
    addPosition(budget_);
  }
  BudgetedPosition& operator=(const BudgetedPosition& other) {
    spendStep(other.budget_);
    at_ = other.at_;
    return *this;
  }
  ~BudgetedPosition() {
    if (budget_ != nullptr) {
      --budget_->livePositions;
    }
  }

  reference operator*() const {
    spendStep(budget_);
    return *at_;
  }
  BudgetedPosition& operator++() {
    spendStep(budget_);
    ++at_;
    return *this;
  }
  BudgetedPosition operator++(int) {
    BudgetedPosition before(*this);
    ++*this;
    return before;
  }
  BudgetedPosition& operator--() {
    spendStep(budget_);
    --at_;
    return *this;
  }
  BudgetedPosition operator--(int) {
    BudgetedPosition before(*this);
    --*this;
    return before;
  }
  friend bool operator==(const BudgetedPosition& left, const BudgetedPosition& right) {
    spendStep(left.budget_);
    return left.at_ == right.at_;
  }

 private:
  const wchar_t* at_ = nullptr;
  MatchBudget* budget_ = nullptr;
};

bool runMatch(const std::wregex& expression, std::wstring_view name, MatchBudget& budget) {
  ActiveBudget active(budget);
  const BudgetedPosition first(name.data(), &budget);
  const BudgetedPosition last(name.data() + name.size(), &budget);
  return std::regex_match(first, last, expression);
}

// How deep the stack went below this function while the expression was matched, with no bound.
std::size_t measureMatchStack(const std::wregex& expression, std::wstring_view name) {
  MatchBudget budget;
  budget.stackBase = currentFrame();
  runMatch(expression, name, budget);
  return budget.lowestFrame < budget.stackBase ? budget.stackBase - budget.lowestFrame : 0;
}

struct StackAllowance {
  std::size_t fixedBytes;       // what reaching the matcher takes
  std::size_t repetitionBytes;  // what one repetition of the measured loop adds
};

StackAllowance measureStackAllowance() {
  const std::wregex loop(kMeasuredLoop, std::regex_constants::ECMAScript);
  const std::size_t shortDepth = measureMatchStack(loop, std::wstring(kMeasureShort, L'a'));
  const std::size_t longDepth = measureMatchStack(loop, std::wstring(kMeasureLong, L'a'));
  const std::size_t measured =
      longDepth > shortDepth ? (longDepth - shortDepth) / (kMeasureLong - kMeasureShort) : 0;
  const std::size_t repetition = std::clamp(measured, kMinRepetitionBytes, kMaxRepetitionBytes);
  const std::size_t loopBytes = repetition * kMeasureShort;
  return {shortDepth > loopBytes ? shortDepth - loopBytes : 0, repetition};
}

std::size_t matchStackBudget() {
  static const StackAllowance allowance = measureStackAllowance();
  return allowance.fixedBytes + kDepthBound * allowance.repetitionBytes;
}

// Skips a run of decimal digits; throws `error` when their value is above kLargestNumber.
std::size_t skipNumber(std::wstring_view text, std::size_t at,
                       std::regex_constants::error_type error) {
  std::size_t value = 0;
  while (at < text.size() && text[at] >= L'0' && text[at] <= L'9') {
    value = value * 10 + static_cast<std::size_t>(text[at] - L'0');
    if (value > kLargestNumber) {
      throw std::regex_error(error);
    }
    ++at;
  }
  return at;
}

bool isHexDigit(wchar_t character) {
  return (character >= L'0' && character <= L'9') || (character >= L'a' && character <= L'f') ||
         (character >= L'A' && character <= L'F');
}

// Skips what follows a backslash, as far as the library reads it: `\cX` takes one character
// more, `\xHH` and `\uHHHH` take their digits, and a back-reference all of its digits. Reading
// less would take the rest for structure, such as the `(` of `\c(`.
std::size_t skipEscape(std::wstring_view text, std::size_t at) {
  if (at >= text.size()) {
    return at;
  }
  const wchar_t character = text[at++];
  std::size_t digits = 0;
  if (character == L'c') {
    return at + 1;
  }
  if (character == L'x') {
    digits = 2;
  } else if (character == L'u') {
    digits = 4;
  } else if (character >= L'1' && character <= L'9') {
    return skipNumber(text, at - 1, std::regex_constants::error_backref);
  }
  while (digits > 0 && at < text.size() && isHexDigit(text[at])) {
    ++at;
    --digits;
  }
  return at;
}

// Bracket contents cannot open or close groups: skips past the closing bracket, including the
// `[:name:]`, `[.name.]` and `[=name=]` forms, whose own `]` does not close it.
std::size_t skipBracket(std::wstring_view text, std::size_t at) {
  if (at < text.size() && text[at] == L'^') {
    ++at;
  }
  while (at < text.size()) {
    const wchar_t character = text[at++];
    if (character == L']') {
      return at;
    }
    if (character == L'\\') {
      at = skipEscape(text, at);
    } else if (character == L'[' && at < text.size() &&
               (text[at] == L':' || text[at] == L'.' || text[at] == L'=')) {
      const wchar_t closing[] = {text[at], L']', L'\0'};
      const std::size_t end = text.find(closing, at + 1);
      at = end == std::wstring_view::npos ? text.size() : end + 2;
    }
  }
  return at;
}

// Skips a repeat count such as `{2}` or `{2,5}` up to its closing brace.
std::size_t skipBraces(std::wstring_view text, std::size_t at) {
  while (at < text.size() && text[at] != L'}') {
    at = text[at] == L',' ? at + 1 : skipNumber(text, at, std::regex_constants::error_space);
    if (at < text.size() && text[at] != L',' && text[at] != L'}') {
      // Not a count; the compiler reports it.
      return text.size();
    }
  }
  return at < text.size() ? at + 1 : at;
}

// The deepest the compiler's recursion can go for this pattern, in items: every item of a
// sequence adds one until an alternative or the end of its group, every open group adds
// kGroupBuildCost. Escaped characters and bracket contents never open or close a group, so
// nothing the compiler would build shallowly is counted as deep. Throws for numbers the compiler
// would overflow on.
std::size_t buildDepth(std::wstring_view text) {
  std::vector<std::size_t> itemsPerLevel(1, 0);
  std::size_t depth = 0;
  std::size_t deepest = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const wchar_t character = text[at++];
    bool isItem = true;
    switch (character) {
      case L'\\':
        at = skipEscape(text, at);
        break;
      case L'[':
        at = skipBracket(text, at);
        break;
      case L'{':
        at = skipBraces(text, at);
        isItem = false;
        break;
      case L'*':
      case L'+':
      case L'?':
        isItem = false;
        break;
      case L'|':
        depth -= itemsPerLevel.back();
        itemsPerLevel.back() = 0;
        isItem = false;
        break;
      case L'(':
        if (at < text.size() && text[at] == L'?') {
          at += 2;
        }
        itemsPerLevel.push_back(0);
        depth += kGroupBuildCost;
        isItem = false;
        break;
      case L')':
        // An unmatched parenthesis is the compiler's to report.
        if (itemsPerLevel.size() > 1) {
          depth -= itemsPerLevel.back() + kGroupBuildCost;
          itemsPerLevel.pop_back();
        }
        break;
      default:
        break;
    }
    if (isItem) {
      ++itemsPerLevel.back();
      ++depth;
    }
    deepest = std::max(deepest, depth);
  }
  return deepest;
}

std::wregex buildExpression(std::wstring_view text) {
  if (buildDepth(text) > kBuildDepthBound) {
    throw std::regex_error(std::regex_constants::error_space);
  }
  // The compiler peeks one character past a trailing `(`; a string owns the terminator it finds
  // there, where a view may end in the middle of other text.
  const std::wstring pattern(text);
  return std::wregex(pattern, std::regex_constants::ECMAScript);
}

}  // namespace

struct Pattern::Compiled {
  std::wregex expression;
};

Pattern::Pattern(std::wstring_view text)
    : compiled_(std::make_unique<Compiled>(Compiled{buildExpression(text)})) {}

Pattern::~Pattern() = default;

bool Pattern::matchesWhole(std::wstring_view name) const {
  const std::size_t stackBudget = matchStackBudget();
  MatchBudget budget;
  budget.stackBase = currentFrame();
  budget.stackLimit = budget.stackBase > stackBudget ? budget.stackBase - stackBudget : 0;
  return runMatch(compiled_->expression, name, budget);
}

}  // namespace vellicor
