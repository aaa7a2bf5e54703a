#include "app/pattern.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

// The build chooses PCRE2_CODE_UNIT_WIDTH to match wchar_t, so the generic names below are the
// library of this platform's wide text.
#include <pcre2.h>

namespace vellicor {

static_assert(sizeof(PCRE2_UCHAR) == sizeof(wchar_t),
              "PCRE2's code unit width must be that of wchar_t");

namespace {

// A step is one item of the expression entered by the matcher (an automatic callout), and the
// whole run has this many: a pattern that is cheap per name still ends when the run meets it
// against every process of a large machine.
constexpr std::uint64_t kStepBound = 10'000'000;

// What the matcher does at a step grows with the item's text (a bracket of thousands of ranges is
// searched range by range), with the name (a repeat runs along it, a back-reference compares with
// it) and with the capturing groups (each backtracking point copies all their offsets). So a step
// counts one more for every kUnitsPerStep code units of the item and of the name and for every
// kUnitsPerStep capturing groups: the budget bounds the time of a run, not just its steps.
constexpr std::uint64_t kUnitsPerStep = 16;

// PCRE2's own count, per match, of the backtracking points it creates; it stops a match that
// backtracks over and over between two items.
constexpr std::uint32_t kMatchLimit = 10'000'000;

// The most backtracking points a match may hold at once. A repetition of `(a|b)*` holds two, so
// names of up to 298 characters, beyond the 260 of a Windows path, still match through such loops.
constexpr std::uint32_t kDepthBound = 600;

// Memory of one match's backtracking points, in KiB: at the depth bound, frames of patterns with
// hundreds of capturing groups.
constexpr std::uint32_t kHeapBoundKib = 8 * 1024;

// Everything PCRE2 allocates for a run: the expressions of every target, with their compiled
// copies of repeated groups, and the frames of matching. A pattern whose compiled form would not
// fit is refused (`(?:(?:ab){3000}){3000}` would take hundreds of MiB), and building stays quick
// because PCRE2 measures the compiled size before writing it.
constexpr std::size_t kMemoryBound = 16 * 1024 * 1024;

// Nested parentheses; each level costs the compiler some stack.
constexpr std::uint32_t kNestingBound = 500;

// The longest pattern: the longest Windows command line, on both platforms alike.
constexpr std::size_t kPatternLengthBound = 32767;

// ECMAScript's rules where PCRE2 has an option for them: \u and \x as ECMAScript reads them
// (and \u{...} for code points beyond U+FFFF), [] and [^], a back-reference to a group that did
// not take part matching the empty string, $ only at the end. The expression must match from the
// first character of the name to the last. UTF and UCP modes would check the name as UTF and
// fail on bytes that are not UTF-8 and on lone surrogates; without them every code unit is one
// character. Automatic callouts count the steps.
constexpr std::uint32_t kCompileOptions =
    PCRE2_ALT_BSUX | PCRE2_ALLOW_EMPTY_CLASS | PCRE2_MATCH_UNSET_BACKREF | PCRE2_DOLLAR_ENDONLY |
    PCRE2_ANCHORED | PCRE2_ENDANCHORED | PCRE2_NEVER_UTF | PCRE2_NEVER_UCP | PCRE2_AUTO_CALLOUT;
constexpr std::uint32_t kExtraOptions = PCRE2_EXTRA_ALT_BSUX;

// What PCRE2 asks of the memory bound, each block preceded by its size.
struct MemoryAccount {
  std::size_t inUse = 0;
};

constexpr std::size_t kBlockHeader = alignof(std::max_align_t);

void* allocate(PCRE2_SIZE size, void* data) {
  auto* account = static_cast<MemoryAccount*>(data);
  if (size > kMemoryBound - account->inUse || kMemoryBound - account->inUse - size < kBlockHeader) {
    return nullptr;
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
  if (block == nullptr) {
    return nullptr;
  }
  std::memcpy(block, &size, sizeof size);
  account->inUse += size + kBlockHeader;
  return block + kBlockHeader;
}

void release(void* memory, void* data) {
  if (memory == nullptr) {
    return;
  }
  auto* account = static_cast<MemoryAccount*>(data);
  unsigned char* block = static_cast<unsigned char*>(memory) - kBlockHeader;
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  account->inUse -= size + kBlockHeader;
  std::free(block);
}

struct StepBudget {
  std::uint64_t taken = 0;
  std::uint64_t captureCount = 0;  // of the expression being matched
};

int takeStep(pcre2_callout_block* callout, void* data) {
  auto* budget = static_cast<StepBudget*>(data);
  const std::uint64_t weight =
      1 +
      (callout->next_item_length + callout->subject_length + budget->captureCount) / kUnitsPerStep;
  if (kStepBound - budget->taken < weight) {
    budget->taken = kStepBound;
    return PCRE2_ERROR_MATCHLIMIT;
  }
  budget->taken += weight;
  return 0;
}

struct GeneralContextFree {
  void operator()(pcre2_general_context* context) const { pcre2_general_context_free(context); }
};
struct CompileContextFree {
  void operator()(pcre2_compile_context* context) const { pcre2_compile_context_free(context); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct CodeFree {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};

PatternResult buildFailure(int error) {
  switch (error) {
    case PCRE2_ERROR_HEAP_FAILED:
      return PatternResult::kOutOfMemory;
    case PCRE2_ERROR_QUANTIFIER_TOO_BIG:
    case PCRE2_ERROR_PARENTHESES_NEST_TOO_DEEP:
    case PCRE2_ERROR_PARENTHESES_STACK_CHECK:
    case PCRE2_ERROR_PATTERN_TOO_LARGE:
    case PCRE2_ERROR_PATTERN_TOO_COMPLICATED:
    case PCRE2_ERROR_PATTERN_STRING_TOO_LONG:
    case PCRE2_ERROR_TOO_MANY_CAPTURES:
      return PatternResult::kTooBig;
    default:
      return PatternResult::kInvalid;
  }
}

PatternResult matchFailure(int error) {
  switch (error) {
    case PCRE2_ERROR_MATCHLIMIT:
      return PatternResult::kTooManySteps;
    case PCRE2_ERROR_DEPTHLIMIT:
      return PatternResult::kTooDeep;
    case PCRE2_ERROR_HEAPLIMIT:
    case PCRE2_ERROR_NOMEMORY:
      return PatternResult::kOutOfMemory;
    default:
      return PatternResult::kOtherMatchError;
  }
}

// PCRE2 takes no null text, even an empty one.
const PCRE2_UCHAR kNoText[1] = {0};

PCRE2_SPTR unitsOf(std::vector<PCRE2_UCHAR>& units, std::wstring_view text) {
  units.resize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    units[i] = static_cast<PCRE2_UCHAR>(text[i]);
  }
  return units.empty() ? kNoText : units.data();
}

// One target: its expression once built, or why building it failed.
struct BuiltTarget {
  std::unique_ptr<pcre2_code, CodeFree> code;
  std::uint32_t captureCount = 0;
  std::optional<PatternResult> failure;
};

}  // namespace

// PCRE2's contexts for the run and the targets built so far. The members are destroyed in
// reverse order, so everything allocated through the account is released before it goes.
struct PatternSet::Engine {
  MemoryAccount account;
  StepBudget budget;
  std::unique_ptr<pcre2_general_context, GeneralContextFree> general;
  std::unique_ptr<pcre2_compile_context, CompileContextFree> compile;
  std::unique_ptr<pcre2_match_context, MatchContextFree> match;
  std::unique_ptr<pcre2_match_data, MatchDataFree> matchData;
  std::vector<BuiltTarget> targets;
  std::vector<PCRE2_UCHAR> text;  // the text being built or matched, in PCRE2's units

  bool setUp(std::size_t targetCount);
  bool build(BuiltTarget& target, std::wstring_view pattern);
  PatternResult test(const BuiltTarget& target, std::wstring_view name);
};

bool PatternSet::Engine::setUp(std::size_t targetCount) {
  general.reset(pcre2_general_context_create(allocate, release, &account));
  if (!general) {
    return false;
  }
  compile.reset(pcre2_compile_context_create(general.get()));
  match.reset(pcre2_match_context_create(general.get()));
  // One pair of offsets: only whether the name matches counts.
  matchData.reset(pcre2_match_data_create(1, general.get()));
  if (!compile || !match || !matchData) {
    return false;
  }
  pcre2_set_newline(compile.get(), PCRE2_NEWLINE_ANYCRLF);  // `.` matches all but CR and LF
  pcre2_set_parens_nest_limit(compile.get(), kNestingBound);
  pcre2_set_max_pattern_length(compile.get(), kPatternLengthBound);
  pcre2_set_compile_extra_options(compile.get(), kExtraOptions);
  pcre2_set_match_limit(match.get(), kMatchLimit);
  pcre2_set_depth_limit(match.get(), kDepthBound);
  pcre2_set_heap_limit(match.get(), kHeapBoundKib);
  pcre2_set_callout(match.get(), takeStep, &budget);
  targets.resize(targetCount);
  return true;
}

bool PatternSet::Engine::build(BuiltTarget& target, std::wstring_view pattern) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  target.code.reset(pcre2_compile(unitsOf(text, pattern), pattern.size(), kCompileOptions, &error,
                                  &offset, compile.get()));
  if (!target.code) {
    target.failure = buildFailure(error);
    return false;
  }
  pcre2_pattern_info(target.code.get(), PCRE2_INFO_CAPTURECOUNT, &target.captureCount);
  return true;
}

PatternResult PatternSet::Engine::test(const BuiltTarget& target, std::wstring_view name) {
  budget.captureCount = target.captureCount;
  const int result = pcre2_match(target.code.get(), unitsOf(text, name), name.size(), 0, 0,
                                 matchData.get(), match.get());
  if (result >= 0) {
    return PatternResult::kMatch;
  }
  if (result == PCRE2_ERROR_NOMATCH) {
    return PatternResult::kNoMatch;
  }
  return matchFailure(result);
}

PatternSet::PatternSet(std::vector<std::wstring_view> texts) : texts_(std::move(texts)) {}

PatternSet::~PatternSet() = default;

PatternResult PatternSet::test(std::size_t index, std::wstring_view name) {
  if (!engine_) {
    auto engine = std::make_unique<Engine>();
    if (!engine->setUp(texts_.size())) {
      return PatternResult::kOutOfMemory;
    }
    engine_ = std::move(engine);
  }
  BuiltTarget& target = engine_->targets[index];
  if (target.failure) {
    return *target.failure;
  }
  if (!target.code && !engine_->build(target, texts_[index])) {
    return *target.failure;
  }
  return engine_->test(target, name);
}

std::uint64_t PatternSet::stepsTaken() const {
  return engine_ ? engine_->budget.taken : 0;
}

}  // namespace vellicor
