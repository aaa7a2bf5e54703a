#include "app/pattern.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <regex>
#include <string>

namespace vellicor {
namespace {

// Where a pattern test ends: a result, or the error and the stage that raised it.
enum class Outcome {
  kMatch,
  kNoMatch,
  kInvalid,       // refused while building, for its syntax
  kTooBig,        // refused while building, for its size or nesting
  kTooManySteps,  // stopped while matching by the step bound
  kTooDeep,       // stopped while matching by the depth bound
  kOtherMatchError,
};

std::ostream& operator<<(std::ostream& stream, Outcome outcome) {
  static const char* const kNames[] = {"match",          "no match", "invalid",          "too big",
                                       "too many steps", "too deep", "other match error"};
  return stream << kNames[static_cast<int>(outcome)];
}

Outcome outcomeOf(const std::wstring& patternText, const std::wstring& name) {
  std::unique_ptr<Pattern> pattern;
  try {
    pattern = std::make_unique<Pattern>(patternText);
  } catch (const std::regex_error& error) {
    return error.code() == std::regex_constants::error_space ? Outcome::kTooBig : Outcome::kInvalid;
  }
  try {
    return pattern->matchesWhole(name) ? Outcome::kMatch : Outcome::kNoMatch;
  } catch (const std::regex_error& error) {
    switch (error.code()) {
      case std::regex_constants::error_complexity:
        return Outcome::kTooManySteps;
      case std::regex_constants::error_stack:
        return Outcome::kTooDeep;
      default:
        return Outcome::kOtherMatchError;
    }
  }
}

std::wstring repeated(const std::wstring& text, int count) {
  std::wstring result;
  for (int i = 0; i < count; ++i) {
    result += text;
  }
  return result;
}

std::wstring nestedGroups(const std::wstring& open, int depth, const std::wstring& inner) {
  return repeated(open, depth) + inner + repeated(L")", depth);
}

struct PatternCase {
  const char* label;
  std::wstring pattern;
  std::wstring name;
  Outcome expected;
};

class PatternOutcome : public testing::TestWithParam<PatternCase> {};

TEST_P(PatternOutcome, EndsAsExpected) {
  EXPECT_EQ(outcomeOf(GetParam().pattern, GetParam().name), GetParam().expected);
}

std::string caseLabel(const testing::TestParamInfo<PatternCase>& info) {
  return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(
    WholeName, PatternOutcome,
    testing::Values(
        PatternCase{"PrefixWithAnyRest", L"note.*", L"notepad.exe", Outcome::kMatch},
        PatternCase{"EscapedDot", L"notepad\\.exe", L"notepad.exe", Outcome::kMatch},
        PatternCase{"EscapedDotIsNoWildcard", L"notepad\\.exe", L"notepadXexe", Outcome::kNoMatch},
        PatternCase{"PartOfTheNameIsNotEnough", L"note", L"notepad.exe", Outcome::kNoMatch},
        PatternCase{"Surrounded", L".*pad.*", L"notepad.exe", Outcome::kMatch},
        PatternCase{"LetterCaseCounts", L"NOTEPAD.EXE", L"notepad.exe", Outcome::kNoMatch},
        PatternCase{"UsageExample", L"TMPGEnc.*", L"TMPGEnc4XPress.exe", Outcome::kMatch},
        PatternCase{"UsageExampleOtherCase", L"TMPGEnc.*", L"tmpgenc.exe", Outcome::kNoMatch},
        PatternCase{"EmptyPatternEmptyName", L"", L"", Outcome::kMatch},
        PatternCase{"EmptyPatternOtherName", L"", L"a", Outcome::kNoMatch},
        // The first alternative matches a prefix; the whole name needs the second.
        PatternCase{"LaterAlternativeForTheWholeName", L"a|ab", L"ab", Outcome::kMatch},
        PatternCase{"BackReference", L"(a+)b\\1", L"aabaa", Outcome::kMatch},
        PatternCase{"LookAhead", L"(?=n)\\w+\\.exe", L"notepad.exe", Outcome::kMatch},
        PatternCase{"BeyondAscii", L"caf\u00e9\\.exe", L"caf\u00e9.exe", Outcome::kMatch},
        PatternCase{"BracketedAndEscapedParentheses", L"[(]a\\)", L"(a)", Outcome::kMatch},
        // The library takes a repeated repeat as one.
        PatternCase{"RepeatedRepeatIsAccepted", L"a**", L"aa", Outcome::kMatch}),
    caseLabel);

INSTANTIATE_TEST_SUITE_P(
    Syntax, PatternOutcome,
    testing::Values(
        PatternCase{"LoneParenthesis", L"(", L"a", Outcome::kInvalid},
        PatternCase{"UnopenedParenthesis", L"a)", L"a", Outcome::kInvalid},
        PatternCase{"LoneBracket", L"[", L"a", Outcome::kInvalid},
        PatternCase{"RepeatOfNothing", L"*a", L"a", Outcome::kInvalid},
        PatternCase{"TrailingBackslash", L"a\\", L"a", Outcome::kInvalid},
        PatternCase{"BadHexEscape", L"\\xZZ", L"a", Outcome::kInvalid},
        PatternCase{"ShortUnicodeEscape", L"\\u12", L"a", Outcome::kInvalid},
        PatternCase{"ReversedRange", L"[b-a]", L"a", Outcome::kInvalid},
        PatternCase{"ReferenceToNoGroup", L"\\1", L"a", Outcome::kInvalid},
        PatternCase{"NamedGroup", L"(?<x>a)", L"a", Outcome::kInvalid},
        PatternCase{"ReversedCount", L"a{2,1}", L"a", Outcome::kInvalid},
        PatternCase{"OpenCount", L"a{", L"a", Outcome::kInvalid},
        PatternCase{"UnknownClass", L"[[:nosuch:]]", L"a", Outcome::kInvalid},
        // Numbers the compiler would read past the range of its `long`.
        PatternCase{"HugeCount", L"a{99999999999999999999}", L"a", Outcome::kTooBig},
        PatternCase{"CountJustBeyondAnyLong", L"a{9223372036854775808}", L"a", Outcome::kTooBig},
        PatternCase{"HugeRangeEnd", L"a{1,99999999999999999999}", L"a", Outcome::kTooBig},
        PatternCase{"HugeReference", L"(a)\\99999999999999999999", L"aa", Outcome::kInvalid},
        // The library's own limit of 100,000 states.
        PatternCase{"CountAboveTheLibrarysStateLimit", L"a{100001}", L"a", Outcome::kTooBig}),
    caseLabel);

const std::wstring kThirtyAs(30, L'a');
const std::wstring kPathLongName(260, L'a');

INSTANTIATE_TEST_SUITE_P(
    Bounds, PatternOutcome,
    testing::Values(
        PatternCase{"ExponentialAlternatives", L"(a|a)*b", kThirtyAs, Outcome::kTooManySteps},
        PatternCase{"ExponentialNestedRepeats", L"(a*)*b", kThirtyAs, Outcome::kTooManySteps},
        PatternCase{"ExponentialWithBackReference", L"(a*)*\\1b", kThirtyAs,
                    Outcome::kTooManySteps},
        PatternCase{"ExponentialPatternOnAShortName", L"(a|a)*b", L"aaab", Outcome::kMatch},
        PatternCase{"ExponentialPatternThatMatches", L"(a|a)*", kThirtyAs, Outcome::kMatch},
        PatternCase{"TenThousandNestedGroups", nestedGroups(L"(", 10000, L"a"), L"a",
                    Outcome::kTooBig},
        PatternCase{"TenThousandNestedLookAheads", nestedGroups(L"(?=", 10000, L"a") + L"a", L"a",
                    Outcome::kTooBig},
        PatternCase{"SixHundredNestedGroups", nestedGroups(L"(", 600, L"a"), L"a", Outcome::kMatch},
        PatternCase{"RepeatedRepeats", L"a{1000}{1000}{1000}", L"a", Outcome::kTooBig},
        PatternCase{"LongestCommandLineOfOneLetter", std::wstring(32767, L'a'), L"a",
                    Outcome::kTooBig},
        PatternCase{"LongestCommandLineOfBrackets", L".*|" + repeated(L"[xyz]", 6552) + L"abcd",
                    kPathLongName, Outcome::kMatch},
        PatternCase{"LongestCommandLineFailing", repeated(L"[xyz]", 6552) + L"abcdefg",
                    kPathLongName, Outcome::kNoMatch},
        // Escaped and bracketed parentheses read as groups would be far too deep to build.
        PatternCase{"BracketedParenthesesAreNoGroups", repeated(L"[(]", 2000) + L"|x", L"x",
                    Outcome::kMatch},
        PatternCase{"EscapedParenthesesAreNoGroups", repeated(L"\\(", 2000) + L"|x", L"x",
                    Outcome::kMatch},
        PatternCase{"ControlEscapesAreNoGroups", repeated(L"\\c(", 2000) + L"|x", L"x",
                    Outcome::kMatch},
        // `\c]` does not close the bracket, so each of these opens a group it never closes.
        PatternCase{"ControlEscapeInBracketKeepsItOpen", repeated(L"([\\c])]", 10000), L"a",
                    Outcome::kTooBig},
        PatternCase{"ClassNamesDoNotCloseBrackets", repeated(L"[[:alpha:](]", 1700) + L"|x", L"x",
                    Outcome::kMatch},
        PatternCase{"LongAlternation", repeated(L"a|", 500) + L"b", L"b", Outcome::kMatch},
        PatternCase{"PathLongNameThroughAlternatives", L"(a|b)*", kPathLongName, Outcome::kMatch},
        PatternCase{"PathLongNameThroughNestedGroups", L"((a|b)|(c|d))*", kPathLongName,
                    Outcome::kMatch},
        PatternCase{"PathLongNameThroughAnyChar", L".*", kPathLongName, Outcome::kMatch},
        PatternCase{"PathLongNameWithExtension", L"[a-z]+\\.exe", std::wstring(256, L'a') + L".exe",
                    Outcome::kMatch},
        PatternCase{"PathLongNameExponential", L"(a|a)*b", kPathLongName, Outcome::kTooManySteps},
        PatternCase{"NameFarBeyondAnyPath", L"(a|b)*", std::wstring(5000, L'a'), Outcome::kTooDeep},
        // Every nested look-ahead holds a record per state of the whole expression.
        PatternCase{"NestedLookAheadsOverALargeExpression",
                    nestedGroups(L"(?=", 1000, L"a") + L"ax{0,2500}", L"a", Outcome::kTooDeep}),
    caseLabel);

// Counts and sizes the library builds in milliseconds are patterns like any other, up to its own
// limit of 100,000 states.
INSTANTIATE_TEST_SUITE_P(
    LargeCounts, PatternOutcome,
    testing::Values(
        PatternCase{"TwoLongRuns", L"x{6000}y{6000}", L"xy", Outcome::kNoMatch},
        PatternCase{"TwoLongRunsAgainstAPathLongName", L"x{6000}y{6000}", kPathLongName,
                    Outcome::kNoMatch},
        PatternCase{"CountAboveTenThousand", L"a{10001}", kPathLongName, Outcome::kNoMatch},
        // A name that long is stopped by the depth bound, like any name far beyond a path.
        PatternCase{"CountAboveTenThousandOnItsLength", L"a{10001}", std::wstring(10001, L'a'),
                    Outcome::kTooDeep},
        PatternCase{"CountOfAPathLongName", L"a{260}", kPathLongName, Outcome::kMatch},
        PatternCase{"FiftyThousand", L"a{50000}", L"a", Outcome::kNoMatch},
        PatternCase{"RangeOfTenThousand", L"[a-z]{0,10000}\\.exe", L"notepad.exe",
                    Outcome::kMatch}),
    caseLabel);

// The compiler removes chains of empty placeholder states in time growing with the square of
// their length, and the matcher runs through chains of choices and lazy repeats without a stack
// check: both are refused before building beyond their bounds.
INSTANTIATE_TEST_SUITE_P(
    BuildBounds, PatternOutcome,
    testing::Values(
        PatternCase{"FourHundredEmptyGroups", L"(?:){400}", L"", Outcome::kMatch},
        PatternCase{"TenThousandEmptyGroups", L"(?:){10000}", L"", Outcome::kTooBig},
        PatternCase{"ManyEmptyGroups", L"(?:){40000}", L"", Outcome::kTooBig},
        PatternCase{"NestedEmptyGroups", L"(?:(?:){200}){200}", L"", Outcome::kTooBig},
        PatternCase{"FewNestedEmptyGroups", L"(?:(?:){15}){15}", L"", Outcome::kMatch},
        PatternCase{"EmptyGroupsRepeatedAsAWhole", L"(?:(?:){8}){100}", L"", Outcome::kTooBig},
        PatternCase{"AlternationOfTwoThousand", repeated(L"a|", 1999) + L"b", L"b",
                    Outcome::kTooBig},
        PatternCase{"RepeatedAlternation", L"(?:" + repeated(L"a|", 299) + L"b){30}",
                    std::wstring(30, L'b'), Outcome::kMatch},
        PatternCase{"ManyLazyOptionals", L"a" + repeated(L"??", 5000), L"a", Outcome::kTooBig},
        PatternCase{"DeeplyNestedPlainGroups", nestedGroups(L"(?:", 1300, L"a"), L"a",
                    Outcome::kTooBig},
        PatternCase{"NestedPlainGroups", nestedGroups(L"(?:", 300, L"a"), L"a", Outcome::kMatch},
        PatternCase{"LazyRepeatsInARow", L"(?:a*?){2000}c", L"c", Outcome::kMatch},
        PatternCase{"LazyRepeatsInARowBeyondTheStack", L"(?:a*?){24000}c", L"c", Outcome::kTooBig},
        PatternCase{"ChoicesInARow", L"(?:|b){2000}c", L"c", Outcome::kMatch},
        PatternCase{"ChoicesInARowBeyondTheBound", L"(?:|b){2001}c", L"c", Outcome::kTooBig},
        PatternCase{"ChoicesInARowExponential", L"(?:|b){2000}c", repeated(L"b", 200) + L"c",
                    Outcome::kTooManySteps}),
    caseLabel);

TEST(PatternReuse, MatchesAgainAfterABoundStoppedIt) {
  const Pattern pattern(L"(a|a)*b");
  EXPECT_THROW(pattern.matchesWhole(kThirtyAs), std::regex_error);
  EXPECT_TRUE(pattern.matchesWhole(L"aab"));
  EXPECT_FALSE(pattern.matchesWhole(L"aa"));
  EXPECT_THROW(pattern.matchesWhole(kThirtyAs), std::regex_error);
}

TEST(PatternReuse, BoundsApplyToEachMatchOnItsOwn) {
  // Together these matches take far more steps than one match may.
  const Pattern pattern(L".*a.*b");
  const std::wstring name = std::wstring(250, L'a') + L"x";
  for (int i = 0; i < 50; ++i) {
    ASSERT_FALSE(pattern.matchesWhole(name));
  }
}

TEST(PatternText, IsReadOnlyWithinItsView) {
  // The view ends right after the parenthesis; the text beyond it would complete a group.
  const std::wstring text = L"(?:a)";
  EXPECT_THROW(Pattern(std::wstring_view(text).substr(0, 1)), std::regex_error);
  const std::wstring name = L"ab";
  EXPECT_TRUE(Pattern(L"a").matchesWhole(std::wstring_view(name).substr(0, 1)));
}

}  // namespace
}  // namespace vellicor
