#include "platform/windows/console_output.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

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

}  // namespace
}  // namespace vellicor::windows_platform
