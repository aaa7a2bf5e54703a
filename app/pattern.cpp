#include "app/pattern.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <locale>
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
#include <utility>
#include <vector>

#include "app/pattern_plan.h"

namespace vellicor {

namespace {

// The bounds below are designed for libstdc++: its compiler, whose work and recursion they
// follow, and its matcher, which recurses through every step and touches the name through the
// positions it is given. With another library they would guard nothing.
#if defined(__GLIBCXX__)
constexpr bool kLibstdcxxRegex = true;
#else
constexpr bool kLibstdcxxRegex = false;
#endif
static_assert(kLibstdcxxRegex, "pattern bounds need libstdc++'s <regex>");

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

// The compiler recurses once per item of an unfinished sequence and a few times per open group,
// without limit. A pattern is refused before it reaches the compiler when that recursion could go
// deeper than kBuildDepthBound items (a group counts six); at the largest frames measured
// (sanitised builds, about 500 bytes per item) that is 4 MiB of stack.
constexpr std::size_t kBuildDepthBound = 8000;

// The compiler ends by removing its empty placeholder states: from every state it follows the
// chain of placeholders after it, and in a chain built front to back every placeholder walks the
// rest of it, so the work grows with the square of the chain (`(?:){40000}` takes seconds, and
// nesting such as `(?:(?:){200}){200}` builds longer chains still). A pattern is refused when the
// removal would follow more links than this: at most 1 ms in the optimised and Windows builds and
// 18 ms in the sanitised one, and as much again to count them beforehand.
constexpr std::uint64_t kRemovalStepBound = 500'000;

// The matcher enters a choice, and a lazy repeat, without touching the name, so a chain of them
// recurses past the stack check of a match until it reaches a state that reads the name:
// `(?:a*?){24000}c` overflows an 8 MiB stack that way. The longest such chain is bounded before
// building; 2,000 of them take 280 to 820 KiB (sanitised, optimised, Windows), less than the
// stack bound of a match itself, which so stays under twice its own size.
constexpr std::size_t kUncheckedChainBound = 2000;

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

std::wregex buildExpression(std::wstring_view text) {
  const ExpressionPlan plan = planExpression(text, kRemovalStepBound);
  // The compiler recurses as deep as the text it reads before any error it reports.
  if (plan.buildDepth > kBuildDepthBound) {
    throw std::regex_error(std::regex_constants::error_space);
  }
  if (!plan.libraryRefuses &&
      (plan.removalSteps > kRemovalStepBound || plan.uncheckedChain > kUncheckedChainBound)) {
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
