#include "ports/windows/console_output.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/utf8.h"
#include "tests/windows/test_processes.h"

namespace vellicor::windows_platform {
namespace {

using windows_tests::readFile;
using windows_tests::ScratchFolder;

// One test for the whole table: under Wine every test process costs a Wine start-up.
TEST(TextModeUtf8, EncodesAsTextModeWritesIt) {
  struct Row {
    const char* name;
    std::wstring text;
    std::string bytes;
  };
  const Row rows[] = {
      {"ascii", L"notepad.exe, pid:4242", "notepad.exe, pid:4242"},
      {"line feeds", L"a\nb\n", "a\r\nb\r\n"},
      {"empty line", L"\n", "\r\n"},
      // Text mode adds a CR to every LF, whatever came before it.
      {"carriage return kept", L"a\r\n", "a\r\r\n"},
      {"two bytes", L"Gr\u00fc\u00dfe", "Gr\xc3\xbc\xc3\x9f\x65"},
      {"three bytes", L"\u65e5\u672c", "\xe6\x97\xa5\xe6\x9c\xac"},
      {"surrogate pair", L"\xd83d\xde00.exe", "\xf0\x9f\x98\x80.exe"},
      {"lone high surrogate", L"a\xd83d-", "a?-"},
      {"lone low surrogate", L"\xde00", "?"},
      {"high surrogate at the end", L"a\xd83d", "a?"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(encodeUtf8(withCarriageReturns(row.text), Unencodable::Replace), row.bytes);
  }
}

constexpr wchar_t kHigh = 0xD83D;  // U+1F600 as a surrogate pair
constexpr wchar_t kLow = 0xDE00;

// `length` letters with the pair U+1F600 at `at` (its high half there, its low half after it).
std::wstring textWithPairAt(std::size_t length, std::size_t at) {
  std::wstring text(length, L'a');
  text[at] = kHigh;
  text[at + 1] = kLow;
  return text;
}

TEST(ConsolePieceLength, NeverEndsBetweenTheHalvesOfAPair) {
  struct Row {
    const char* name;
    std::wstring text;
    std::size_t limit;
    std::size_t length;
  };
  const Row rows[] = {
      {"shorter than the limit", L"abc", 8, 3},
      {"empty", L"", 8, 0},
      {"exactly the limit", std::wstring(8, L'a'), 8, 8},
      {"pair across the limit", textWithPairAt(10, 7), 8, 7},
      {"pair just inside the limit", textWithPairAt(10, 6), 8, 8},
      {"pair just beyond the limit", textWithPairAt(10, 8), 8, 8},
      {"lone high half at the limit", std::wstring(7, L'a') + kHigh + L"bc", 8, 8},
      {"two high halves across the limit", std::wstring(7, L'a') + kHigh + kHigh + kLow, 8, 8},
      {"lone low half after the limit", std::wstring(8, L'a') + kLow, 8, 8},
      // A piece is never empty, so a write always gets something.
      {"a limit of one on a pair", textWithPairAt(2, 0), 1, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(consolePieceLength(row.text, row.limit), row.length);
  }
}

// A console write that takes at most `most` units each time (0: all) and records what it took.
struct RecordingConsole {
  std::size_t most = 0;
  std::size_t refuseCall = 0;  // the call (from 1) that is refused; 0: none
  std::vector<std::wstring> taken;

  ConsoleWrite writer() {
    return [this](std::wstring_view piece) -> std::size_t {
      if (taken.size() + 1 == refuseCall) {
        return 0;
      }
      std::size_t count = most == 0 ? piece.size() : std::min(most, piece.size());
      taken.emplace_back(piece.substr(0, count));
      return count;
    };
  }
};

bool endsInsideAPair(const std::wstring& piece, const std::wstring& next) {
  return !piece.empty() && piece.back() == kHigh && !next.empty() && next.front() == kLow;
}

// With a pair at every place a piece could end, every piece still ends on a whole character and
// the pieces put together are the text.
TEST(WriteWholeCharacters, KeepsAPairAtEveryPieceBoundaryWhole) {
  constexpr std::size_t kLimit = 8;
  for (std::size_t at = 0; at + 1 < 40; ++at) {
    SCOPED_TRACE(at);
    const std::wstring text = textWithPairAt(40, at);
    RecordingConsole console;
    ASSERT_TRUE(writeWholeCharacters(text, kLimit, console.writer()));
    std::wstring joined;
    for (std::size_t i = 0; i < console.taken.size(); ++i) {
      EXPECT_LE(console.taken[i].size(), kLimit);
      if (i + 1 < console.taken.size()) {
        EXPECT_FALSE(endsInsideAPair(console.taken[i], console.taken[i + 1]));
      }
      joined += console.taken[i];
    }
    EXPECT_EQ(joined, text);
  }
}

// The longest text a message can carry, at the console's piece size: a pair sits at the end of
// every piece, so each piece is one unit short of the limit.
TEST(WriteWholeCharacters, KeepsPairsWholeAtTheConsolePieceSize) {
  constexpr std::size_t kLimit = 8192;
  std::wstring text(32767, L'a');
  for (std::size_t at = kLimit - 1; at + 1 < text.size(); at += kLimit - 1) {
    text[at] = kHigh;
    text[at + 1] = kLow;
  }
  RecordingConsole console;
  ASSERT_TRUE(writeWholeCharacters(text, kLimit, console.writer()));
  std::vector<std::size_t> lengths;
  for (const std::wstring& piece : console.taken) {
    lengths.push_back(piece.size());
  }
  EXPECT_EQ(lengths, (std::vector<std::size_t>{8191, 8191, 8191, 8191, 3}));
}

TEST(WriteWholeCharacters, GoesOnAfterPartialWrites) {
  const std::wstring pair{kHigh, kLow};
  struct Row {
    const char* name;
    std::size_t most;
    std::wstring text;
    std::vector<std::wstring> taken;
  };
  const Row rows[] = {
      {"partial writes between characters", 2, L"abcde", {L"ab", L"cd", L"e"}},
      // The console has the high half: the next call starts with the low half, and every unit
      // reaches it once.
      {"a partial write inside a pair",
       3,
       L"ab" + pair + L"cd",
       {L"ab" + std::wstring(1, kHigh), std::wstring(1, kLow) + L"cd"}},
      // One unit at a time cannot keep the pair whole, but every unit still goes out once.
      {"one unit at a time", 1, L"a" + pair, {L"a", std::wstring(1, kHigh), std::wstring(1, kLow)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordingConsole console;
    console.most = row.most;
    EXPECT_TRUE(writeWholeCharacters(row.text, 8, console.writer()));
    EXPECT_EQ(console.taken, row.taken);
  }
}

TEST(WriteWholeCharacters, StopsAtTheFirstRefusal) {
  RecordingConsole console;
  console.most = 2;
  console.refuseCall = 2;
  EXPECT_FALSE(writeWholeCharacters(L"abcdef", 8, console.writer()));
  EXPECT_EQ(console.taken, std::vector<std::wstring>{L"ab"});
}

// Output into a file of the scratch folder, read back as raw bytes.
class FileOutput : public testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_.file(L"output.txt");
    file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override { CloseHandle(file_); }

  ScratchFolder scratch_;
  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(FileOutput, KeepsBarCharactersAndTextInProgramOrder) {
  {
    ConsoleOutput output(file_);
    output.writeBarCharacter('-');
    output.writeBarCharacter('*');
    output.writeText(L"  mask:1, pid:8, Gr\u00fc\u00dfe.exe\n");
    output.writeText(L"a.exe, pid:9, ");
    output.writeText(L"mask:3 -> 1\n");
  }
  EXPECT_EQ(readFile(path_),
            "-*  mask:1, pid:8, Gr\xc3\xbc\xc3\x9f\x65.exe\r\na.exe, pid:9, mask:3 -> 1\r\n");
}

// A command started with /e writes to the same stream once it is resumed; the line about it must
// already be out by then.
TEST_F(FileOutput, WritesAFinishedLineAtOnce) {
  ConsoleOutput output(file_);
  output.writeText(L"app.exe, pid:12, mask:3 -> 1\n");
  EXPECT_EQ(readFile(path_), "app.exe, pid:12, mask:3 -> 1\r\n");
}

TEST_F(FileOutput, WritesAnUnfinishedLineAtTheEnd) {
  {
    ConsoleOutput output(file_);
    output.writeText(L"Not found: nosuch.exe");
  }
  EXPECT_EQ(readFile(path_), "Not found: nosuch.exe");
}

TEST_F(FileOutput, WritesALongUnfinishedLineWhole) {
  std::wstring command(20000, L'x');
  {
    ConsoleOutput output(file_);
    output.writeText(L"Not found: " + command);
  }
  EXPECT_EQ(readFile(path_), "Not found: " + std::string(20000, 'x'));
}

TEST_F(FileOutput, EveryLineIsWrittenWhole) {
  {
    ConsoleOutput output(file_);
    output.writeText(L"a.exe, pid:9, mask:3 -> 1\n");
    EXPECT_FALSE(output.writeFailed());
  }
  EXPECT_EQ(readFile(path_), "a.exe, pid:9, mask:3 -> 1\r\n");
}

// A stream that refuses text for any reason but its reader leaving has lost it.
TEST_F(FileOutput, AStreamThatRefusesWritesLosesTheOutput) {
  struct Row {
    const char* name;
    std::wstring path;
    DWORD access;
  };
  const Row rows[] = {
      {"opened for reading only", path_, GENERIC_READ},
      // Wine shows the host's root as drive Z:, and /dev/full refuses every write with ENOSPC.
      {"a full disk", L"Z:\\dev\\full", GENERIC_WRITE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HANDLE stream = CreateFileW(row.path.c_str(), row.access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(stream, INVALID_HANDLE_VALUE);
    {
      ConsoleOutput output(stream);
      output.writeText(L"a.exe, pid:9, mask:3 -> 1\n");
      EXPECT_TRUE(output.writeFailed());
      output.writeText(L"b.exe, pid:10, mask:3 -> 1\n");
      EXPECT_TRUE(output.writeFailed());
    }
    CloseHandle(stream);
  }
}

// `vellicor /l | more`, and the reader quits: the output ends, nothing was lost.
TEST(PipeOutput, AReaderThatIsGoneEndsTheOutputQuietly) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  CloseHandle(readEnd);
  DWORD written = 0;
  ASSERT_FALSE(WriteFile(writeEnd, "x", 1, &written, nullptr));
  const DWORD error = GetLastError();
  ASSERT_TRUE(error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) << error;
  {
    ConsoleOutput output(writeEnd);
    output.writeText(L"a.exe, pid:9, mask:3 -> 1\n");
    output.writeText(L"b.exe, pid:10, mask:3 -> 1\n");
    EXPECT_FALSE(output.writeFailed());
  }
  CloseHandle(writeEnd);
}

}  // namespace
}  // namespace vellicor::windows_platform
