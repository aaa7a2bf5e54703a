// The plan of an expression against what the library's compiler builds. The checks before
// building are only as good as the plan: a state missing, misplaced or mislinked would misjudge
// the work of building and the recursion of matching.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "app/pattern.h"
#include "app/pattern_plan.h"

namespace vellicor {
namespace {

using Kind = PlannedState::Kind;

Kind kindOf(std::__detail::_Opcode opcode) {
  switch (opcode) {
    case std::__detail::_S_opcode_dummy:
      return Kind::kPlaceholder;
    case std::__detail::_S_opcode_alternative:
      return Kind::kChoice;
    case std::__detail::_S_opcode_repeat:
      return Kind::kRepeat;
    case std::__detail::_S_opcode_subexpr_lookahead:
      return Kind::kLookAhead;
    default:
      return Kind::kOther;
  }
}

// The states the library's own compiler builds, through libstdc++'s internals: nothing else shows
// them. False when the library refuses the pattern.
bool libraryStates(const std::wstring& text, std::vector<PlannedState>& states) {
  using Compiler = std::__detail::_Compiler<std::regex_traits<wchar_t>>;
  std::shared_ptr<const Compiler::_RegexT> built;
  try {
    Compiler compiler(text.data(), text.data() + text.size(), std::locale(),
                      std::regex_constants::ECMAScript);
    built = compiler._M_get_nfa();
  } catch (const std::regex_error&) {
    return false;
  }
  for (const auto& state : *built) {
    PlannedState copy;
    copy.kind = kindOf(state._M_opcode());
    copy.next = state._M_next;
    if (state._M_has_alt()) {
      copy.alternative = state._M_alt;
    }
    copy.lazy = copy.kind == Kind::kRepeat && state._M_neg;
    states.push_back(copy);
  }
  return true;
}

// One line per state, so that a failure shows where the two part.
std::string describe(const std::vector<PlannedState>& states) {
  static const char* const kKinds[] = {"placeholder", "choice", "repeat", "look-ahead", "other"};
  std::string text;
  for (std::size_t id = 0; id < states.size(); ++id) {
    const PlannedState& state = states[id];
    text += std::to_string(id) + ' ' + kKinds[static_cast<int>(state.kind)] +
            (state.lazy ? " lazy" : "") + " next " + std::to_string(state.next) + " alternative " +
            std::to_string(state.alternative) + '\n';
  }
  return text;
}

// Where the library builds a pattern, its plan must be complete and the same state for state.
// Where the library refuses one, the plan is not used.
void expectPlanOfLibrary(const std::wstring& text, int* built = nullptr) {
  std::vector<PlannedState> states;
  if (!libraryStates(text, states)) {
    return;
  }
  if (built != nullptr) {
    ++*built;
  }
  const ExpressionPlan plan = planExpression(text, UINT64_MAX);
  ASSERT_FALSE(plan.libraryRefuses);
  EXPECT_EQ(describe(plan.states), describe(states));
}

struct PlanCase {
  const char* label;
  std::wstring pattern;
};

class PlanAgainstLibrary : public testing::TestWithParam<PlanCase> {};

TEST_P(PlanAgainstLibrary, HasTheLibrarysStates) {
  std::vector<PlannedState> states;
  ASSERT_TRUE(libraryStates(GetParam().pattern, states));
  expectPlanOfLibrary(GetParam().pattern);
}

std::string planLabel(const testing::TestParamInfo<PlanCase>& info) {
  return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(
    Constructs, PlanAgainstLibrary,
    testing::Values(
        PlanCase{"Empty", L""}, PlanCase{"Characters", L"ab.c"},
        PlanCase{"Escapes", L"\\d\\W\\x41\\u00e9\\cA\\0\\n\\.\\(\\c("},
        PlanCase{"Brackets", L"[a-z][^x][\\]\\b\\c][[:alpha:][.a.][=a=]-][]"},
        PlanCase{"LoneClosers", L"a]}b"}, PlanCase{"Nul", std::wstring(L"a\0b", 3)},
        PlanCase{"Assertions", L"^a\\b.\\B$"}, PlanCase{"Alternatives", L"a|bc|"},
        PlanCase{"EmptyAlternatives", L"||a||"}, PlanCase{"Groups", L"(a(b)|c)d"},
        PlanCase{"PlainGroups", L"(?:a(?:b)|(?:))"}, PlanCase{"LookAheads", L"(?=a|b)(?!c)\\w+"},
        PlanCase{"BackReferences", L"(a)(b)\\2\\1"}, PlanCase{"Repeats", L"a*b+c?d*?e+?f??"},
        PlanCase{"RepeatedRepeats", L"a**b+?*c???"},
        PlanCase{"Counts", L"a{3}b{0}c{2,}d{1,4}e{2,2}"},
        PlanCase{"LazyCounts", L"a{3}?b{2,}?c{1,4}?"},
        PlanCase{"CountedGroups", L"(a|b){2,3}(?:c*d){2,}(e?){0,2}"},
        PlanCase{"CountedLookAheadGroups", L"(?:(?=a)a|b){3}"},
        PlanCase{"CountsOfCounts", L"(?:a{2,3}){2}b{2}{3}"},
        PlanCase{"NestedEmptyGroups", L"(?:(?:){20}){20}"}, PlanCase{"LongRuns", L"x{600}y{600}"},
        PlanCase{"CountedAlternation", L"(?:a|b|c|d){1,5}?"}),
    planLabel);

// Patterns put together at random from every construct, from a fixed seed: every one the library
// builds has the library's states in its plan.
class PatternGenerator {
 public:
  std::wstring expression(int depth) {
    std::wstring text = sequence(depth);
    for (int i = pick(3); i > 0; --i) {
      text += L"|" + sequence(depth);
    }
    return text;
  }

 private:
  int pick(int count) { return static_cast<int>(random_() % static_cast<unsigned>(count)); }

  std::wstring sequence(int depth) {
    static const wchar_t* const kRepeats[] = {
        L"*",    L"+",   L"?",      L"*?",    L"+?", L"??",   L"{2}",  L"{0,2}",
        L"{1,}", L"{0}", L"{1,3}?", L"{0,}?", L"**", L"?{2}", L"{2}?", L"{3,3}",
    };
    std::wstring text;
    for (int i = pick(4); i > 0; --i) {
      text += item(depth);
      if (pick(3) == 0) {
        text += kRepeats[pick(16)];
      }
    }
    return text;
  }

  std::wstring item(int depth) {
    static const wchar_t* const kAtoms[] = {L"a", L".", L"[a-c]", L"\\w", L"\\x41", L"^", L"\\b"};
    const int choice = pick(depth > 3 ? 7 : 12);
    if (choice < 7) {
      return kAtoms[choice];
    }
    static const wchar_t* const kOpenings[] = {L"(", L"(?:", L"(?=", L"(?!", L"(?:"};
    return kOpenings[choice - 7] + expression(depth + 1) + L")";
  }

  std::mt19937 random_{20240611};
};

TEST(PlanAgainstLibrary, HasTheLibrarysStatesForGeneratedPatterns) {
  PatternGenerator generator;
  int built = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::wstring pattern = generator.expression(0);
    SCOPED_TRACE(std::string(pattern.begin(), pattern.end()));
    expectPlanOfLibrary(pattern, &built);
    if (HasFailure()) {
      return;
    }
  }
  // Many are invalid (a repeat after an assertion, for one); enough must be built to count.
  EXPECT_GT(built, 500);
}

// Figures worked out by hand from the states the compiler builds.
struct FigureCase {
  const char* label;
  std::wstring pattern;
  std::uint64_t removalSteps;
  std::size_t uncheckedChain;
  std::size_t buildDepth;
};

class PlanFigures : public testing::TestWithParam<FigureCase> {};

TEST_P(PlanFigures, AreThoseOfTheCompiler) {
  const ExpressionPlan plan = planExpression(GetParam().pattern, UINT64_MAX);
  ASSERT_FALSE(plan.libraryRefuses);
  EXPECT_EQ(plan.removalSteps, GetParam().removalSteps);
  EXPECT_EQ(plan.uncheckedChain, GetParam().uncheckedChain);
  EXPECT_EQ(plan.buildDepth, GetParam().buildDepth);
}

std::string figureLabel(const testing::TestParamInfo<FigureCase>& info) {
  return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(
    Small, PlanFigures,
    testing::Values(
        // begin -> placeholder -> end: the beginning skips one placeholder.
        FigureCase{"Empty", L"", 1, 0, 0},
        // begin -> a -> placeholder -> end.
        FigureCase{"OneCharacter", L"a", 1, 0, 1},
        // begin -> group -> inner end -> outer end -> end, all three placeholders built front to
        // back: the beginning skips 3, the group 2, the inner end 1.
        FigureCase{"EmptyGroup", L"(?:)", 6, 0, 6},
        // Each alternative ends in a placeholder, and both meet in another one: a and b skip
        // two each, their ends one each. One choice, entered without touching the name.
        FigureCase{"TwoAlternatives", L"a|b", 6, 1, 1},
        // The first two alternatives meet, and then meet the third: a and b skip three
        // placeholders, their ends two, the first meeting point one, c two and its end one. The
        // second choice enters the first one before anything reads the name.
        FigureCase{"ThreeAlternatives", L"a|b|c", 3 + 2 + 3 + 2 + 1 + 2 + 1, 2, 1},
        // Greedy repeats check a position first; lazy ones go on to the rest of the pattern.
        FigureCase{"GreedyRepeat", L"a*", 1, 0, 1}, FigureCase{"LazyRepeat", L"a*?", 1, 1, 1},
        FigureCase{"LazyRepeatsInARow", L"(?:a*?)(?:b*?)", 2 + 1 + 2 + 1 + 1, 2, 8},
        FigureCase{"Sequence", L"abc", 1, 0, 3}, FigureCase{"CapturedGroup", L"(a)", 2, 0, 7},
        FigureCase{"AlternativesStartOver", L"a|bc", 2 + 1 + 2 + 1, 1, 2}),
    figureLabel);

TEST(PlanFigures, RemovalStopsPastItsLimit) {
  const ExpressionPlan plan = planExpression(L"(?:){1000}", 1000);
  EXPECT_GT(plan.removalSteps, 1000u);
  EXPECT_LT(plan.removalSteps, 1000u + 4000u);
}

}  // namespace
}  // namespace vellicor
