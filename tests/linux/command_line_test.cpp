#include "ports/linux/command_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/launch.h"

namespace vellicor::linux_platform {
namespace {

using Words = std::vector<std::wstring>;

struct SplitCase {
  const wchar_t* line;
  Words words;
};

void expectSplits(const std::vector<SplitCase>& cases) {
  for (const SplitCase& c : cases) {
    EXPECT_EQ(splitCommandLine(c.line), c.words)
        << "line: [" << testing::PrintToString(c.line) << "]";
  }
}

TEST(SplitCommandLine, ProgramNameEndsAtBlankOrClosingQuoteWithoutEscapes) {
  expectSplits({
      {LR"("C:\Program Files\app.exe" x)", {LR"(C:\Program Files\app.exe)", L"x"}},
      {LR"("a b"c d)", {L"a b", L"c", L"d"}},
      {LR"(a"b c)", {LR"(a"b)", L"c"}},
      {LR"("a\"b c)", {LR"(a\)", L"b", L"c"}},
      {LR"(C:\dir\ x)", {LR"(C:\dir\)", L"x"}},
      {LR"("unterminated name)", {L"unterminated name"}},
      {L"prog\tx", {L"prog", L"x"}},
      {L"prog   ", {L"prog"}},
      {LR"("" x)", {L"", L"x"}},
  });
}

TEST(SplitCommandLine, EmptyAndBlankLines) {
  // No words at all rather than Windows' answer of the caller's own path; a leading blank leaves
  // an empty program name.
  expectSplits({
      {L"", {}},
      {L"   ", {L""}},
      {L"\t", {L""}},
      {L"  x y", {L"", L"x", L"y"}},
  });
}

TEST(SplitCommandLine, BackslashesCountOnlyBeforeAQuote) {
  expectSplits({
      {LR"(p a\b\\c)", {L"p", LR"(a\b\\c)"}},
      {LR"(p a\"b)", {L"p", LR"(a"b)"}},
      {LR"(p a\\"b c")", {L"p", LR"(a\b c)"}},
      {LR"(p a\\\"b)", {L"p", LR"(a\"b)"}},
      {LR"(p a\\\\"b")", {L"p", LR"(a\\b)"}},
      {LR"(p "ab\"c" "\\" d)", {L"p", LR"(ab"c)", LR"(\)", L"d"}},
      {LR"(p a\\\b d"e f"g h)", {L"p", LR"(a\\\b)", L"de fg", L"h"}},
      {LR"(p \"a b)", {L"p", LR"("a)", L"b"}},
  });
}

TEST(SplitCommandLine, TrailingBackslashes) {
  expectSplits({
      {LR"(p a\)", {L"p", LR"(a\)"}},
      {LR"(p "a\")", {L"p", LR"(a")"}},
      {LR"(p "a\\")", {L"p", LR"(a\)"}},
      {LR"(p "a b\\" c)", {L"p", LR"(a b\)", L"c"}},
  });
}

TEST(SplitCommandLine, QuotesGroupBlanksAndRunsOfQuotesCountInThrees) {
  expectSplits({
      {LR"(p "a b c" d e)", {L"p", L"a b c", L"d", L"e"}},
      {LR"(p a"b c"d)", {L"p", L"ab cd"}},
      {L"p \"a\tb\"", {L"p", L"a\tb"}},
      {LR"(p "unterminated x)", {L"p", L"unterminated x"}},
      // Inside quotes "" gives one quote and ends the quoted part.
      {LR"(p a"b"" c d)", {L"p", LR"(ab")", L"c", L"d"}},
      {LR"(p "a""b c")", {L"p", LR"(a"b)", L"c"}},
      // Outside quotes "" is an empty piece and """ one quote.
      {LR"(p a""b)", {L"p", L"ab"}},
      {LR"(p """ x)", {L"p", LR"(")", L"x"}},
      {LR"(p """" x)", {L"p", LR"(" x)"}},
      // An escaped quote followed by a plain one opens a quoted part.
      {LR"(p \""a b")", {L"p", LR"("a b)"}},
  });
}

TEST(SplitCommandLine, EmptyWordsAndBlanks) {
  expectSplits({
      {LR"(p "")", {L"p", L""}},
      {LR"(p "" "")", {L"p", L"", L""}},
      {LR"(p a "" b)", {L"p", L"a", L"", L"b"}},
      {L"p a\t\t b", {L"p", L"a", L"b"}},
      {L"p a \t", {L"p", L"a"}},
  });
}

struct JoinCase {
  Words words;
  const wchar_t* line;
};

TEST(JoinCommandLine, QuotesOnlyWhatNeedsIt) {
  std::vector<JoinCase> cases = {
      {{}, L""},
      {{L""}, LR"("")"},
      {{L"p", L"a b"}, LR"(p "a b")"},
      {{L"p", L""}, LR"(p "")"},
      {{L"p", LR"(a"b)"}, LR"(p a\"b)"},
      {{L"p", LR"(a\b)"}, LR"(p a\b)"},
      {{L"p", LR"(a\"b)"}, LR"(p a\\\"b)"},
      {{L"p", LR"(a b\)"}, LR"(p "a b\\")"},
      {{L"p", LR"(a\)"}, LR"(p a\)"},
      {{L"p", L"a\tb"}, L"p \"a\tb\""},
      {{LR"(C:\Program Files\x.exe)", L"y"}, LR"("C:\Program Files\x.exe" y)"},
      // The program name takes no escapes, so its backslashes stay single before the quote.
      {{LR"(a b\)", L"x"}, LR"("a b\" x)"},
      {{LR"(a"b)", L"x"}, LR"(a"b x)"},
  };
  for (const JoinCase& c : cases) {
    EXPECT_EQ(joinCommandLine(c.words), c.line);
  }
}

TEST(JoinCommandLine, ProgramNameThatCannotHoldItsQuotesLosesThemButNotTheWordsAfter) {
  EXPECT_EQ(splitCommandLine(joinCommandLine({LR"(my "prog)", L"a b", L"c"})),
            (Words{L"my prog", L"a b", L"c"}));
  EXPECT_EQ(splitCommandLine(joinCommandLine({LR"("prog)", L"x"})), (Words{L"prog", L"x"}));
}

TEST(CommandLineRoundTrip, TrickyArgumentVectors) {
  std::vector<Words> vectors = {
      {L"vellicor"},
      {L""},
      {L"", L""},
      {L"/usr/local/bin/vellicor", L"/x:1", L"/e", L"sleep", L"5"},
      {L"v", L"a b", L" ", L"\t", L"  lead", L"trail  "},
      {L"v", L"\"", L"\"\"", L"\"\"\"", L"a\"\"b", L"\"a b\""},
      {L"v", L"\\", L"\\\\", L"\\\"", L"\\\\\"", L"a\\", L"a b\\", L"a b\\\\", L"\\\"\\"},
      {L"v", L"", L"x", L"", L""},
      {L"vellicör", L"grüße", L"日本 語", L"\U0001F600 x", L"€\"€"},
      {L"dir with space/v", L"C:\\path\\", L"\"C:\\quoted path\\\\\""},
  };
  for (const Words& words : vectors) {
    EXPECT_EQ(splitCommandLine(joinCommandLine(words)), words)
        << "line: " << testing::PrintToString(joinCommandLine(words));
  }
}

std::wstring randomWord(std::mt19937& random, bool programName) {
  static const std::wstring kAlphabet = L"ab \t\"\\/-é€\U0001F600";
  std::uniform_int_distribution<std::size_t> length(0, 8);
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::wstring word;
  for (std::size_t n = length(random); n > 0; --n) {
    wchar_t character = kAlphabet[pick(random)];
    if (programName && character == L'"') {
      continue;  // a program name has no way to carry a quote next to a blank
    }
    word.push_back(character);
  }
  return word;
}

TEST(CommandLineRoundTrip, RandomArgumentVectors) {
  std::mt19937 random(20240605);
  std::uniform_int_distribution<int> count(1, 6);
  for (int round = 0; round < 5000; ++round) {
    Words words;
    for (int n = count(random); n > 0; --n) {
      words.push_back(randomWord(random, words.empty()));
    }
    std::wstring line = joinCommandLine(words);
    ASSERT_EQ(splitCommandLine(line), words) << "line: " << testing::PrintToString(line);
  }
}

// The launched command is split again from the raw line, its first word by the program-name
// rule; that word survives the trip when it has no quote and doesn't end in a backslash after a
// blank.
TEST(CommandLineRoundTrip, CommandAfterTheLaunchOptionSplitsBackIntoItsWords) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> count(0, 4);
  for (int round = 0; round < 2000; ++round) {
    Words command = {randomWord(random, true)};
    while (command[0].find_first_of(L" \t") != std::wstring::npos && !command[0].empty() &&
           command[0].back() == L'\\') {
      command[0].pop_back();
    }
    for (int n = count(random); n > 0; --n) {
      command.push_back(randomWord(random, false));
    }
    Words arguments = {L"vellicor", L"/x:1", L"/e"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    std::wstring line = joinCommandLine(arguments);
    std::optional<std::wstring_view> tail = findCommandTail(line);
    ASSERT_TRUE(tail.has_value());
    ASSERT_EQ(splitCommandLine(*tail), command) << "tail: " << testing::PrintToString(*tail);
  }
}

}  // namespace
}  // namespace vellicor::linux_platform
