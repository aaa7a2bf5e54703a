// The console path of the Windows writer, on a real console. Captured output is never a console,
// and Wine gives a program one only when it runs on a terminal: on-terminal.sh runs this suite on
// a pseudo-terminal of its own and collects Wine's trace of the console calls, which shows how the
// text was cut into WriteConsoleW calls. What reached the console is read back from the cells of
// a screen buffer: they hold the UTF-16 units as written, while the terminal's bytes would not
// tell (Wine draws every surrogate, paired or not, as U+FFFD there).

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ports/windows/console_output.h"
#include "ports/windows/held_command.h"
#include "ports/windows/write_watch.h"
#include "tests/windows/test_processes.h"

namespace vellicor::windows_platform {
namespace {

using windows_tests::ChildProcess;
using windows_tests::helperExe;
using windows_tests::readFile;
using windows_tests::runVellicorWritingTo;
using windows_tests::startSuspended;
using windows_tests::windowsPath;

// The units WriteConsoleW is given at most in one call.
constexpr std::size_t kPiece = 8192;
constexpr wchar_t kHigh = 0xD83D;  // U+1F600 as a surrogate pair
constexpr wchar_t kLow = 0xDE00;

// A screen buffer of this program's console that is not the one shown, so nothing written to it
// reaches the terminal. It is large enough to hold the longest message without scrolling, and
// can be handed to vellicor.exe as its standard output.
class ScreenBuffer {
 public:
  ScreenBuffer() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    handle_ =
        CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, CONSOLE_TEXTMODE_BUFFER, nullptr);
    usable_ = handle_ != INVALID_HANDLE_VALUE && SetConsoleScreenBufferSize(handle_, {200, 400});
  }
  ~ScreenBuffer() {
    if (handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
    }
  }
  ScreenBuffer(const ScreenBuffer&) = delete;
  ScreenBuffer& operator=(const ScreenBuffer&) = delete;

  bool usable() const { return usable_; }
  HANDLE get() const { return handle_; }

  // The first `count` cells, row after row: the units written, as the console holds them.
  std::wstring cells(std::size_t count) const {
    std::wstring units(count, L'\0');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(handle_, units.data(), static_cast<DWORD>(count), {0, 0}, &read);
    units.resize(read);
    return units;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool usable_ = false;
};

// Wine's trace of the console calls of this program and of the programs it starts, from the
// moment this object is made. Lines look like
//   0024:trace:console:WriteConsoleW
//   (0000000000000030,L"text",10,000000000021FCEC,0000000000000000)
// with the text cut short when it is long, but the unit count always whole.
class ConsoleTrace {
 public:
  ConsoleTrace() {
    const char* path = std::getenv("VELLICOR_CONSOLE_TRACE");
    if (path != nullptr) {
      path_ = windowsPath(path);
      start_ = readFile(path_).size();
    }
  }

  bool available() const { return !path_.empty(); }

  // The unit count of every WriteConsoleW call on `stream` since then, in order.
  std::vector<std::size_t> writeLengths(HANDLE stream) const {
    const std::string trace = readFile(path_).substr(start_);
    const std::string call = "WriteConsoleW (";
    std::vector<std::size_t> lengths;
    for (std::size_t at = trace.find(call); at != std::string::npos;
         at = trace.find(call, at + 1)) {
      const std::size_t lineEnd = trace.find('\n', at);
      const std::string line = trace.substr(at + call.size(), lineEnd - at - call.size());
      const std::uintptr_t handle = std::stoull(line.substr(0, line.find(',')), nullptr, 16);
      // The count is the third field from the end: ",COUNT,WRITTEN,RESERVED)".
      const std::size_t reserved = line.rfind(',');
      const std::size_t written = line.rfind(',', reserved - 1);
      const std::size_t count = line.rfind(',', written - 1);
      if (handle == reinterpret_cast<std::uintptr_t>(stream)) {
        lengths.push_back(std::stoul(line.substr(count + 1, written - count - 1)));
      }
    }
    return lengths;
  }

 private:
  std::wstring path_;
  std::size_t start_ = 0;
};

// Equal units; otherwise where they first differ, briefly: a failure message with the whole of
// such text takes the console a minute to show.
testing::AssertionResult sameUnits(const std::wstring& actual, const std::wstring& expected) {
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
    ++at;
  }
  if (at == actual.size() && at == expected.size()) {
    return testing::AssertionSuccess();
  }
  auto units = [at](const std::wstring& text) {
    std::string shown;
    for (std::size_t i = at; i < text.size() && i < at + 4; ++i) {
      char unit[8];
      std::snprintf(unit, sizeof unit, " %04x", static_cast<unsigned>(text[i]));
      shown += unit;
    }
    return shown;
  };
  return testing::AssertionFailure()
         << "they differ from unit " << at << " on: " << units(actual) << " instead of"
         << units(expected) << " (lengths " << actual.size() << " and " << expected.size() << ")";
}

// `length` letters with the pair U+1F600 at the end of every piece the writer may hand over:
// each piece ends one unit short of the limit, so the next boundary comes one unit earlier too.
std::wstring pairsAtEveryBoundary(std::size_t length) {
  std::wstring text(length, L'a');
  for (std::size_t at = kPiece - 1; at + 1 < length; at += kPiece - 1) {
    text[at] = kHigh;
    text[at + 1] = kLow;
  }
  return text;
}

class OnTheConsole : public testing::Test {
 protected:
  void SetUp() override {
    DWORD mode = 0;
    ASSERT_TRUE(GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        << "no console: run this suite with tests/windows/on-terminal.sh";
    ASSERT_TRUE(buffer_.usable());
    ASSERT_TRUE(trace_.available()) << "no trace: run this suite with tests/windows/on-terminal.sh";
  }

  ScreenBuffer buffer_;
  ConsoleTrace trace_;
};

// The longest line a message makes (a command of 32,767 units after "Not found: "), with bar
// characters before it, a lone surrogate and the escape of a byte in it: every unit reaches the
// console as written, and no call ends inside a pair.
TEST_F(OnTheConsole, TheWriterHandsOverWholeCharacters) {
  std::wstring expected = pairsAtEveryBoundary(4 * (kPiece - 1) + 5);
  expected[0] = L'-';
  expected[1] = L'*';
  expected[100] = 0xD800;
  expected[200] = 0xDCFF;
  {
    ConsoleOutput output(buffer_.get());
    output.writeBarCharacter('-');
    output.writeBarCharacter('*');
    output.writeText(expected.substr(2));
  }
  EXPECT_TRUE(sameUnits(buffer_.cells(expected.size() + 10), expected + std::wstring(10, L' ')));
  EXPECT_EQ(trace_.writeLengths(buffer_.get()),
            (std::vector<std::size_t>{8191, 8191, 8191, 8191, 5}));
}

// vellicor.exe itself on the console: the command it cannot start comes back with its lone
// surrogate and its pairs whole.
TEST_F(OnTheConsole, VellicorShowsACommandThatCannotStartWhole) {
  // The command line holds the program path too and ends at 32,767 units.
  std::wstring expected = pairsAtEveryBoundary(3 * (kPiece - 1) + 100);
  const std::wstring prefix = L"Not found: vellicor-no-such-";
  expected.replace(0, prefix.size(), prefix);
  expected[40] = 0xD800;
  const std::wstring command = expected.substr(std::wstring(L"Not found: ").size());

  EXPECT_EQ(runVellicorWritingTo(buffer_.get(), L"/e " + command), 1u);
  EXPECT_TRUE(sameUnits(buffer_.cells(expected.size() + 10), expected + std::wstring(10, L' ')));
  EXPECT_EQ(trace_.writeLengths(buffer_.get()), (std::vector<std::size_t>{8191, 8191, 8191, 100}));
}

// Lines end in CR LF on the console as well, and each finished line goes out at once.
TEST_F(OnTheConsole, LinesEndWhereTheTextSays) {
  {
    ConsoleOutput output(buffer_.get());
    output.writeText(L"a.exe, pid:9, mask:3 -> 1\n");
    output.writeText(L"b\u00e9.exe, pid:10, mask:3 -> 1\n");
    EXPECT_FALSE(output.writeFailed());
  }
  EXPECT_EQ(buffer_.cells(200), L"a.exe, pid:9, mask:3 -> 1" + std::wstring(175, L' '));
  EXPECT_EQ(buffer_.cells(400).substr(200),
            L"b\u00e9.exe, pid:10, mask:3 -> 1" + std::wstring(173, L' '));
  EXPECT_EQ(trace_.writeLengths(buffer_.get()), (std::vector<std::size_t>{27, 29}));
}

BOOL WINAPI keepRunning(DWORD) {
  return TRUE;
}

// Ctrl+C, Ctrl+Break, the console closed: Windows ends vellicor.exe, but the command it holds is
// let go first, whatever the run was doing.
TEST(ConsoleEvents, LetAHeldCommandGo) {
  // Handlers run last registered first: this one, after the held command's, keeps the test alive.
  ASSERT_TRUE(SetConsoleCtrlHandler(keepRunning, TRUE));
  // Detached, the command gets no console event of its own.
  ChildProcess child = startSuspended(L"\"" + helperExe() + L"\" sleep 300000", DETACHED_PROCESS);
  ASSERT_TRUE(child.started());
  HANDLE thread = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child.thread(), GetCurrentProcess(), &thread, 0,
                              FALSE, DUPLICATE_SAME_ACCESS));
  WriteWatch writes;
  {
    HeldCommand held(thread, writes, 10 * 60 * 1000);
    // Wine's console sends Ctrl+C only: Ctrl+Break to every process of the console fails there.
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    DWORD suspended = 1;
    for (DWORD waited = 0; waited < 60 * 1000; waited += 20) {
      suspended = SuspendThread(child.thread());
      ResumeThread(child.thread());
      if (suspended == 0) {
        break;
      }
      Sleep(20);
    }
    EXPECT_EQ(suspended, 0u);
  }
  SetConsoleCtrlHandler(keepRunning, FALSE);
}

}  // namespace
}  // namespace vellicor::windows_platform
