#include "ports/linux/suspended_launch.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ports/linux/command_line.h"
#include "tests/linux/child_process.h"

namespace vellicor::linux_platform {
namespace {

namespace fs = std::filesystem;

using linux_test::TemporaryDirectory;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeProgram(const fs::path& path, const std::string& text, mode_t mode) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

std::string readFd(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// The state letter of /proc/PID/stat: 't' for a traced stop, 'S' for a sleep.
char processState(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

std::string processName(pid_t pid) {
  std::string comm = readFile("/proc/" + std::to_string(pid) + "/comm");
  return comm.empty() ? comm : comm.substr(0, comm.size() - 1);
}

// Waits for the end of a child. One left stopped or waiting must fail a test, not hang it: after
// a generous while it is killed and reported as hung. That bound is no claim about speed.
constexpr int kHung = 3000;

int waitStatus(pid_t pid) {
  for (int round = 0; round < 1500; ++round) {
    int status = 0;
    pid_t got = waitpid(pid, &status, WNOHANG | WUNTRACED);
    if (got == pid && !WIFSTOPPED(status)) {
      return status;
    }
    if (got < 0 && errno != EINTR) {
      return -1;
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -2;
}

// The exit code, or 1000 + the signal that ended the process, or kHung.
int outcome(int status) {
  if (status == -2) {
    return kHung;
  }
  if (status == -1) {
    return -1;
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return 1000 + WTERMSIG(status);
}

int runToEnd(pid_t pid) {
  return outcome(waitStatus(pid));
}

// One CPU this process may use, when it may use more than one; else -1.
int narrowerCpu() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) {
    return -1;
  }
  int highest = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      highest = cpu;
    }
  }
  return highest;
}

bool pinTo(pid_t pid, int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  return sched_setaffinity(pid, sizeof one, &one) == 0;
}

std::wstring shellCommand(const std::string& script) {
  return joinCommandLine({L"sh", L"-c", std::wstring(script.begin(), script.end())});
}

TEST(SuspendedLaunch, HoldsTheProgramUnderItsOwnNameUntilResumed) {
  SuspendedLaunch launch;
  ASSERT_TRUE(launch.start(L"true"));
  pid_t pid = launch.processId();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(processName(pid), "true");
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe"),
            fs::canonical("/usr/bin/true"));
  EXPECT_EQ(processState(pid), 't');
  launch.resume();
  EXPECT_EQ(runToEnd(pid), 0);
}

TEST(SuspendedLaunch, RunsToCompletionWithItsOwnExitStatus) {
  SuspendedLaunch launch;
  ASSERT_TRUE(launch.start(shellCommand("exit 7")));
  launch.resume();
  EXPECT_EQ(runToEnd(launch.processId()), 7);
}

TEST(SuspendedLaunch, DestructorResumesAProgramNobodyResumed) {
  pid_t pid = -1;
  {
    SuspendedLaunch launch;
    ASSERT_TRUE(launch.start(shellCommand("exit 3")));
    pid = launch.processId();
  }
  EXPECT_EQ(runToEnd(pid), 3);
}

TEST(SuspendedLaunch, StartingAgainReleasesThePreviousProgram) {
  SuspendedLaunch launch;
  ASSERT_TRUE(launch.start(shellCommand("exit 4")));
  pid_t first = launch.processId();
  ASSERT_TRUE(launch.start(shellCommand("exit 5")));
  EXPECT_EQ(runToEnd(first), 4);
  launch.resume();
  EXPECT_EQ(runToEnd(launch.processId()), 5);
}

TEST(SuspendedLaunch, TheProgramSeesTheAffinitySetBeforeResumeFirstThing) {
  int cpu = narrowerCpu();
  if (cpu < 0) {
    GTEST_SKIP() << "this process may use a single CPU only";
  }
  TemporaryDirectory dir;
  fs::path report = dir.path() / "report";
  SuspendedLaunch launch;
  ASSERT_TRUE(launch.start(
      shellCommand("grep Cpus_allowed_list /proc/self/status > '" + report.string() + "'")));
  ASSERT_TRUE(pinTo(launch.processId(), cpu));
  launch.resume();
  ASSERT_EQ(runToEnd(launch.processId()), 0);
  EXPECT_EQ(readFile(report), "Cpus_allowed_list:\t" + std::to_string(cpu) + "\n");
}

TEST(SuspendedLaunch, ArgumentsArriveAsTheWordsOfTheCommand) {
  TemporaryDirectory dir;
  fs::path report = dir.path() / "report";
  std::wstring script = L"printf '%s\\n' \"$@\" > '" + report.wstring() + L"'";
  SuspendedLaunch launch;
  ASSERT_TRUE(launch.start(joinCommandLine(
      {L"sh", L"-c", script, L"sh", L"a b", L"c\"d", L"", L"grüße \U0001F600", L"back\\slash\\"})));
  launch.resume();
  ASSERT_EQ(runToEnd(launch.processId()), 0);
  EXPECT_EQ(readFile(report), "a b\nc\"d\n\ngrüße \xF0\x9F\x98\x80\nback\\slash\\\n");
}

struct FailureCase {
  const wchar_t* command;
  int error;
};

TEST(SuspendedLaunch, AProgramThatCannotBeStartedFails) {
  std::vector<FailureCase> cases = {
      {L"vellicor-no-such-program --help", ENOENT},
      {L"/no/such/dir/program", ENOENT},
      {L"/etc/passwd", EACCES},  // not executable
      {L"/tmp", EACCES},         // a directory
      {L"", ENOENT},
      {L"   ", ENOENT},
  };
  for (const FailureCase& c : cases) {
    SuspendedLaunch launch;
    EXPECT_FALSE(launch.start(c.command)) << testing::PrintToString(c.command);
    EXPECT_EQ(launch.error(), c.error) << testing::PrintToString(c.command);
    EXPECT_EQ(launch.processId(), -1);
  }
}

std::string childrenOfThisThread() {
  return readFile("/proc/self/task/" + std::to_string(gettid()) + "/children");
}

TEST(SuspendedLaunch, AFailedExecIsReportedAndLeavesNoChildBehind) {
  TemporaryDirectory dir;
  fs::path notAProgram = dir.path() / "not-a-program";
  writeProgram(notAProgram, "neither a script nor an executable\n", 0755);
  std::string before = childrenOfThisThread();
  SuspendedLaunch launch;
  EXPECT_FALSE(launch.start(notAProgram.wstring()));
  EXPECT_EQ(launch.error(), ENOEXEC);
  EXPECT_EQ(launch.processId(), -1);
  EXPECT_EQ(childrenOfThisThread(), before);
}

// Sets an environment variable and the working directory for one test.
class Surroundings {
 public:
  Surroundings() : directory_(fs::current_path()) {
    const char* path = getenv("PATH");
    hadPath_ = path != nullptr;
    path_ = hadPath_ ? path : "";
  }
  ~Surroundings() {
    fs::current_path(directory_);
    if (hadPath_) {
      setenv("PATH", path_.c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

 private:
  fs::path directory_;
  bool hadPath_ = false;
  std::string path_;
};

struct SearchCase {
  std::string path;
  const wchar_t* program;
  int result;  // exit status of the program found, or -errno when none is
  const char* name = "";
};

TEST(SuspendedLaunch, FindsTheProgramAsExecvpWould) {
  TemporaryDirectory dir;
  fs::create_directory(dir.path() / "a");
  fs::create_directory(dir.path() / "b");
  fs::create_directory(dir.path() / "here");
  writeProgram(dir.path() / "a" / "prog", "#!/bin/sh\nexit 1\n", 0644);
  writeProgram(dir.path() / "b" / "prog", "#!/bin/sh\nexit 3\n", 0755);
  writeProgram(dir.path() / "here" / "local", "#!/bin/sh\nexit 4\n", 0755);
  std::string a = (dir.path() / "a").string();
  std::string b = (dir.path() / "b").string();
  std::vector<SearchCase> cases = {
      {a + ":" + b, L"prog", 3, "prog"},         // a file that cannot run is passed over
      {b + ":" + a, L"prog", 3, "prog"},         // the first that can run wins
      {a, L"prog", -EACCES},                     // found, but nothing that can run
      {"/usr/bin::" + a, L"local", 4, "local"},  // an empty element is the current directory
      {"/usr/bin:" + a + ":", L"local", 4, "local"},
      {"/usr/bin", L"local", -ENOENT},       // the current directory only when asked for
      {"/usr/bin", L"./local", 4, "local"},  // a slash: no search at all
      {b, L"prog extra words", 3, "prog"},
  };
  Surroundings restore;
  fs::current_path(dir.path() / "here");
  for (const SearchCase& c : cases) {
    setenv("PATH", c.path.c_str(), 1);
    SuspendedLaunch launch;
    bool started = launch.start(c.program);
    if (c.result < 0) {
      EXPECT_FALSE(started) << c.path;
      EXPECT_EQ(-launch.error(), c.result) << c.path;
      continue;
    }
    ASSERT_TRUE(started) << c.path;
    EXPECT_EQ(processName(launch.processId()), c.name) << c.path;
    launch.resume();
    EXPECT_EQ(runToEnd(launch.processId()), c.result) << c.path;
  }
}

TEST(SuspendedLaunch, WithoutPathTheDefaultDirectoriesAreSearched) {
  Surroundings restore;
  unsetenv("PATH");
  SuspendedLaunch launch;
  ASSERT_TRUE(launch.start(L"true"));
  launch.resume();
  EXPECT_EQ(runToEnd(launch.processId()), 0);
}

// Our own signal settings (SIGPIPE ignored for the output, a blocked signal) stay ours; a signal
// our caller had ignored, as nohup does, stays ignored for the command as well.
// Whatever the state is when the launch is made, the program gets it unchanged: what the caller
// of Vellicor set (nohup, a shell's trap '' PIPE) is meant for the command as well.
TEST(SuspendedLaunch, TheProgramStartsWithTheSignalStateItWasLaunchedWith) {
  TemporaryDirectory dir;
  fs::path report = dir.path() / "report";
  sigset_t block, before;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &block, &before), 0);
  auto oldPipe = signal(SIGPIPE, SIG_IGN);
  auto oldHangup = signal(SIGHUP, SIG_IGN);

  SuspendedLaunch launch;
  bool started = launch.start(
      shellCommand("exec grep -E '^Sig(Blk|Ign):' /proc/self/status > '" + report.string() + "'"));
  sigprocmask(SIG_SETMASK, &before, nullptr);
  signal(SIGPIPE, oldPipe);
  signal(SIGHUP, oldHangup);
  ASSERT_TRUE(started);
  launch.resume();
  ASSERT_EQ(runToEnd(launch.processId()), 0);

  unsigned long long blocked = ~0ull, ignored = 0;
  std::istringstream lines(readFile(report));
  std::string key, value;
  while (lines >> key >> value) {
    (key == "SigBlk:" ? blocked : ignored) = std::stoull(value, nullptr, 16);
  }
  EXPECT_EQ(blocked, 1ull << (SIGUSR1 - 1));
  EXPECT_NE(ignored & (1ull << (SIGPIPE - 1)), 0u);
  EXPECT_NE(ignored & (1ull << (SIGHUP - 1)), 0u);
}

std::set<std::string> descriptors(const std::string& directory) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST(SuspendedLaunch, TheProgramInheritsNoDescriptorOfOurs) {
  SuspendedLaunch launch;
  ASSERT_TRUE(launch.start(L"true"));
  std::set<std::string> theirs = descriptors("/proc/" + std::to_string(launch.processId()) + "/fd");
  std::set<std::string> inheritable;
  for (const std::string& name : descriptors("/proc/self/fd")) {
    int flags = fcntl(std::stoi(name), F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
      inheritable.insert(name);
    }
  }
  EXPECT_EQ(theirs, inheritable);
  launch.resume();
  EXPECT_EQ(runToEnd(launch.processId()), 0);
}

bool isRoot() {
  return geteuid() == 0;
}

// Orphans of the processes these tests fork come back to this process, so that their end can be
// seen and reaped.
class LauncherDeath : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
  void TearDown() override { prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

enum class Caller {
  kRoot,
  kUser,
  // The kernel marks a process that changed its identity undumpable, and an ordinary user may not
  // trace the children of such a process: it stands for any caller that tracing is refused to.
  kUntraceableUser,
};

bool becomeCaller(Caller caller) {
  if (caller == Caller::kRoot) {
    return true;
  }
  bool changed = setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                 setresuid(65534, 65534, 65534) == 0;
  return changed && (caller == Caller::kUntraceableUser || prctl(PR_SET_DUMPABLE, 1) == 0);
}

struct Launcher {
  pid_t launcher = -1;
  pid_t child = -1;
};

// Forks a process that starts `command` suspended, tells us the new process's identifier and then
// does `next` with the launch before it ends. Its standard output is `output` when given.
Launcher forkLauncher(const std::wstring& command, Caller caller, int output,
                      const std::function<void(SuspendedLaunch&)>& next) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return {};
  }
  Launcher launcher;
  launcher.launcher = fork();
  if (launcher.launcher == 0) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      signal(sig, SIG_DFL);
    }
    if (output >= 0) {
      dup2(output, STDOUT_FILENO);
    }
    if (!becomeCaller(caller)) {
      _exit(90);
    }
    {
      SuspendedLaunch launch;
      if (!launch.start(command)) {
        _exit(91);
      }
      pid_t pid = launch.processId();
      if (write(ends[1], &pid, sizeof pid) != sizeof pid) {
        _exit(92);
      }
      next(launch);
    }
    _exit(0);
  }
  close(ends[1]);
  if (read(ends[0], &launcher.child, sizeof launcher.child) != sizeof launcher.child) {
    launcher.child = -1;
  }
  close(ends[0]);
  return launcher;
}

void waitForever(SuspendedLaunch&) {
  for (;;) {
    pause();
  }
}

bool runsTheShell(pid_t pid) {
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe") == fs::canonical("/bin/sh");
}

TEST_F(LauncherDeath, AHeldProgramRunsOnWhenItsLauncherIsKilledOrInterrupted) {
  for (Caller caller : {Caller::kRoot, Caller::kUser, Caller::kUntraceableUser}) {
    for (int sig : {SIGKILL, SIGTERM, SIGINT, SIGHUP}) {
      if (caller != Caller::kRoot && !isRoot()) {
        continue;
      }
      SCOPED_TRACE(std::string(strsignal(sig)) + ", caller " +
                   std::to_string(static_cast<int>(caller)));
      Launcher launcher = forkLauncher(shellCommand("exit 5"), caller, -1, waitForever);
      ASSERT_GT(launcher.launcher, 0);
      ASSERT_GT(launcher.child, 0) << "launcher: " << runToEnd(launcher.launcher);
      if (caller == Caller::kUntraceableUser) {
        EXPECT_FALSE(runsTheShell(launcher.child));  // held before exec
      } else {
        EXPECT_TRUE(runsTheShell(launcher.child));  // held after exec
        EXPECT_EQ(processState(launcher.child), 't');
      }
      kill(launcher.launcher, sig);
      EXPECT_EQ(runToEnd(launcher.launcher), 1000 + sig);
      EXPECT_EQ(runToEnd(launcher.child), 5);
    }
  }
}

// A root-owned set-user-ID copy of grep, which shows the identities it runs under and its
// affinity.
struct SetIdProgram {
  TemporaryDirectory dir;
  fs::path path = dir.path() / "vellicor-grep";

  SetIdProgram() {
    chmod(dir.path().c_str(), 0755);  // reachable by the unprivileged caller
    fs::copy_file("/usr/bin/grep", path);
    chmod(path.c_str(), 04755);
  }
  std::wstring command() const {
    return joinCommandLine(
        {path.wstring(), L"-E", L"^(Uid|Cpus_allowed_list):", L"/proc/self/status"});
  }
};

TEST(SuspendedLaunch, ASetIdProgramKeepsItsPrivilegesAndTheAffinityForAnUnprivilegedCaller) {
  if (!isRoot()) {
    GTEST_SKIP() << "needs root to make a set-user-ID program";
  }
  int cpu = narrowerCpu();
  if (cpu < 0) {
    GTEST_SKIP() << "this process may use a single CPU only";
  }
  SetIdProgram program;
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  Launcher launcher =
      forkLauncher(program.command(), Caller::kUser, output[1], [&](SuspendedLaunch& launch) {
        // Held before exec, since a tracer would cost the program its privileges, but already
        // under the program's name.
        pid_t pid = launch.processId();
        bool held = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe") != program.path &&
                    processName(pid) == "vellicor-grep";
        bool pinned = pinTo(pid, cpu);
        launch.resume();
        _exit(!held ? 93 : !pinned ? 94 : runToEnd(pid));
      });
  close(output[1]);
  ASSERT_GT(launcher.child, 0) << "launcher: " << runToEnd(launcher.launcher);
  EXPECT_EQ(runToEnd(launcher.launcher), 0);
  std::string shown = readFd(output[0]);
  close(output[0]);
  EXPECT_NE(shown.find("Uid:\t65534\t0\t0\t0\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Cpus_allowed_list:\t" + std::to_string(cpu) + "\n"), std::string::npos)
      << shown;
}

}  // namespace
}  // namespace vellicor::linux_platform
