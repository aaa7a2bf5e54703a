#include "app/pattern.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vellicor {

std::ostream& operator<<(std::ostream& stream, PatternResult result) {
  static const char* const kNames[] = {"match",          "no match", "invalid",       "too big",
                                       "too many steps", "too deep", "out of memory", "other"};
  return stream << kNames[static_cast<int>(result)];
}

namespace {

using R = PatternResult;

PatternResult resultOf(const std::wstring& pattern, const std::wstring& name) {
  PatternSet patterns({pattern});
  return patterns.test(0, name);
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

std::wstring unit(unsigned value) {
  return std::wstring(1, static_cast<wchar_t>(value));
}

struct PatternCase {
  const char* label;
  std::wstring pattern;
  std::wstring name;
  PatternResult expected;
};

class PatternOutcome : public testing::TestWithParam<PatternCase> {};

TEST_P(PatternOutcome, EndsAsExpected) {
  EXPECT_EQ(resultOf(GetParam().pattern, GetParam().name), GetParam().expected);
}

std::string caseLabel(const testing::TestParamInfo<PatternCase>& info) {
  return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(
    WholeName, PatternOutcome,
    testing::Values(
        PatternCase{"PrefixWithAnyRest", L"note.*", L"notepad.exe", R::kMatch},
        PatternCase{"EscapedDot", L"notepad\\.exe", L"notepad.exe", R::kMatch},
        PatternCase{"EscapedDotIsNoWildcard", L"notepad\\.exe", L"notepadXexe", R::kNoMatch},
        PatternCase{"PartOfTheNameIsNotEnough", L"note", L"notepad.exe", R::kNoMatch},
        PatternCase{"EndOfTheNameIsNotEnough", L"pad\\.exe", L"notepad.exe", R::kNoMatch},
        PatternCase{"Surrounded", L".*pad.*", L"notepad.exe", R::kMatch},
        PatternCase{"LetterCaseCounts", L"NOTEPAD.EXE", L"notepad.exe", R::kNoMatch},
        PatternCase{"UsageExample", L"TMPGEnc.*", L"TMPGEnc4XPress.exe", R::kMatch},
        PatternCase{"UsageExampleOtherCase", L"TMPGEnc.*", L"tmpgenc.exe", R::kNoMatch},
        PatternCase{"EmptyPatternEmptyName", L"", L"", R::kMatch},
        PatternCase{"EmptyPatternOtherName", L"", L"a", R::kNoMatch},
        // The first alternative matches a prefix; the whole name needs the second.
        PatternCase{"LaterAlternativeForTheWholeName", L"a|ab", L"ab", R::kMatch},
        PatternCase{"AcceptBeforeTheEndIsNoMatch", L"a(*ACCEPT)b", L"ab", R::kNoMatch},
        PatternCase{"BackReference", L"(a+)b\\1", L"aabaa", R::kMatch},
        PatternCase{"LookAhead", L"(?=n)\\w+\\.exe", L"notepad.exe", R::kMatch},
        PatternCase{"BeyondAscii", L"caf\u00e9\\.exe", L"caf\u00e9.exe", R::kMatch},
        PatternCase{"BracketedAndEscapedParentheses", L"[(]a\\)", L"(a)", R::kMatch}),
    caseLabel);

// The options that bring PCRE2 to ECMAScript's rules, each with a case that fails without it.
INSTANTIATE_TEST_SUITE_P(
    EcmaScript, PatternOutcome,
    testing::Values(PatternCase{"UnicodeEscape", L"\\u0041", L"A", R::kMatch},
                    PatternCase{"ShortUnicodeEscapeIsALetter", L"\\u12", L"u12", R::kMatch},
                    PatternCase{"BracedUnicodeEscape", L"\\u{41}", L"A", R::kMatch},
                    // One code unit is the whole character only where units have 32 bits (Linux);
                    // with 16 (Windows) such a character is written as its two halves.
                    PatternCase{"BracedEscapeBeyondSixteenBits", L"\\u{1F600}", unit(0x1F600),
                                sizeof(wchar_t) == 4 ? R::kMatch : R::kInvalid},
                    PatternCase{"SurrogatePairEscape", L"\\uD83D\\uDE00",
                                unit(0xD83D) + unit(0xDE00), R::kMatch},
                    PatternCase{"HexEscape", L"\\x41", L"A", R::kMatch},
                    PatternCase{"BadHexEscapeIsALetter", L"\\xZZ", L"xZZ", R::kMatch},
                    PatternCase{"BracedHexIsARepeat", L"\\x{3}", L"xxx", R::kMatch},
                    PatternCase{"CapitalUIsALetter", L"\\U", L"U", R::kMatch},
                    PatternCase{"EmptyClassMatchesNothing", L"[]a", L"a", R::kNoMatch},
                    PatternCase{"EmptyClassThenBracket", L"[]a]", L"a]", R::kNoMatch},
                    PatternCase{"NegatedEmptyClassMatchesAnything", L"[^]", L"\n", R::kMatch},
                    PatternCase{"UnsetBackReferenceMatchesEmpty", L"(\\1)(a)", L"a", R::kMatch},
                    PatternCase{"UnsetBackReferenceInAnAlternative", L"(?:(a)|b)\\1", L"b",
                                R::kMatch},
                    PatternCase{"DollarOnlyAtTheEnd", L"a$", L"a\n", R::kNoMatch},
                    PatternCase{"DotSkipsLineFeed", L"a.b", L"a\nb", R::kNoMatch},
                    PatternCase{"DotSkipsCarriageReturn", L"a.b", L"a\rb", R::kNoMatch},
                    PatternCase{"DotTakesOtherControls", L"a.b", L"a\u0085b", R::kMatch},
                    PatternCase{"WordCharactersAreAscii", L"\\w", L"\u00e9", R::kNoMatch},
                    PatternCase{"DigitsAreAscii", L"\\d", L"\u0663", R::kNoMatch}),
    caseLabel);

// Names are wide text as the platform delivers it: code units that are no valid character
// (a byte that was not UTF-8, kept as U+DC80 + byte; a lone half of a surrogate pair on Windows)
// are characters like any other, never an error.
INSTANTIATE_TEST_SUITE_P(
    CodeUnits, PatternOutcome,
    testing::Values(PatternCase{"EscapedByteByDot", L"a.b", L"a" + unit(0xDCFF) + L"b", R::kMatch},
                    PatternCase{"EscapedByteLiterally", L"a" + unit(0xDCFF), L"a" + unit(0xDCFF),
                                R::kMatch},
                    PatternCase{"EscapedByteByEscape", L"\\uDC80", unit(0xDC80), R::kMatch},
                    PatternCase{"EscapedByteInARange", L"[\\uDC80-\\uDCFF]+",
                                unit(0xDC80) + unit(0xDCFF), R::kMatch},
                    PatternCase{"LoneHighHalf", L"x.", L"x" + unit(0xD800), R::kMatch},
                    PatternCase{"PairIsTwoUnitsWhereTheyAreSixteenBits", L"..",
                                unit(0xD83D) + unit(0xDE00), R::kMatch},
                    PatternCase{"LoneHalfInThePattern", unit(0xDE00) + L"+",
                                unit(0xDE00) + unit(0xDE00), R::kMatch}),
    caseLabel);

INSTANTIATE_TEST_SUITE_P(
    Syntax, PatternOutcome,
    testing::Values(PatternCase{"LoneParenthesis", L"(", L"a", R::kInvalid},
                    PatternCase{"UnopenedParenthesis", L"a)", L"a", R::kInvalid},
                    PatternCase{"LoneBracket", L"[", L"a", R::kInvalid},
                    PatternCase{"RepeatOfNothing", L"*a", L"a", R::kInvalid},
                    PatternCase{"RepeatedRepeat", L"a**", L"aa", R::kInvalid},
                    PatternCase{"TrailingBackslash", L"a\\", L"a", R::kInvalid},
                    PatternCase{"UnknownEscape", L"\\j", L"j", R::kInvalid},
                    PatternCase{"ReversedRange", L"[b-a]", L"a", R::kInvalid},
                    PatternCase{"ReferenceToNoGroup", L"\\1", L"a", R::kInvalid},
                    PatternCase{"ReversedCount", L"a{2,1}", L"a", R::kInvalid},
                    PatternCase{"UnknownClass", L"[[:nosuch:]]", L"a", R::kInvalid},
                    // UTF and UCP modes would check names as UTF: they are locked out.
                    PatternCase{"UtfMode", L"(*UTF)a", L"a", R::kInvalid},
                    PatternCase{"UcpMode", L"(*UCP)a", L"a", R::kInvalid}),
    caseLabel);

const std::wstring kThirtyAs(30, L'a');
const std::wstring kPathLongName(260, L'a');

// PCRE2's compile limits: nesting, length, repeat counts, and the run's memory, which bounds the
// compiled copies of repeated groups.
INSTANTIATE_TEST_SUITE_P(
    BuildBounds, PatternOutcome,
    testing::Values(
        PatternCase{"NestedGroupsAtTheBound", nestedGroups(L"(?:", 500, L"a"), L"a", R::kMatch},
        PatternCase{"NestedGroupsBeyondTheBound", nestedGroups(L"(?:", 501, L"a"), L"a",
                    R::kTooBig},
        PatternCase{"TenThousandNestedGroups", nestedGroups(L"(", 10000, L"a"), L"a", R::kTooBig},
        PatternCase{"TenThousandNestedLookAheads", nestedGroups(L"(?=", 10000, L"a") + L"a", L"a",
                    R::kTooBig},
        PatternCase{"LongestCommandLineOfOneLetter", std::wstring(32767, L'a'), L"a", R::kNoMatch},
        PatternCase{"LongerThanAnyCommandLine", std::wstring(32768, L'a'), L"a", R::kTooBig},
        PatternCase{"LongestCommandLineOfBrackets", L".*|" + repeated(L"[xyz]", 6552) + L"abcd",
                    kPathLongName, R::kMatch},
        PatternCase{"CountAboveTheLimit", L"a{65536}", L"a", R::kTooBig},
        PatternCase{"HugeCount", L"a{99999999999999999999}", L"a", R::kTooBig},
        PatternCase{"HugeReferenceIsNoReference", L"(a)\\99999999999999999999", L"aa", R::kNoMatch},
        PatternCase{"HugeBracketRepeated", L"[" + repeated(L"b-b", 40000) + L"]{99990}", L"ab",
                    R::kTooBig},
        PatternCase{"RepeatedGroupCopiesBeyondTheMemory", L"(?:(?:ab){3000}){3000}", L"ab",
                    R::kOutOfMemory},
        PatternCase{"RepeatedGroupCopiesWithinTheMemory", L"(?:(?:ab){100}){100}", L"ab",
                    R::kNoMatch},
        PatternCase{"LongRuns", L"x{6000}y{6000}", kPathLongName, R::kNoMatch},
        PatternCase{"RangeOfTenThousand", L"[a-z]{0,10000}\\.exe", L"notepad.exe", R::kMatch},
        PatternCase{"ManyEmptyGroups", L"(?:){40000}", L"", R::kMatch},
        PatternCase{"NestedEmptyGroups", L"(?:(?:){200}){200}", L"", R::kMatch}),
    caseLabel);

std::wstring sixHundredNames() {
  std::wstring names = L"name0";
  for (int i = 1; i < 600; ++i) {
    names += L"|name" + std::to_wstring(i);
  }
  return names;
}

// Matching: the step budget, the depth of backtracking, and legitimate long names through both.
INSTANTIATE_TEST_SUITE_P(
    MatchBounds, PatternOutcome,
    testing::Values(
        PatternCase{"ExponentialAlternatives", L"(a|a)*[bc]", std::wstring(255, L'a'),
                    R::kTooManySteps},
        PatternCase{"ExponentialNestedRepeats", L"(a*)*[bc]", kThirtyAs, R::kTooManySteps},
        PatternCase{"ExponentialPatternOnAShortName", L"(a|a)*b", L"aaab", R::kMatch},
        PatternCase{"ExponentialPatternThatMatches", L"(a|a)*", kThirtyAs, R::kMatch},
        PatternCase{"EmptyAlternativesThenAClass", L"(?:|){22}[" + repeated(L"\\W", 100) + L"]",
                    L"ab", R::kNoMatch},
        PatternCase{"SixHundredNames", sixHundredNames(), L"name599", R::kMatch},
        PatternCase{"PathLongNameThroughAlternatives", L"(a|b)*", kPathLongName, R::kMatch},
        PatternCase{"PathLongNameThroughAnyChar", L".*", kPathLongName, R::kMatch},
        PatternCase{"PathLongNameWithExtension", L"[a-z]+\\.exe", std::wstring(256, L'a') + L".exe",
                    R::kMatch},
        PatternCase{"NameThroughNestedAlternatives", L"((a|b)|(c|d))*", std::wstring(150, L'a'),
                    R::kMatch},
        PatternCase{"NameFarBeyondAnyPath", L"(a|b)*", std::wstring(5000, L'a'), R::kTooDeep},
        PatternCase{"NamesOfAnyLengthThroughOneItem", L"a{10001}", std::wstring(10001, L'a'),
                    R::kMatch},
        PatternCase{"LazyRepeatsInARow", L"(?:a*?){24000}c", L"c", R::kTooDeep},
        PatternCase{"ChoicesInARow", L"(?:|b){2000}c", repeated(L"b", 200) + L"c", R::kTooDeep},
        PatternCase{"NestedLookAheads", nestedGroups(L"(?=", 400, L"a") + L"a", L"a", R::kMatch}),
    caseLabel);

TEST(PatternSteps, AreOneBudgetForTheWholeRun) {
  // Each name costs this pattern about two million steps: four names fit the budget of the run,
  // the fifth does not, though each match on its own stays far below it.
  const std::wstring name(17, L'a');
  PatternSet patterns({L"(a|a)*[bc]"});
  PatternResult result = R::kNoMatch;
  int matched = 0;
  for (; matched < 20 && result == R::kNoMatch; ++matched) {
    result = patterns.test(0, name);
  }
  EXPECT_EQ(result, R::kTooManySteps);
  EXPECT_EQ(matched, 5);
  EXPECT_EQ(patterns.stepsTaken(), 10'000'000u);
}

TEST(PatternSteps, AreSharedByEveryPatternOfTheRun) {
  const std::wstring name(17, L'a');
  PatternSet patterns({L"(a|a)*[bc]", L"(a|a)*[de]", L"(a|a)*[fg]", L"(a|a)*[hi]"});
  PatternResult result = R::kNoMatch;
  for (int round = 0; round < 5 && result == R::kNoMatch; ++round) {
    for (std::size_t index = 0; index < 4 && result == R::kNoMatch; ++index) {
      result = patterns.test(index, name);
    }
  }
  EXPECT_EQ(result, R::kTooManySteps);
}

TEST(PatternSteps, OrdinaryMatchesOfAWholeMachineStayFarBelowTheBudget) {
  PatternSet patterns({L"svchost\\.exe", L".*[Uu]pdater.*", L"(foo|bar|baz)\\.exe"});
  for (int entry = 0; entry < 100'000; ++entry) {
    ASSERT_EQ(patterns.test(entry % 3, L"service" + std::to_wstring(entry) + L".exe"), R::kNoMatch);
  }
  EXPECT_LT(patterns.stepsTaken(), 5'000'000u);
}

std::uint64_t stepsOf(const std::wstring& pattern, const std::wstring& name) {
  PatternSet patterns({pattern});
  patterns.test(0, name);
  return patterns.stepsTaken();
}

// The matcher's work at a step grows with the item's text, the name and the capturing groups;
// without the weight a bracket of 10,000 ranges made ten million steps take 40 seconds.
TEST(PatternSteps, WeighTheItemTheNameAndTheGroups) {
  const std::wstring longBracket = L"[" + repeated(L"b-b", 160) + L"a]";  // 483 characters
  EXPECT_GE(stepsOf(longBracket, L"a"), stepsOf(L"[ba]", L"a") + 30);
  EXPECT_GE(stepsOf(L"a*", std::wstring(320, L'a')), stepsOf(L"a*", L"a") + 2 * 20);
  EXPECT_GE(stepsOf(repeated(L"()", 160) + L"a", L"a"),
            stepsOf(repeated(L"(?:)", 160) + L"a", L"a") + 160 * 10);
  EXPECT_EQ(resultOf(L"(?:" + longBracket + L"|a)*[bc]", std::wstring(30, L'a')), R::kTooManySteps);
}

TEST(PatternBuild, HappensAtTheFirstTestOnly) {
  PatternSet patterns({L"a", L"("});
  EXPECT_EQ(patterns.test(0, L"a"), R::kMatch);
  EXPECT_EQ(patterns.test(1, L"a"), R::kInvalid);
  EXPECT_EQ(patterns.test(1, L"b"), R::kInvalid);
  EXPECT_EQ(patterns.test(0, L"b"), R::kNoMatch);
}

TEST(PatternText, IsReadOnlyWithinItsView) {
  // The view ends right after the parenthesis; the text beyond it would complete a group.
  const std::wstring text = L"(?:a)";
  EXPECT_EQ(resultOf(std::wstring(std::wstring_view(text).substr(0, 1)), L"a"), R::kInvalid);
  PatternSet viewed({std::wstring_view(text).substr(0, 1)});
  EXPECT_EQ(viewed.test(0, L"a"), R::kInvalid);
  const std::wstring name = L"ab";
  PatternSet patterns({L"a"});
  EXPECT_EQ(patterns.test(0, std::wstring_view(name).substr(0, 1)), R::kMatch);
}

TEST(PatternMemory, IsReleasedWhenTheRunEnds) {
  // Many runs, each near its memory bound: nothing accumulates from one to the next.
  for (int run = 0; run < 20; ++run) {
    PatternSet patterns({L"(?:(?:ab){200}){200}", L"(?:(?:ab){3000}){3000}"});
    ASSERT_EQ(patterns.test(0, L"ab"), R::kNoMatch);
    ASSERT_EQ(patterns.test(1, L"ab"), R::kOutOfMemory);
  }
}

}  // namespace
}  // namespace vellicor
