// What the built program does around a command it launches and around the output it cannot
// write: the command gets its caller's signal settings and nobody else's mask changes, and lost
// output is never a success.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "ports/linux/cpu_list.h"
#include "ports/linux/stdout_output.h"
#include "ports/linux/suspended_launch.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::ChildProcess;
using linux_test::onlineMask;
using linux_test::ProgramOutput;
using linux_test::runCapturing;
using linux_test::TemporaryDirectory;
using linux_test::threadMask;

ProgramOutput runVellicor(std::vector<std::string> arguments,
                          const std::function<void()>& prepare = {},
                          const char* outputFile = nullptr) {
  arguments.insert(arguments.begin(), VELLICOR_BINARY);
  return runCapturing(VELLICOR_BINARY, arguments, prepare, outputFile);
}

// The hexadecimal mask of one "Name:\tvalue" line of /proc/PID/status text.
std::uint64_t statusMask(const std::string& status, const std::string& name) {
  std::size_t at = status.find("\n" + name + ":\t");
  if (at == std::string::npos) {
    return ~std::uint64_t{0};
  }
  return std::stoull(status.substr(at + name.size() + 3, 16), nullptr, 16);
}

std::uint64_t signalBit(int signal) {
  return std::uint64_t{1} << (signal - 1);
}

// --- Signal settings of the launched command -----------------------------------------------------

struct SignalCase {
  const char* label;
  bool callerIgnoresPipe;
  bool callerBlocksUsr2;
  bool callerBlocksPipe;
};

void PrintTo(const SignalCase& row, std::ostream* out) {
  *out << row.label;
}

class LaunchedSignals : public testing::TestWithParam<SignalCase> {};

void takeCallerSettings(const SignalCase& row) {
  signal(SIGPIPE, row.callerIgnoresPipe ? SIG_IGN : SIG_DFL);
  sigset_t mask;
  sigemptyset(&mask);
  if (row.callerBlocksUsr2) {
    sigaddset(&mask, SIGUSR2);
  }
  if (row.callerBlocksPipe) {
    sigaddset(&mask, SIGPIPE);
  }
  sigprocmask(SIG_SETMASK, &mask, nullptr);
}

void expectTheCallersSettings(const SignalCase& row, const std::string& status) {
  ASSERT_NE(("\n" + status).find("\nName:\tcat\n"), std::string::npos) << status;
  EXPECT_EQ((statusMask(status, "SigIgn") & signalBit(SIGPIPE)) != 0, row.callerIgnoresPipe);
  EXPECT_EQ(statusMask(status, "SigBlk"), (row.callerBlocksUsr2 ? signalBit(SIGUSR2) : 0) |
                                              (row.callerBlocksPipe ? signalBit(SIGPIPE) : 0));
}

// The command sees exactly the caller's settings, not what this program did for its own output.
TEST_P(LaunchedSignals, AreTheCallersOwn) {
  const SignalCase& row = GetParam();
  ProgramOutput run =
      runVellicor({"/e", "cat", "/proc/self/status"}, [&] { takeCallerSettings(row); });
  ASSERT_TRUE(run.exitedWith(0)) << run.output;
  expectTheCallersSettings(row, run.output);
}

// The same once the output has blocked SIGPIPE for a write, lost it to a reader that went away
// and taken the write's SIGPIPE back: a command launched after that still gets the caller's
// settings.
TEST_P(LaunchedSignals, AreTheCallersOwnAfterOutputWasLost) {
  const SignalCase& row = GetParam();
  int capture[2];
  ASSERT_EQ(pipe2(capture, O_CLOEXEC), 0);
  ChildProcess child = ChildProcess::run([&] {
    takeCallerSettings(row);
    int gone[2];
    if (pipe2(gone, O_CLOEXEC) != 0) {
      _exit(2);
    }
    close(gone[0]);
    {
      StdoutOutput output(gone[1]);
      output.writeText(L"a line nobody reads\n");
      output.flush();
      if (!output.stopped()) {
        _exit(3);
      }
    }
    dup2(capture[1], STDOUT_FILENO);
    SuspendedLaunch launch;
    if (!launch.start(L"cat /proc/self/status")) {
      _exit(4);
    }
    const pid_t command = launch.processId();
    launch.resume();
    waitpid(command, nullptr, 0);
    _exit(0);
  });
  ASSERT_TRUE(child.started());
  close(capture[1]);
  std::string status;
  char chunk[4096];
  ssize_t got;
  while ((got = read(capture[0], chunk, sizeof chunk)) > 0) {
    status.append(chunk, static_cast<std::size_t>(got));
  }
  close(capture[0]);
  const int exit = child.wait();
  ASSERT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
  expectTheCallersSettings(row, status);
}

INSTANTIATE_TEST_SUITE_P(Callers, LaunchedSignals,
                         testing::Values(SignalCase{"Defaults", false, false, false},
                                         SignalCase{"PipeIgnored", true, false, false},
                                         SignalCase{"Usr2Blocked", false, true, false},
                                         SignalCase{"PipeIgnoredAndUsr2Blocked", true, true, false},
                                         SignalCase{"PipeBlocked", false, false, true},
                                         SignalCase{"PipeIgnoredAndBlocked", true, false, true}),
                         [](const testing::TestParamInfo<SignalCase>& info) {
                           return std::string(info.param.label);
                         });

// --- Launch mode touches nothing but the launched command --------------------------------------

// `ls -l` reads as /l. Run in a process-identifier namespace of its own with its own /proc, so
// that even a fault could only reach the processes started there.
TEST(LaunchMode, AListOptionAmongTheCommandsWordsChangesNoOtherProcess) {
  const std::uint64_t online = onlineMask();
  if (std::popcount(online) < 2 || threadMask(getpid()) != online) {
    GTEST_SKIP() << "needs two processors and every one of them";
  }
  if (geteuid() != 0) {
    GTEST_SKIP() << "a namespace of its own needs root";
  }
  const std::string script =
      "sleep 1000 & bystander=$!; "
      "\"$0\" /x:1 /e ls -l /dev/null >\"$1\"; echo status $?; "
      // The command runs on after the program has ended: wait for its line.
      "for i in $(seq 1000); do grep -q /dev/null \"$1\" && break; sleep 0.01; done; "
      "grep Cpus_allowed: /proc/$bystander/status /proc/self/status; kill $bystander";
  TemporaryDirectory directory;
  const std::string report = (directory.path() / "vellicor-output").string();
  ProgramOutput run =
      runCapturing("unshare", {"unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "sh",
                               "-c", script, VELLICOR_BINARY, report});
  if (!run.exitedWith(0) && run.output.find("status") == std::string::npos) {
    GTEST_SKIP() << "no process-identifier namespace could be made here";
  }
  EXPECT_NE(run.output.find("status 0\n"), std::string::npos) << run.output;
  // The bystander and the shell keep every processor.
  std::istringstream lines(run.output);
  std::string line;
  int masks = 0;
  while (std::getline(lines, line)) {
    if (line.find("Cpus_allowed:") != std::string::npos) {
      ++masks;
      EXPECT_EQ(std::stoull(line.substr(line.rfind('\t') + 1), nullptr, 16) & online, online)
          << line;
    }
  }
  EXPECT_EQ(masks, 2);
  // One line only: the command's (ls wrote its own output into the same file after it).
  const std::string output = linux_test::readWholeFile(report);
  EXPECT_EQ(output.rfind("ls, pid:", 0), 0u) << output;
  EXPECT_EQ(output.find(", pid:", output.find(", pid:") + 1), std::string::npos) << output;
  EXPECT_NE(output.find("/dev/null"), std::string::npos) << "the command ran";
}

// --- Commands that cannot start, traced or held before exec ------------------------------------

// The status of a run whose tracing could not be refused.
constexpr int kCannotRefuseTracing = 120;

// Makes ptrace fail with EPERM for this process and what it starts, as a security profile or a
// tracer already attached would: the program then holds its command before exec.
void refuseTracing() {
  // LeakSanitizer stops a sanitized program with ptrace at its end, which the filter refuses.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ptrace, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    _exit(kCannotRefuseTracing);
  }
}

struct StartCase {
  const char* name;
  std::string contents;  // of the program file, made executable
  // What the run says and ends with, traced and held before exec. Where the program only learns
  // on resumption that exec failed, the line about the held process comes first.
  enum class Outcome { Runs, NotFound, LineThenNotFound, EitherNotFound } traced, held;
};

void PrintTo(const StartCase& row, std::ostream* out) {
  *out << row.name;
}

class CommandStart : public testing::TestWithParam<StartCase> {};

// A command that did not start is never reported as started: "Not found: ..." and status 1,
// whether the program traced it or, tracing refused, held it before exec.
TEST_P(CommandStart, IsReportedAsItWent) {
  const StartCase& row = GetParam();
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::filesystem::path program = directory.path() / "vl-program";
  std::ofstream(program, std::ios::binary) << row.contents;
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  const std::string notFound = "Not found: " + program.string();

  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "tracing refused" : "traced");
    const ProgramOutput run =
        runVellicor({"/x:1", "/e", program.string()}, refused ? refuseTracing : nullptr);
    if (run.exitedWith(kCannotRefuseTracing)) {
      GTEST_SKIP() << "no seccomp filter can be set here";
    }
    const bool lineFirst = run.output.starts_with("vl-program, pid:") &&
                           run.output.find('\n') + 1 + notFound.size() == run.output.size() &&
                           run.output.ends_with("\n" + notFound);
    switch (refused ? row.held : row.traced) {
      case StartCase::Outcome::Runs:
        EXPECT_TRUE(run.exitedWith(0)) << run.output;
        EXPECT_TRUE(run.output.starts_with("vl-program, pid:")) << run.output;
        EXPECT_EQ(run.output.find("Not found"), std::string::npos) << run.output;
        break;
      case StartCase::Outcome::NotFound:
        EXPECT_TRUE(run.exitedWith(1));
        EXPECT_EQ(run.output, notFound);
        break;
      case StartCase::Outcome::LineThenNotFound:
        EXPECT_TRUE(run.exitedWith(1));
        EXPECT_TRUE(lineFirst) << run.output;
        break;
      case StartCase::Outcome::EitherNotFound:
        EXPECT_TRUE(run.exitedWith(1));
        EXPECT_TRUE(run.output == notFound || lineFirst) << run.output;
        break;
    }
  }
}

using Outcome = StartCase::Outcome;

INSTANTIATE_TEST_SUITE_P(
    Programs, CommandStart,
    testing::Values(StartCase{"AScript", "#!/bin/sh\nexit 0\n", Outcome::Runs, Outcome::Runs},
                    // Known before any mask is set: the interpreter is not there.
                    StartCase{"AScriptWithoutItsInterpreter", "#!/nonexistent/vl-interpreter\n",
                              Outcome::NotFound, Outcome::NotFound},
                    // Known before when the kernel's extra formats can be asked and hold none, else
                    // only once the exec fails.
                    StartCase{"AFileOfNoFormat", "echo no interpreter line\n", Outcome::NotFound,
                              Outcome::EitherNotFound},
                    // Only exec can tell.
                    StartCase{"ABrokenElfFile",
                              std::string("\x7f"
                                          "ELF") +
                                  std::string(60, '\0'),
                              Outcome::NotFound, Outcome::LineThenNotFound}),
    [](const testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// --- Output that cannot be written ---------------------------------------------------------------

ChildProcess pausedChild(const char* name) {
  return ChildProcess::run([name] {
    prctl(PR_SET_NAME, name);
    pause();
  });
}

TEST(LostOutput, EndsTheRunWithStatusOneAfterTheWorkIsDone) {
  const std::uint64_t online = onlineMask();
  if (std::popcount(online) < 2 || threadMask(getpid()) != online) {
    GTEST_SKIP() << "needs two processors and every one of them";
  }
  ChildProcess child = pausedChild("vellicor-full");
  ASSERT_TRUE(child.started());
  const std::string pid = std::to_string(child.pid());
  while (linux_test::readWholeFile("/proc/" + pid + "/comm") != "vellicor-full\n") {
    usleep(1000);
  }

  EXPECT_TRUE(runVellicor({"/l"}, {}, "/dev/full").exitedWith(1));
  EXPECT_TRUE(runVellicor({"/x:1", "/p", pid}, {}, "/dev/full").exitedWith(1));
  EXPECT_EQ(threadMask(child.pid()), 1u) << "the mask is set all the same";

  TemporaryDirectory directory;
  const std::filesystem::path mark = directory.path() / "ran";
  EXPECT_TRUE(runVellicor({"/x:1", "/e", "touch", mark.string()}, {}, "/dev/full").exitedWith(1));
  // The command runs on by itself once let go; give it time to get there.
  for (int waited = 0; waited < 10'000 && !std::filesystem::exists(mark); ++waited) {
    usleep(1000);
  }
  EXPECT_TRUE(std::filesystem::exists(mark)) << "the launched command was let go";

  // The same runs into a pipe succeed: only the lost output made the difference.
  EXPECT_TRUE(runVellicor({"/x:1", "/p", pid}).exitedWith(0));
}

}  // namespace
}  // namespace vellicor::linux_platform
