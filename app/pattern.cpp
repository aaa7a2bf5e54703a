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
// deeper than kBuildDepthBound items (a group counts kGroupBuildCost); at the largest frames
// measured (sanitised builds, about 500 bytes per item) that is 4 MiB of stack.
constexpr std::size_t kBuildDepthBound = 8000;
constexpr std::size_t kGroupBuildCost = 6;

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

// --- What the compiler would build ---------------------------------------------------------------
//
// The reader and the planner below follow libstdc++'s regular-expression scanner and compiler
// (ECMAScript grammar) token for token and state for state, without building any matcher: they
// create the same states in the same order with the same links, and then remove the placeholders
// the way the compiler does, counting its steps. Where the library reports an error the plan
// stops, because the compiler then ends before its removal step.

enum class TokenKind {
  kEnd,
  kInvalid,         // the library's scanner or compiler reports an error here
  kAtom,            // one state reading the name: a character, `.`, a class, a bracket, `\1`
  kAssertion,       // one state no repeat may follow: `^`, `$`, `\b`, `\B`
  kOpenGroup,       // `(`
  kOpenPlainGroup,  // `(?:`
  kOpenLookAhead,   // `(?=` and `(?!`
  kClose,           // `)`
  kStar,            // `*`
  kPlus,            // `+`
  kOptional,        // `?`
  kCount,           // `{least}`, `{least,}`, `{least,most}`
  kBar,             // `|`
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  long least = 0;
  long most = 0;
  bool unbounded = false;  // `{least,}`
  bool range = false;      // `{least,most}`
};

Token tokenOf(TokenKind kind) {
  Token token;
  token.kind = kind;
  return token;
}

bool isRepeat(TokenKind kind) {
  return kind == TokenKind::kStar || kind == TokenKind::kPlus || kind == TokenKind::kOptional ||
         kind == TokenKind::kCount;
}

// Splits a pattern into the tokens of the library's scanner. It tells digits apart as the library
// does, through the character classification of the global locale. The library recognises the
// special characters by their narrow form, which in the "C" locale the program keeps is the ASCII
// character itself.
class PatternReader {
 public:
  explicit PatternReader(std::wstring_view text)
      : text_(text), ctype_(std::use_facet<std::ctype<wchar_t>>(std::locale())) {}

  Token next() {
    if (atEnd()) {
      return tokenOf(TokenKind::kEnd);
    }
    switch (text_[at_++]) {
      case L'\\':
        return atEnd() ? tokenOf(TokenKind::kInvalid) : readEscape();
      case L'(':
        return readOpening();
      case L')':
        return tokenOf(TokenKind::kClose);
      case L'[':
        return readBracket();
      case L'{':
        return readCount();
      case L'^':
      case L'$':
        return tokenOf(TokenKind::kAssertion);
      case L'*':
        return tokenOf(TokenKind::kStar);
      case L'+':
        return tokenOf(TokenKind::kPlus);
      case L'?':
        return tokenOf(TokenKind::kOptional);
      case L'|':
        return tokenOf(TokenKind::kBar);
      default:
        // `.`, a lone `]` or `}`, NUL and every other character.
        return tokenOf(TokenKind::kAtom);
    }
  }

  // A `?` right after a repeat makes it lazy instead of repeating it once more.
  bool skipLazyMark() {
    if (atEnd() || text_[at_] != L'?') {
      return false;
    }
    ++at_;
    return true;
  }

 private:
  bool atEnd() const { return at_ >= text_.size(); }
  bool nextIsDigit() const { return !atEnd() && ctype_.is(std::ctype_base::digit, text_[at_]); }

  Token readOpening() {
    if (atEnd() || text_[at_] != L'?') {
      return tokenOf(TokenKind::kOpenGroup);
    }
    ++at_;
    if (atEnd()) {
      return tokenOf(TokenKind::kInvalid);
    }
    const wchar_t kind = text_[at_++];
    if (kind == L':') {
      return tokenOf(TokenKind::kOpenPlainGroup);
    }
    if (kind == L'=' || kind == L'!') {
      return tokenOf(TokenKind::kOpenLookAhead);
    }
    return tokenOf(TokenKind::kInvalid);
  }

  // What follows a backslash outside brackets; the backslash is read.
  Token readEscape() {
    const wchar_t character = text_[at_++];
    switch (character) {
      case L'b':
      case L'B':
        return tokenOf(TokenKind::kAssertion);
      case L'c':
        return skipControl() ? tokenOf(TokenKind::kAtom) : tokenOf(TokenKind::kInvalid);
      case L'x':
        return skipHexDigits(2) ? tokenOf(TokenKind::kAtom) : tokenOf(TokenKind::kInvalid);
      case L'u':
        return skipHexDigits(4) ? tokenOf(TokenKind::kAtom) : tokenOf(TokenKind::kInvalid);
      case L'0':
        return tokenOf(TokenKind::kAtom);
      default:
        break;
    }
    if (ctype_.is(std::ctype_base::digit, character)) {
      --at_;
      readNumber(std::regex_constants::error_backref);
    }
    return tokenOf(TokenKind::kAtom);
  }

  // What follows a backslash inside brackets, where `\b` is a character and a word boundary or a
  // back-reference is an error; false for an error.
  bool skipEscapeInBracket() {
    const wchar_t character = text_[at_++];
    switch (character) {
      case L'B':
        return false;
      case L'c':
        return skipControl();
      case L'x':
        return skipHexDigits(2);
      case L'u':
        return skipHexDigits(4);
      case L'0':
        return true;
      default:
        return !ctype_.is(std::ctype_base::digit, character);
    }
  }

  bool skipControl() {
    if (atEnd()) {
      return false;
    }
    ++at_;
    return true;
  }

  bool skipHexDigits(int count) {
    for (int i = 0; i < count; ++i) {
      if (atEnd() || !ctype_.is(std::ctype_base::xdigit, text_[at_])) {
        return false;
      }
      ++at_;
    }
    return true;
  }

  // A bracket is one state whatever it holds; this finds where it ends.
  Token readBracket() {
    if (!atEnd() && text_[at_] == L'^') {
      ++at_;
    }
    while (!atEnd()) {
      const wchar_t character = text_[at_++];
      if (character == L']') {
        return tokenOf(TokenKind::kAtom);
      }
      bool valid = true;
      if (character == L'\\') {
        valid = !atEnd() && skipEscapeInBracket();
      } else if (character == L'[') {
        valid = skipClassName();
      }
      if (!valid) {
        return tokenOf(TokenKind::kInvalid);
      }
    }
    return tokenOf(TokenKind::kInvalid);
  }

  // After a `[` inside brackets: `[:name:]`, `[.name.]` and `[=name=]` run to the first
  // `:`, `.` or `=` that is followed by `]`, or the bracket is invalid.
  bool skipClassName() {
    if (atEnd()) {
      return false;
    }
    const wchar_t kind = text_[at_];
    if (kind != L':' && kind != L'.' && kind != L'=') {
      return true;
    }
    const std::size_t close = text_.find(kind, at_ + 1);
    if (close == std::wstring_view::npos || close + 1 >= text_.size() || text_[close + 1] != L']') {
      return false;
    }
    at_ = close + 2;
    return true;
  }

  Token readCount() {
    if (!nextIsDigit()) {
      return tokenOf(TokenKind::kInvalid);
    }
    Token token = tokenOf(TokenKind::kCount);
    token.least = readNumber(std::regex_constants::error_space);
    if (!atEnd() && text_[at_] == L',') {
      ++at_;
      token.range = nextIsDigit();
      token.unbounded = !token.range;
      if (token.range) {
        token.most = readNumber(std::regex_constants::error_space);
      }
    }
    if (atEnd() || text_[at_] != L'}') {
      return tokenOf(TokenKind::kInvalid);
    }
    ++at_;
    return token;
  }

  // The compiler adds up the digits of a count or a back-reference in a `long` without checking
  // for overflow, taking a digit its traits cannot read (one of another script) as -1.
  long readNumber(std::regex_constants::error_type error) {
    long value = 0;
    while (nextIsDigit()) {
      const wchar_t character = text_[at_++];
      const long digit =
          character >= L'0' && character <= L'9' ? character - L'0' : traits_.value(character, 10);
      if (__builtin_mul_overflow(value, 10L, &value) ||
          __builtin_add_overflow(value, digit, &value)) {
        throw std::regex_error(error);
      }
    }
    return value;
  }

  std::wstring_view text_;
  const std::ctype<wchar_t>& ctype_;
  std::regex_traits<wchar_t> traits_;
  std::size_t at_ = 0;
};

using Kind = PlannedState::Kind;

bool hasAlternative(Kind kind) {
  return kind == Kind::kChoice || kind == Kind::kRepeat || kind == Kind::kLookAhead;
}

// A run of linked states, from the first to the one whose next link is still open.
struct Sequence {
  long start = -1;
  long end = -1;
};

// The compiler's list of states, with its limit and its way of copying a repeated item.
class StateList {
 public:
  // Room for what a pattern without counts builds, at most about three states a character.
  explicit StateList(std::size_t characters) { states_.reserve(3 * characters + 4); }

  long add(const PlannedState& state) {
    states_.push_back(state);
    return static_cast<long>(states_.size()) - 1;
  }
  long add(Kind kind, long next = -1, long alternative = -1, bool lazy = false) {
    PlannedState state;
    state.kind = kind;
    state.next = next;
    state.alternative = alternative;
    state.lazy = lazy;
    return add(state);
  }

  // The library refuses the pattern as soon as it holds more states than its limit.
  bool full() const { return states_.size() > _GLIBCXX_REGEX_STATE_LIMIT; }

  PlannedState& operator[](long id) { return states_[static_cast<std::size_t>(id)]; }

  void link(long from, long to) { (*this)[from].next = to; }

  // Copies the states of a sequence as the compiler does: depth first from its start, copying a
  // state each time it comes off the stack. A state pushed twice before it comes off is copied
  // twice, and the first copy keeps its links to the originals.
  Sequence clone(Sequence original) {
    copyOf_.resize(states_.size(), -1);
    pending_.assign(1, original.start);
    copied_.clear();
    while (!pending_.empty() && !full()) {
      const long from = pending_.back();
      pending_.pop_back();
      const PlannedState state = (*this)[from];
      if (copyOf(from) < 0) {
        copied_.push_back(from);
      }
      copyOf(from) = add(state);
      if (hasAlternative(state.kind) && state.alternative >= 0 && copyOf(state.alternative) < 0) {
        pending_.push_back(state.alternative);
      }
      if (from != original.end && state.next >= 0 && copyOf(state.next) < 0) {
        pending_.push_back(state.next);
      }
    }
    for (long from : copied_) {
      PlannedState& copy = (*this)[copyOf(from)];
      copy.next = relinked(copy.next);
      if (hasAlternative(copy.kind)) {
        copy.alternative = relinked(copy.alternative);
      }
    }
    // The compiler's map yields state 0 for an end it never reached.
    const Sequence copy{copyOf(original.start), std::max(copyOf(original.end), 0L)};
    for (long from : copied_) {
      copyOf(from) = -1;
    }
    return copy;
  }

  std::vector<PlannedState> take() { return std::move(states_); }

 private:
  long& copyOf(long id) { return copyOf_[static_cast<std::size_t>(id)]; }
  long relinked(long link) { return link >= 0 && copyOf(link) >= 0 ? copyOf(link) : link; }

  std::vector<PlannedState> states_;
  std::vector<long> copyOf_;   // the latest copy of each original during a clone, or -1
  std::vector<long> pending_;  // the clone's stack
  std::vector<long> copied_;   // the originals copied by the clone
};

// Builds the plan of states as the compiler builds its own, in the same order. The compiler
// recurses through the grammar; this keeps the open groups on a list instead, so that planning
// itself cannot run out of stack.
class ExpressionPlanner {
 public:
  explicit ExpressionPlanner(std::wstring_view text) : reader_(text), states_(text.size()) {}

  // Reads the whole pattern; false where the library reports an error.
  bool build() {
    states_.add(Kind::kOther);  // opens the group of the whole match
    levels_.emplace_back();
    while (true) {
      const Token token = reader_.next();
      bool valid = true;
      if (isRepeat(token.kind)) {
        valid = hasTerm_ && termRepeatable_ && repeatTerm(token, reader_.skipLazyMark());
      } else {
        commitTerm();
        if (token.kind == TokenKind::kEnd) {
          return finishPattern();
        }
        valid = startItem(token);
      }
      deepest_ = std::max(deepest_, depth_);
      if (!valid || states_.full()) {
        return false;
      }
    }
  }

  std::size_t deepest() const { return deepest_; }
  std::vector<PlannedState> takeStates() { return states_.take(); }

 private:
  // A group being read, or the whole pattern.
  struct Level {
    TokenKind opening = TokenKind::kEnd;
    long openingState = -1;
    bool hasChoice = false;
    Sequence choice;  // the alternatives before the current one
    bool hasTerms = false;
    Sequence terms;  // the current alternative so far
    std::size_t items = 0;
  };

  bool startItem(const Token& token) {
    switch (token.kind) {
      case TokenKind::kAtom:
      case TokenKind::kAssertion: {
        const long state = states_.add(Kind::kOther);
        setTerm({state, state}, token.kind == TokenKind::kAtom);
        return true;
      }
      case TokenKind::kOpenGroup:
        openGroup(token.kind, states_.add(Kind::kOther));
        return true;
      case TokenKind::kOpenPlainGroup:
        openGroup(token.kind, states_.add(Kind::kPlaceholder));
        return true;
      case TokenKind::kOpenLookAhead:
        openGroup(token.kind, -1);
        return true;
      case TokenKind::kBar:
        finishAlternative(levels_.back());
        depth_ -= levels_.back().items;
        levels_.back().items = 0;
        return true;
      case TokenKind::kClose:
        return closeGroup();
      default:
        return false;
    }
  }

  // The compiler recurses once more for every item of the sequence it is in.
  void setTerm(Sequence term, bool repeatable) {
    term_ = term;
    hasTerm_ = true;
    termRepeatable_ = repeatable;
    ++levels_.back().items;
    ++depth_;
  }

  void commitTerm() {
    if (!hasTerm_) {
      return;
    }
    Level& level = levels_.back();
    if (level.hasTerms) {
      states_.link(level.terms.end, term_.start);
      level.terms.end = term_.end;
    } else {
      level.terms = term_;
      level.hasTerms = true;
    }
    hasTerm_ = false;
  }

  void openGroup(TokenKind opening, long openingState) {
    Level level;
    level.opening = opening;
    level.openingState = openingState;
    levels_.push_back(level);
    depth_ += kGroupBuildCost;
  }

  // Every alternative ends in a placeholder; from the second on, the alternatives so far and the
  // new one meet in another placeholder behind a choice between them.
  void finishAlternative(Level& level) {
    const long last = states_.add(Kind::kPlaceholder);
    Sequence alternative{last, last};
    if (level.hasTerms) {
      states_.link(level.terms.end, last);
      alternative.start = level.terms.start;
    }
    level.hasTerms = false;
    if (!level.hasChoice) {
      level.choice = alternative;
      level.hasChoice = true;
      return;
    }
    const long end = states_.add(Kind::kPlaceholder);
    states_.link(level.choice.end, end);
    states_.link(alternative.end, end);
    const long choice = states_.add(Kind::kChoice, alternative.start, level.choice.start);
    level.choice = {choice, end};
  }

  Sequence finishChoice(Level& level) {
    finishAlternative(level);
    level.hasChoice = false;
    return level.choice;
  }

  bool closeGroup() {
    if (levels_.size() == 1) {
      return false;
    }
    Level& level = levels_.back();
    const Sequence inner = finishChoice(level);
    Sequence group{level.openingState, inner.end};
    if (level.opening == TokenKind::kOpenLookAhead) {
      states_.link(inner.end, states_.add(Kind::kOther));  // accepts the look-ahead
      group.start = states_.add(Kind::kLookAhead, -1, inner.start);
      group.end = group.start;
    } else {
      states_.link(level.openingState, inner.start);
      if (level.opening == TokenKind::kOpenGroup) {
        group.end = states_.add(Kind::kOther);  // closes the captured group
        states_.link(inner.end, group.end);
      }
    }
    depth_ -= level.items + kGroupBuildCost;
    const bool repeatable = level.opening != TokenKind::kOpenLookAhead;
    levels_.pop_back();
    setTerm(group, repeatable);
    return true;
  }

  bool finishPattern() {
    if (levels_.size() > 1) {
      return false;
    }
    const Sequence whole = finishChoice(levels_.back());
    states_.link(0, whole.start);
    const long end = states_.add(Kind::kOther);  // closes the group of the whole match
    states_.link(whole.end, end);
    states_.link(end, states_.add(Kind::kOther));  // accepts
    return !states_.full();
  }

  bool repeatTerm(const Token& token, bool lazy) {
    if (token.kind == TokenKind::kCount) {
      return repeatCounted(token, lazy);
    }
    if (token.kind == TokenKind::kOptional) {
      const long end = states_.add(Kind::kPlaceholder);
      const long repeat = states_.add(Kind::kRepeat, -1, term_.start, lazy);
      states_.link(term_.end, end);
      states_.link(repeat, end);
      term_ = {repeat, end};
      return true;
    }
    const long repeat = states_.add(Kind::kRepeat, -1, term_.start, lazy);
    states_.link(term_.end, repeat);
    term_.end = repeat;
    if (token.kind == TokenKind::kStar) {
      term_.start = repeat;
    }
    return true;
  }

  // A count copies the item once for each required round, then either loops over one more copy
  // or offers one optional copy after another.
  bool repeatCounted(const Token& token, bool lazy) {
    const Sequence original = term_;
    const long first = states_.add(Kind::kPlaceholder);
    Sequence result{first, first};
    // The compiler hands the counts on as `int`.
    const long least = static_cast<int>(token.least);
    for (long i = 0; i < least && !states_.full(); ++i) {
      const Sequence copy = states_.clone(original);
      states_.link(result.end, copy.start);
      result.end = copy.end;
    }
    if (token.unbounded) {
      const Sequence loop = states_.clone(original);
      const long repeat = states_.add(Kind::kRepeat, -1, loop.start, lazy);
      states_.link(loop.end, repeat);
      states_.link(result.end, repeat);
      result.end = repeat;
      term_ = result;
      return true;
    }
    const long optional = token.range ? static_cast<int>(token.most) - least : 0;
    if (optional < 0) {
      return false;
    }
    const long end = states_.add(Kind::kPlaceholder);
    std::vector<long> repeats;
    for (long i = 0; i < optional && !states_.full(); ++i) {
      const Sequence copy = states_.clone(original);
      const long repeat = states_.add(Kind::kRepeat, copy.start, end, lazy);
      repeats.push_back(repeat);
      states_.link(result.end, repeat);
      result.end = copy.end;
    }
    states_.link(result.end, end);
    result.end = end;
    // Each optional round is built as "match less" and then turned round to try it first.
    for (long repeat : repeats) {
      std::swap(states_[repeat].next, states_[repeat].alternative);
    }
    term_ = result;
    return true;
  }

  PatternReader reader_;
  StateList states_;
  std::vector<Level> levels_;
  bool hasTerm_ = false;  // an item that a repeat may still follow
  bool termRepeatable_ = false;
  Sequence term_;
  std::size_t depth_ = 0;
  std::size_t deepest_ = 0;
};

// The compiler's last step: every link that leads to a placeholder is moved on to the first state
// after it that is none, from the first state to the last. Returns the links followed, stopping
// once there are more than `limit`.
std::uint64_t removePlaceholders(std::vector<PlannedState>& states, std::uint64_t limit) {
  std::uint64_t steps = 0;
  const auto skip = [&states, &steps, limit](long& link) {
    while (link >= 0 && states[static_cast<std::size_t>(link)].kind == Kind::kPlaceholder &&
           steps <= limit) {
      link = states[static_cast<std::size_t>(link)].next;
      ++steps;
    }
  };
  for (PlannedState& state : states) {
    skip(state.next);
    if (hasAlternative(state.kind)) {
      skip(state.alternative);
    }
    if (steps > limit) {
      break;
    }
  }
  return steps;
}

// The matcher enters a choice (its first alternative, then its second) and a lazy repeat (the rest
// of the pattern first) without touching the name; every other state reads or keeps a position
// before it goes on, and that is where a match checks its stack.
bool entersUnchecked(const PlannedState& state) {
  return state.kind == Kind::kChoice || (state.kind == Kind::kRepeat && state.lazy);
}

// The links along which the matcher goes on without touching the name, where they lead to another
// such state: both of a choice, and the rest of the pattern of a lazy repeat. -1 for none.
std::array<long, 2> uncheckedLinks(const std::vector<PlannedState>& states, std::size_t id) {
  const PlannedState& state = states[id];
  std::array<long, 2> links{state.next, state.kind == Kind::kChoice ? state.alternative : -1};
  for (long& link : links) {
    if (link >= 0 && !entersUnchecked(states[static_cast<std::size_t>(link)])) {
      link = -1;
    }
  }
  return links;
}

// The longest chain of states the matcher can enter one inside the other without touching the
// name, over the states left after the placeholders are removed; depth first, without recursion.
std::size_t longestUncheckedChain(const std::vector<PlannedState>& states) {
  enum class Mark : unsigned char { kUnseen, kOpen, kDone };
  std::vector<Mark> marks(states.size(), Mark::kUnseen);
  std::vector<std::size_t> chains(states.size(), 0);
  std::vector<std::size_t> pending;
  std::size_t longest = 0;
  for (std::size_t root = 0; root < states.size(); ++root) {
    if (!entersUnchecked(states[root]) || marks[root] != Mark::kUnseen) {
      continue;
    }
    pending.assign(1, root);
    while (!pending.empty()) {
      const std::size_t id = pending.back();
      if (marks[id] == Mark::kUnseen) {
        marks[id] = Mark::kOpen;
        for (long link : uncheckedLinks(states, id)) {
          const std::size_t to = static_cast<std::size_t>(link);
          if (link >= 0 && marks[to] == Mark::kOpen) {
            return SIZE_MAX;  // a loop the matcher would never leave
          }
          if (link >= 0 && marks[to] == Mark::kUnseen) {
            pending.push_back(to);
          }
        }
        continue;
      }
      pending.pop_back();
      if (marks[id] == Mark::kOpen) {
        std::size_t deepest = 0;
        for (long link : uncheckedLinks(states, id)) {
          deepest = link >= 0 ? std::max(deepest, chains[static_cast<std::size_t>(link)]) : deepest;
        }
        chains[id] = deepest + 1;
        marks[id] = Mark::kDone;
        longest = std::max(longest, chains[id]);
      }
    }
  }
  return longest;
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

ExpressionPlan planExpression(std::wstring_view text, std::uint64_t removalStepLimit) {
  ExpressionPlanner planner(text);
  ExpressionPlan plan;
  plan.libraryRefuses = !planner.build();
  plan.buildDepth = planner.deepest();
  plan.states = planner.takeStates();
  if (plan.libraryRefuses) {
    return plan;
  }
  plan.removalSteps = removePlaceholders(plan.states, removalStepLimit);
  if (plan.removalSteps <= removalStepLimit) {
    plan.uncheckedChain = longestUncheckedChain(plan.states);
  }
  return plan;
}

bool Pattern::matchesWhole(std::wstring_view name) const {
  const std::size_t stackBudget = matchStackBudget();
  MatchBudget budget;
  budget.stackBase = currentFrame();
  budget.stackLimit = budget.stackBase > stackBudget ? budget.stackBase - stackBudget : 0;
  return runMatch(compiled_->expression, name, budget);
}

}  // namespace vellicor
