// Text from outside through the built program: process names, arguments, patterns and the
// program path with format characters, terminal controls, bytes that are not UTF-8, lengths far
// beyond the usual, and digits of other scripts. The output shows such text; it never obeys it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "child_process.h"
#include "common/utf8.h"
#include "platform/platform.h"
#include "ports/linux/cpu_list.h"
#include "ports/linux/sysfs_topology.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::ChildProcess;
using linux_test::onlineMask;
using linux_test::TemporaryDirectory;
using linux_test::threadMask;

using ProgramRun = linux_test::ProgramOutput;

// Runs the program with `arguments`, under the program path `programPath`, with `environment`
// ("NAME=value") added to its environment.
ProgramRun runProgram(const std::vector<std::string>& arguments,
                      const std::string& programPath = VELLICOR_BINARY,
                      const std::string& environment = {}) {
  std::vector<std::string> argv{programPath};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return linux_test::runCapturing(VELLICOR_BINARY, argv, [&] {
    if (!environment.empty()) {
      putenv(const_cast<char*>(environment.c_str()));
    }
  });
}

// What a terminal would act on: C0 controls other than the line feed and the tab, DEL, C1
// controls, the Arabic letter mark, the bidirectional embeddings, overrides and isolates.
bool canSteerATerminal(wchar_t character) {
  const auto code = static_cast<std::uint32_t>(character);
  return (code < 0x20 && code != '\n' && code != '\t') || (code >= 0x7F && code <= 0x9F) ||
         code == 0x061C || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// Output must be well-formed UTF-8 that a terminal only displays.
testing::AssertionResult isInert(const std::string& output) {
  const std::wstring text = decodeUtf8(output);
  if (encodeUtf8(text, Unencodable::Replace) != output) {
    return testing::AssertionFailure() << "not well-formed UTF-8";
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (canSteerATerminal(text[i])) {
      return testing::AssertionFailure()
             << "character " << static_cast<std::uint32_t>(text[i]) << " at " << i;
    }
  }
  return testing::AssertionSuccess();
}

bool setOwnMask(std::uint64_t mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (unsigned cpu = 0; cpu < 64; ++cpu) {
    if ((mask >> cpu) & 1) {
      CPU_SET(cpu, &set);
    }
  }
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

// A child whose kernel name is `name` (cut by the kernel at 15 bytes), on every online processor.
ChildProcess namedChild(const std::string& name) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    return ChildProcess();
  }
  const std::uint64_t online = onlineMask();
  ChildProcess child = ChildProcess::run([&] {
    prctl(PR_SET_NAME, name.c_str());
    setOwnMask(online);
    (void)!write(ready[1], "r", 1);
    pause();
  });
  close(ready[1]);
  char byte;
  (void)!read(ready[0], &byte, 1);
  close(ready[0]);
  return child;
}

std::string hex(std::uint64_t mask) {
  const int width = static_cast<int>(((std::popcount(onlineMask()) - 1) >> 2) + 1);
  char digits[24];
  std::snprintf(digits, sizeof digits, "%0*llx", width, static_cast<unsigned long long>(mask));
  return digits;
}

// The line `vellicor /x:MASK` prints for a process set to MASK from every online processor.
std::string setLine(const std::string& name, pid_t pid, std::uint64_t mask) {
  return name + ", pid:" + std::to_string(pid) + ", mask:" + hex(onlineMask()) + " -> " +
         hex(mask) + "\n";
}

// The tail of the line `vellicor` prints for a process it only shows.
std::string shownLine(const std::string& name, pid_t pid, std::uint64_t mask) {
  return "  mask:" + hex(mask) + ", pid:" + std::to_string(pid) + ", " + name + "\n";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A row's label as its test name: the words capitalised and joined.
template <typename Row>
std::string nameFromLabel(const testing::TestParamInfo<Row>& info) {
  std::string name;
  bool wordStart = true;
  for (char c : std::string(info.param.label)) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
      wordStart = true;
      continue;
    }
    name.push_back(wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c);
    wordStart = false;
  }
  return name;
}

// --- Names of processes --------------------------------------------------------------------------

struct NameCase {
  const char* label;
  std::string kernelName;  // what prctl sets
  std::string shownAs;     // what the output carries
};

void PrintTo(const NameCase& row, std::ostream* out) {
  *out << row.label;
}

class ProcessNames : public testing::TestWithParam<NameCase> {};

// Shown by identifier, and selected by the same bytes as a name target.
TEST_P(ProcessNames, AreShownAsTextAndSelectedByTheirOwnBytes) {
  const NameCase& row = GetParam();
  ChildProcess child = namedChild(row.kernelName);
  ASSERT_TRUE(child.started());
  const std::string pid = std::to_string(child.pid());

  ProgramRun shown = runProgram({"/p", pid});
  EXPECT_TRUE(shown.exitedWith(0));
  EXPECT_TRUE(contains(shown.output, shownLine(row.shownAs, child.pid(), onlineMask())))
      << shown.output;
  EXPECT_TRUE(isInert(shown.output));

  const std::uint64_t online = onlineMask();
  ProgramRun set = runProgram({"/x:" + hex(online), row.kernelName});
  EXPECT_TRUE(set.exitedWith(0));
  EXPECT_EQ(set.output, setLine(row.shownAs, child.pid(), online));
  EXPECT_TRUE(isInert(set.output));
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, ProcessNames,
    testing::Values(
        NameCase{"format characters", "%s%n%d%x%ls%p", "%s%n%d%x%ls%p"},
        // The tab is no danger: it shows as itself.
        NameCase{"escape sequences and C0 controls", "a\x1b[2J\x7f\tb\rc\x07", "a?[2J?\tb?c?"},
        // CSI as one C1 character, then a right-to-left override.
        NameCase{"C1 control and reordering mark",
                 "x\xc2\x9b"
                 "2J\xe2\x80\xaey",
                 "x?2J?y"},
        // The Arabic letter mark, the first and the last isolate.
        NameCase{"isolates and Arabic letter mark", "vl\xd8\x9c\xe2\x81\xa6\xe2\x81\xa9z",
                 "vl???z"},
        // They only set the direction of the text next to them, and are part of real names.
        NameCase{"direction marks", "vl\xe2\x80\x8e-\xe2\x80\x8fz", "vl\xe2\x80\x8e-\xe2\x80\x8fz"},
        // A byte no sequence starts with, a stray continuation byte, an overlong slash
        // and a sequence cut short: each of the six bytes shows as a '?'.
        NameCase{"bytes that are not UTF-8", "bad\xff\x80\xc0\xaf\xe2\x82z", "bad??????z"}),
    nameFromLabel<NameCase>);

// --- Bytes that are not UTF-8 ------------------------------------------------------------------

TEST(NonUtf8Bytes, SelectOnlyTheNameWithTheSameBytes) {
  ChildProcess first = namedChild("vellicor-x\xff");
  ChildProcess second = namedChild("vellicor-x\xfe");
  ASSERT_TRUE(first.started() && second.started());
  ProgramRun run = runProgram({"vellicor-x\xff"});
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_TRUE(contains(run.output, shownLine("vellicor-x?", first.pid(), onlineMask())))
      << run.output;
  EXPECT_FALSE(contains(run.output, "pid:" + std::to_string(second.pid()))) << run.output;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1);
}

// printf writes its words back: they must arrive as the bytes typed.
TEST(NonUtf8Bytes, ReachALaunchedCommandAsTyped) {
  ProgramRun run = runProgram({"/e", "printf", "<%s>", "\xff", "caf\xe9", "\xed\xb3\xbf"});
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_TRUE(contains(run.output, "<\xff><caf\xe9><\xed\xb3\xbf>")) << run.output;
}

TEST(NonUtf8Bytes, InAProgramsFileNameStillFindIt) {
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  ASSERT_TRUE(linux_test::copySleepProgram(directory.path() / "L\xe9n"));
  // Found on PATH and by its path.
  const std::string path = std::string("PATH=") + directory.path().string() + ":/usr/bin:/bin";
  for (const std::string& program :
       {std::string("L\xe9n"), (directory.path() / "L\xe9n").string()}) {
    ProgramRun run = runProgram({"/e", program, "0"}, VELLICOR_BINARY, path);
    EXPECT_TRUE(run.exitedWith(0)) << run.output;
    EXPECT_TRUE(contains(run.output, ", L?n\n")) << run.output;
    EXPECT_TRUE(isInert(run.output));
  }
}

// --- Long names of executables -----------------------------------------------------------------

struct LongNameCase {
  const char* label;
  std::string fileName;
  bool removeFile;  // /proc then adds " (deleted)" to the executable's path
};

void PrintTo(const LongNameCase& row, std::ostream* out) {
  *out << row.label;
}

class LongNames : public testing::TestWithParam<LongNameCase> {};

// The kernel keeps 15 bytes of a name. The program shows and selects the whole file name, and the
// 15 bytes alone select nothing.
TEST_P(LongNames, AreCompletedFromTheExecutable) {
  const LongNameCase& row = GetParam();
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::filesystem::path program = directory.path() / row.fileName;
  ASSERT_TRUE(linux_test::copySleepProgram(program));
  ChildProcess child = ChildProcess::execute(program.string(), {row.fileName, "1000"});
  ASSERT_TRUE(child.started());
  if (row.removeFile) {
    std::filesystem::remove(program);
  }
  const std::string pid = std::to_string(child.pid());

  ProgramRun shown = runProgram({"/p", pid});
  EXPECT_TRUE(shown.exitedWith(0));
  EXPECT_TRUE(contains(shown.output, ", pid:" + pid + ", " + row.fileName + "\n")) << shown.output;

  ProgramRun byName = runProgram({row.fileName});
  EXPECT_TRUE(byName.exitedWith(0));
  EXPECT_TRUE(contains(byName.output, ", pid:" + pid + ", " + row.fileName + "\n"));

  ProgramRun byKernelName = runProgram({row.fileName.substr(0, 15)});
  EXPECT_TRUE(byKernelName.exitedWith(0));
  EXPECT_FALSE(contains(byKernelName.output, ", pid:" + pid + ","));
}

std::string repeated(const std::string& unit, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) {
    text += unit;
  }
  return text;
}

// File names end at 255 bytes on Linux, short of the 260 of a Windows path.
INSTANTIATE_TEST_SUITE_P(
    Files, LongNames,
    testing::Values(LongNameCase{"longest file name", repeated("vellicor-", 28) + "abc", false},
                    // 127 two-byte letters: the kernel cuts the name inside the eighth.
                    LongNameCase{"cut inside a character", repeated("\xc3\xa4", 127), false},
                    LongNameCase{"removed after start", "vellicor-removed-program", true}),
    nameFromLabel<LongNameCase>);

// --- Arguments ----------------------------------------------------------------------------------

TEST(ProgramPath, IsPrintedInTheUsageAsTextNotAsFormat) {
  ProgramRun run = runProgram({}, "%s%n%d\x1b[2J");
  EXPECT_TRUE(run.exitedWith(1));
  EXPECT_TRUE(contains(run.output, "usage: %s%n%d?[2J [/?:mask]")) << run.output;
  EXPECT_TRUE(contains(run.output, " ex. %s%n%d?[2J /x:03fc /g \"TMPGEnc.*\"\n"));
  EXPECT_TRUE(isInert(run.output));
}

TEST(Patterns, WithFormatCharactersMatchLiterally) {
  ChildProcess child = namedChild("%s-%n-target");
  ASSERT_TRUE(child.started());
  const std::string pid = std::to_string(child.pid());
  ProgramRun run = runProgram({"/g", "%s-%n-.*"});
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_TRUE(contains(run.output, shownLine("%s-%n-target", child.pid(), onlineMask())))
      << run.output;
  EXPECT_TRUE(isInert(run.output));

  run = runProgram({"/g", "\x1b\\[2J.*"});  // a literal escape sequence: no name has one
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.output, "");
}

TEST(LaunchCommand, ThatCannotStartIsNamedWithoutItsControls) {
  ProgramRun run = runProgram({"/e", "no-such-program-\x1b]0;x\x07-%s%n"});
  EXPECT_TRUE(run.exitedWith(1));
  EXPECT_EQ(run.output, "Not found: no-such-program-?]0;x?-%s%n");
}

// 32,767 characters: the longest argument a Windows command line can carry.
constexpr std::size_t kLongestArgument = 32767;

TEST(LongArguments, AreReadWholeAndEndTheRunNormally) {
  const std::string letters(kLongestArgument, 'a');
  ProgramRun run = runProgram({"/x:1", letters});
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.output, "");

  // 32,767 nines saturate to the largest identifier, which no process has.
  run = runProgram({"/p", "/x:1", std::string(kLongestArgument, '9')});
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.output, "");

  run = runProgram({}, letters);
  EXPECT_TRUE(run.exitedWith(1));
  EXPECT_TRUE(contains(run.output, "usage: " + letters + " [/?:mask]"));
  EXPECT_TRUE(contains(run.output, "     " + letters + " /l\n"));
}

TEST(LongArguments, AMaskOfThousandsOfDigitsSaturates) {
  ChildProcess child = namedChild("vl-saturated");
  ASSERT_TRUE(child.started());
  const std::uint64_t online = onlineMask();
  ProgramRun run = runProgram(
      {"/x:" + std::string(kLongestArgument - 3, 'f'), "/p", std::to_string(child.pid())});
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.output, setLine("vl-saturated", child.pid(), online));
}

// Long, deeply nested or explosive patterns end with a result or the pattern error, never with
// a crash.
TEST(LongArguments, PatternsEndWithAResultOrThePatternError) {
  const std::string nested =
      repeated("(", kLongestArgument / 2) + repeated(")", kLongestArgument / 2);
  for (const std::string& pattern :
       {std::string(kLongestArgument, 'a'), nested, std::string("((a{1000}){1000}){1000}"),
        repeated("(a|a)*", kLongestArgument / 6) + "b", repeated("[", 100)}) {
    SCOPED_TRACE(pattern.substr(0, 40));
    ProgramRun run = runProgram({"/g", pattern});
    ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
    if (WEXITSTATUS(run.status) == 1) {
      EXPECT_EQ(run.output, "Invalid regex string!\n");
    } else {
      EXPECT_EQ(WEXITSTATUS(run.status), 0);
    }
  }
}

// --- Digits of other scripts --------------------------------------------------------------------

// The identifier and the mask as the user might type them on an Arabic or a fullwidth keyboard.
std::string inDigits(unsigned value, char32_t zero) {
  std::wstring text;
  for (char digit : std::to_string(value)) {
    text.push_back(static_cast<wchar_t>(zero + static_cast<char32_t>(digit - '0')));
  }
  return encodeUtf8(text, Unencodable::Replace);
}

TEST(UnicodeDigits, CountInIdentifiersAndMasks) {
  const std::uint64_t online = onlineMask();
  if (std::popcount(online) < 2) {
    GTEST_SKIP() << "needs two online processors to see a mask change";
  }
  ChildProcess child = namedChild("vl-digits");
  ASSERT_TRUE(child.started());
  const auto pid = static_cast<unsigned>(child.pid());
  const std::uint64_t lowest = online & (~online + 1);

  // Arabic-Indic digits for the mask, fullwidth digits for the identifier.
  ProgramRun run = runProgram(
      {"/d:" + inDigits(static_cast<unsigned>(lowest), U'\u0660'), "/p", inDigits(pid, U'\uff10')});
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.output, setLine("vl-digits", child.pid(), lowest));
  EXPECT_EQ(threadMask(child.pid()), lowest);

  // A superscript two is no digit: no mask, so the process is only shown.
  run = runProgram({"/d:\xc2\xb2", "/p", inDigits(pid, U'\u0966')});
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_TRUE(contains(run.output, shownLine("vl-digits", child.pid(), lowest))) << run.output;
}

// --- sysfs text ---------------------------------------------------------------------------------

// The exit code of a child whose body could not get the memory it asked for.
constexpr int kOutOfMemory = 101;

// Runs `body` in a child that may map `headroom` bytes beyond what it has mapped already, and
// returns its wait status. A child still running after a generous while is killed, so that a hang
// fails the test instead of stopping it; that while is no claim about speed.
int runWithMemoryHeadroom(std::size_t headroom, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    const std::string status = linux_test::readWholeFile("/proc/self/status");
    const std::size_t line = status.find("VmSize:");
    if (line == std::string::npos) {
      _exit(100);
    }
    const rlim_t mapped = std::stoull(status.substr(line + 7)) * 1024;
    const rlimit limit{mapped + headroom, mapped + headroom};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
      _exit(100);
    }
    // Nothing may unwind out of the child into the test runner it is a copy of.
    int result = 102;
    try {
      result = body();
    } catch (const std::bad_alloc&) {
      result = kOutOfMemory;
    } catch (...) {
    }
    _exit(result);
  }
  int status = 0;
  for (int waited = 0; waited < 3000; ++waited) {
    if (waitpid(child, &status, WNOHANG) == child) {
      return status;
    }
    usleep(100 * 1000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return status;
}

// A list of 100,000 online processors, none of them with a directory of its own: what the
// topology costs must grow with the list, not with its square.
// Every processor of the list, with no directory to group it by, is a core of its own, and each
// core's mask is as wide as its processor's number: the bound on processor numbers is what keeps
// that within memory.
TEST(SysfsText, AHugeOnlineListIsReadWithinBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's heap lies in space it mapped in advance, beyond the "
                  "reach of an address-space limit";
#endif
  TemporaryDirectory root;
  ASSERT_FALSE(root.path().empty());
  const std::filesystem::path cpus = root.path() / "sys/devices/system/cpu";
  std::filesystem::create_directories(cpus);
  std::ofstream(cpus / "online") << "0-" << kCpuLimit - 1 << "\n";
  const int status = runWithMemoryHeadroom(std::size_t{256} << 20, [&] {
    std::vector<TopologyRecord> records;
    return readSysfsTopology(root.path().string(), records) && records.size() == kCpuLimit + 1 ? 0
                                                                                               : 1;
  });
  ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_NE(WEXITSTATUS(status), kOutOfMemory) << "ran out of memory";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vellicor::linux_platform
