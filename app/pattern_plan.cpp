#include "app/pattern_plan.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <locale>
#include <regex>
#include <utility>
#include <vector>

namespace vellicor {

namespace {

// Each group the compiler opens costs this many items of its recursion.
constexpr std::size_t kGroupBuildCost = 6;

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

}  // namespace

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

}  // namespace vellicor
