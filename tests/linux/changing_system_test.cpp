// The Linux platform and the whole run while the machine changes under them: processes that end
// or hand their identifier to a new process between two steps of a run, a kernel thread that
// refuses, a cpuset, a /proc that hides processes, and a reader that leaves mid-output. None of
// them may end the run abnormally or change a process that was not selected.
//
// Processes started here widen their own mask to every online processor first: the tests may
// run pinned to one processor, and a process on one processor shows no change.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/run.h"
#include "cgroup_cpuset.h"
#include "child_process.h"
#include "common/utf8.h"
#include "ports/linux/cpu_list.h"
#include "ports/linux/linux_platform.h"
#include "ports/simulated/captured_output.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::CgroupCpuset;
using linux_test::ChildProcess;
using linux_test::onlineMask;
using linux_test::threadMask;
using simulated::CapturedOutput;

constexpr uid_t kNobody = 65534;

std::uint64_t lowestCpu(std::uint64_t mask) {
  return mask & (~mask + 1);
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

bool awaitByte(int fd) {
  char byte;
  ssize_t got;
  while ((got = read(fd, &byte, 1)) < 0 && errno == EINTR) {
  }
  return got == 1;
}

// A child named `name` (as prctl sets it) on the processors of `mask`, paused until killed.
ChildProcess namedChild(const std::string& name, std::uint64_t mask) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    return ChildProcess();
  }
  ChildProcess child = ChildProcess::run([&] {
    prctl(PR_SET_NAME, name.c_str());
    if (setOwnMask(mask)) {
      (void)!write(ready[1], "r", 1);
    }
    pause();
  });
  close(ready[1]);
  const bool started = awaitByte(ready[0]);
  close(ready[0]);
  if (!started) {
    child.stop();
  }
  return child;
}

// Starts a child under the identifier `pid`, which must be free. The kernel gives the next
// process ns_last_pid + 1, unless another process of the machine takes it first: then again.
ChildProcess childWithIdentifier(pid_t pid, const std::string& name, std::uint64_t mask) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::ofstream lastPid("/proc/sys/kernel/ns_last_pid");
    lastPid << pid - 1;
    lastPid.close();
    if (!lastPid) {
      break;
    }
    ChildProcess child = namedChild(name, mask);
    if (child.pid() == pid) {
      return child;
    }
  }
  return ChildProcess();
}

// Waits for the start of a tick of the clock that /proc/PID/stat counts start times in, so that
// a few milliseconds of work that follow all fall within that one tick.
void awaitClockTickStart() {
  const long tick = 1'000'000'000L / sysconf(_SC_CLK_TCK);
  timespec now{};
  long lastPhase = tick;
  while (true) {
    clock_gettime(CLOCK_BOOTTIME, &now);
    const long phase = now.tv_nsec % tick;
    if (phase < lastPhase && phase < tick / 10) {
      return;
    }
    lastPhase = phase;
  }
}

// The Linux platform with one moment between two steps of a run at which the test changes the
// machine. Each moment comes once, at the first step that gets that far.
class InterposedPlatform : public Platform {
 public:
  std::function<void()> beforeTable;
  std::function<void()> afterTable;
  std::function<void()> afterOpen;
  std::function<void()> afterMaskRead;

  bool enumerateProcesses(std::vector<ProcessEntry>& table) override {
    fire(beforeTable);
    const bool read = linux_.enumerateProcesses(table);
    fire(afterTable);
    return read;
  }
  OsHandle openProcess(std::uint32_t processId, ProcessAccess access) override {
    const OsHandle handle = linux_.openProcess(processId, access);
    if (handle != kNoHandle) {
      fire(afterOpen);
    }
    return handle;
  }
  bool getProcessAffinityMask(OsHandle process, AffinityMask& processMask,
                              AffinityMask& systemMask) override {
    const bool read = linux_.getProcessAffinityMask(process, processMask, systemMask);
    if (read) {
      fire(afterMaskRead);
    }
    return read;
  }
  bool setProcessAffinityMask(OsHandle process, const AffinityMask& mask) override {
    return linux_.setProcessAffinityMask(process, mask);
  }
  void closeHandle(OsHandle handle) override { linux_.closeHandle(handle); }
  bool hasLogicalProcessorInformation() override { return linux_.hasLogicalProcessorInformation(); }
  bool getLogicalProcessorInformation(std::byte* buffer, std::uint32_t& length) override {
    return linux_.getLogicalProcessorInformation(buffer, length);
  }
  std::uint32_t getLastError() override { return linux_.getLastError(); }
  std::wstring getCommandLine() override { return linux_.getCommandLine(); }
  bool createSuspendedProcess(std::wstring_view command, LaunchedProcess& launched) override {
    return linux_.createSuspendedProcess(command, launched);
  }
  bool resumeThread(OsHandle thread) override { return linux_.resumeThread(thread); }
  bool resumedCommandStarted(OsHandle thread) override {
    return linux_.resumedCommandStarted(thread);
  }

 private:
  static void fire(std::function<void()>& moment) {
    if (moment) {
      std::function<void()> once = std::move(moment);
      moment = nullptr;
      once();
    }
  }

  LinuxPlatform linux_;
};

int runWith(Platform& platform, CapturedOutput& output, std::vector<std::wstring> words) {
  words.insert(words.begin(), L"vellicor");
  return runAffinityRequest(platform, output, words);
}

// A mask as the report lines print it: at least one hexadecimal digit per four processors.
std::wstring hex(std::uint64_t mask) {
  const int width = static_cast<int>(((std::popcount(onlineMask()) - 1) >> 2) + 1);
  char digits[24];
  std::snprintf(digits, sizeof digits, "%0*llx", width, static_cast<unsigned long long>(mask));
  return decodeUtf8(digits);
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

class ChangingSystem : public testing::Test {
 protected:
  void SetUp() override {
    online_ = onlineMask();
    if (std::popcount(online_) < 2) {
      GTEST_SKIP() << "needs two online processors to see a mask change";
    }
    // Every test asks for the lowest processor; bystanders stay on all of them.
    bystander_.emplace(namedChild("vl-bystander", online_));
    ASSERT_TRUE(bystander_->started());
  }
  void TearDown() override {
    if (bystander_ && bystander_->started()) {
      EXPECT_EQ(threadMask(bystander_->pid()), online_) << "a process nobody selected was changed";
    }
  }

  std::uint64_t online_ = 0;
  std::optional<ChildProcess> bystander_;
};

struct EndingCase {
  const char* label;
  std::function<void()> InterposedPlatform::*moment;
  const wchar_t* message;  // after the process's name
};

// Names the row in test listings.
void PrintTo(const EndingCase& row, std::ostream* out) {
  *out << row.label;
}

class EndingProcess : public ChangingSystem, public testing::WithParamInterface<EndingCase> {};

TEST_P(EndingProcess, IsReportedByNameAndNothingElseChanges) {
  const std::string ownName = linux_test::ownName("vl-ending");
  const std::wstring name = decodeUtf8(ownName);
  ChildProcess ending = namedChild(ownName, online_);
  ASSERT_TRUE(ending.started());
  InterposedPlatform platform;
  platform.*GetParam().moment = [&] { ending.stop(); };
  CapturedOutput output;
  EXPECT_EQ(runWith(platform, output, {L"/x:" + hex(lowestCpu(online_)), name}), 0);
  EXPECT_EQ(output.text, name + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, EndingProcess,
    testing::Values(EndingCase{"between the table and the open", &InterposedPlatform::afterTable,
                               L", No access right!\n"},
                    EndingCase{"between the open and the mask read", &InterposedPlatform::afterOpen,
                               L", Fail GetProcessAffinityMask!\n"},
                    EndingCase{"between the mask read and the set",
                               &InterposedPlatform::afterMaskRead,
                               L", Fail SetProcessAffinityMask!\n"}),
    nameFromLabel<EndingCase>);

// Exit code of a scenario that cannot set up its own namespaces here.
constexpr int kCannotIsolate = 100;

// Runs `scenario` as the first process of a new process-identifier namespace with a /proc of its
// own: a table of a few processes, read within a fraction of a clock tick, and identifiers no
// other process of the machine takes. Returns the scenario's result, or -1 when it died.
int runInOwnPidNamespace(const std::function<int()>& scenario) {
  ChildProcess outside = ChildProcess::run([&] {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
      _exit(kCannotIsolate);
    }
    ChildProcess first = ChildProcess::run([&] {
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        _exit(kCannotIsolate);
      }
      _exit(scenario());
    });
    const int status = first.wait();
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
  });
  const int status = outside.wait();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The table names a process; before it is opened, the process ends and a new one, under the same
// name, takes its identifier. The new one was never selected: it must keep its mask. The new
// process starts within the clock tick in which the table was read, where start times in clock
// ticks cannot tell it from a process of the table.
TEST_F(ChangingSystem, AnIdentifierTakenOverByANewProcessLeavesTheNewOneAlone) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to choose the next process identifier";
  }
  const std::uint64_t online = online_;
  const std::wstring request = L"/x:" + hex(lowestCpu(online));
  const int result = runInOwnPidNamespace([&] {
    ChildProcess original = namedChild("vl-reused", online);
    if (!original.started()) {
      return 10;
    }
    const pid_t pid = original.pid();
    std::optional<ChildProcess> successor;
    InterposedPlatform platform;
    platform.beforeTable = awaitClockTickStart;
    platform.afterTable = [&] {
      original.stop();
      successor.emplace(childWithIdentifier(pid, "vl-reused", online));
    };
    CapturedOutput output;
    if (runWith(platform, output, {request, L"vl-reused"}) != 0) {
      return 11;
    }
    if (!successor || !successor->started()) {
      return kCannotIsolate;
    }
    if (threadMask(successor->pid()) != online) {
      return 1;
    }
    return output.text == L"vl-reused, No access right!\n" ? 0 : 2;
  });
  if (result == kCannotIsolate) {
    GTEST_SKIP() << "cannot start processes under chosen identifiers here";
  }
  EXPECT_NE(result, 1) << "the new process was changed";
  EXPECT_EQ(result, 0);
}

// A kernel thread bound to one processor, such as ksoftirqd/0; 0 when none is visible.
pid_t perCpuKernelThread(std::string& name) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string directory = entry.path().string();
    std::string comm = linux_test::readWholeFile(directory + "/comm");
    if (!comm.empty()) {
      comm.pop_back();
    }
    if ((comm.starts_with("ksoftirqd/") || comm.starts_with("migration/")) &&
        linux_test::readWholeFile(directory + "/cmdline").empty() &&
        std::popcount(threadMask(std::stoi(entry.path().filename().string()))) == 1) {
      name = comm;
      return std::stoi(entry.path().filename().string());
    }
  }
  return 0;
}

TEST_F(ChangingSystem, AKernelThreadThatRefusesIsReportedAndKeepsItsMask) {
  std::string name;
  const pid_t thread = perCpuKernelThread(name);
  if (thread == 0) {
    GTEST_SKIP() << "no per-processor kernel thread is visible here";
  }
  const std::uint64_t before = threadMask(thread);
  // A processor other than its own, so the kernel is really asked for a change.
  const std::uint64_t elsewhere = lowestCpu(online_ & ~before);
  InterposedPlatform platform;
  CapturedOutput output;
  EXPECT_EQ(runWith(platform, output, {L"/p", L"/x:" + hex(elsewhere), std::to_wstring(thread)}),
            0);
  EXPECT_EQ(output.text, decodeUtf8(name) + L", Fail SetProcessAffinityMask!\n");
  EXPECT_EQ(threadMask(thread), before);
}

// A cpuset of the highest processor: a request for every processor is narrowed to it, and a
// request for processors outside it only shows the process.
TEST_F(ChangingSystem, ACpusetNarrowsTheRequestToItsProcessors) {
  const std::uint64_t highest = std::bit_floor(online_);
  CgroupCpuset cpuset("vellicor-changing", std::to_string(std::countr_zero(highest)));
  if (!cpuset.created()) {
    GTEST_SKIP() << "no cgroup v1 cpuset hierarchy to confine a process in";
  }
  // Ended (and so out of the cpuset) before the cpuset is removed.
  ChildProcess confined = namedChild("vl-confined", online_);
  ASSERT_TRUE(confined.started());
  ASSERT_TRUE(cpuset.add(confined.pid()));
  ASSERT_EQ(threadMask(confined.pid()), highest);
  const std::wstring pid = std::to_wstring(confined.pid());

  InterposedPlatform platform;
  CapturedOutput output;
  EXPECT_EQ(runWith(platform, output, {L"/p", L"/x:" + hex(online_), pid}), 0);
  EXPECT_EQ(output.text, L"vl-confined, pid:" + pid + L", mask:" + hex(highest) + L" -> " +
                             hex(highest) + L"\n");

  InterposedPlatform again;
  output.text.clear();
  EXPECT_EQ(runWith(again, output, {L"/p", L"/x:" + hex(online_ & ~highest), pid}), 0);
  EXPECT_NE(output.text.find(L"  mask:" + hex(highest) + L", pid:" + pid + L", vl-confined\n"),
            std::wstring::npos)
      << "shown, not set";
  EXPECT_EQ(threadMask(confined.pid()), highest);
}

// A machine busy with processes: every one of them is in the table, not just most. The table is
// read in batches of files, so hundreds of processes cross any batch boundary.
TEST(BusyMachine, EveryProcessIsInTheTable) {
  std::vector<ChildProcess> processes;
  for (int i = 0; i < 300; ++i) {
    processes.push_back(ChildProcess::run([] { pause(); }));
  }
  // A child appears in /proc once fork returns, named after this program until it ends.
  LinuxPlatform platform;
  std::vector<ProcessEntry> table;
  ASSERT_TRUE(platform.enumerateProcesses(table));
  std::vector<pid_t> missing;
  for (const ChildProcess& process : processes) {
    const bool listed = std::any_of(table.begin(), table.end(), [&](const ProcessEntry& entry) {
      return entry.ProcessId == static_cast<std::uint32_t>(process.pid());
    });
    if (!listed) {
      missing.push_back(process.pid());
    }
  }
  EXPECT_EQ(missing, std::vector<pid_t>()) << "live processes missing from the table";
}

struct HiddenCase {
  const char* label;
  const char* option;
};

void PrintTo(const HiddenCase& row, std::ostream* out) {
  *out << row.label;
}

class HiddenProcesses : public testing::TestWithParam<HiddenCase> {};

// In a mount namespace of its own, a child mounts a /proc that hides other users' processes
// (hidepid=1 lists them but their files cannot be read; hidepid=2 does not list them), becomes an
// unprivileged user and runs: what it may not read is simply not in the table.
TEST_P(HiddenProcesses, AreLeftOutOfTheTable) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to mount a private /proc and change user";
  }
  const pid_t rootOwned = getpid();
  const char* option = GetParam().option;
  ChildProcess child = ChildProcess::run([&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, option) != 0) {
      _exit(100);
    }
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      _exit(101);
    }
    LinuxPlatform platform;
    std::vector<ProcessEntry> table;
    if (!platform.enumerateProcesses(table)) {
      _exit(1);
    }
    bool self = false;
    for (const ProcessEntry& entry : table) {
      if (entry.ProcessId == static_cast<std::uint32_t>(rootOwned) || entry.ProcessId == 1) {
        _exit(2);  // another user's process made it into the table
      }
      self = self || entry.ProcessId == static_cast<std::uint32_t>(getpid());
    }
    if (!self) {
      _exit(3);
    }
    // The whole run, listing and naming a hidden process: no line for it, and no failure.
    LinuxPlatform runPlatform;
    CapturedOutput output;
    if (runWith(runPlatform, output, {L"/l"}) != 0 || output.text.empty()) {
      _exit(4);
    }
    output.text.clear();
    if (runWith(runPlatform, output, {L"/p", L"/x:1", std::to_wstring(rootOwned)}) != 0 ||
        !output.text.empty()) {
      _exit(5);
    }
    _exit(0);
  });
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == 100) {
    GTEST_SKIP() << "cannot mount a private /proc here";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Mounts, HiddenProcesses,
                         testing::Values(HiddenCase{"files unreadable", "hidepid=1"},
                                         HiddenCase{"directories invisible", "hidepid=2"}),
                         nameFromLabel<HiddenCase>);

// Reading a mask asks the kernel for no right over the process; setting it does. Run by another
// user, the program lists and shows a process of root's, and a request to change it is refused
// and changes nothing.
TEST_F(ChangingSystem, AnotherUsersProcessIsShownButNotChanged) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to become another user";
  }
  const std::string ownName = linux_test::ownName("vl-others");
  const std::wstring name = decodeUtf8(ownName);
  ChildProcess owned = namedChild(ownName, online_);
  ASSERT_TRUE(owned.started());
  const std::wstring pid = std::to_wstring(owned.pid());
  const std::wstring shown = L"  mask:" + hex(online_) + L", pid:" + pid + L", " + name + L"\n";
  const std::wstring request = L"/x:" + hex(lowestCpu(online_));

  ChildProcess user = ChildProcess::run([&] {
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      _exit(100);
    }
    CapturedOutput output;
    LinuxPlatform listing;
    if (runWith(listing, output, {L"/l"}) != 0 || output.text.find(shown) == std::wstring::npos) {
      _exit(1);
    }
    output.text.clear();
    LinuxPlatform showing;
    if (runWith(showing, output, {L"/p", pid}) != 0 ||
        output.text.find(shown) == std::wstring::npos) {
      _exit(2);
    }
    output.text.clear();
    LinuxPlatform setting;
    if (runWith(setting, output, {L"/p", request, pid}) != 0 ||
        output.text != name + L", No access right!\n") {
      _exit(3);
    }
    _exit(0);
  });
  const int status = user.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  ASSERT_NE(WEXITSTATUS(status), 100) << "could not become another user";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not listed, 2: not shown, 3: not refused";
  EXPECT_EQ(threadMask(owned.pid()), online_);
}

// `vellicor /l | head -1`: the reader takes one line and leaves while the program still has
// lines to write. The pipe is made small and the machine given enough processes that the
// program is still writing when the reader goes.
TEST(ClosedPipe, AReaderThatLeavesAfterOneLineEndsTheOutputNotTheRun) {
  std::vector<ChildProcess> processes;
  for (int i = 0; i < 200; ++i) {
    processes.push_back(ChildProcess::run([] { pause(); }));
  }
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  fcntl(output[1], F_SETPIPE_SZ, 4096);
  const pid_t program = fork();
  if (program == 0) {
    dup2(output[1], STDOUT_FILENO);
    execl(VELLICOR_BINARY, VELLICOR_BINARY, "/l", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(output[1]);
  // The list starts with an empty line; then the first process line.
  int lineFeeds = 0;
  char byte;
  while (lineFeeds < 2 && read(output[0], &byte, 1) == 1) {
    lineFeeds += byte == '\n' ? 1 : 0;
  }
  close(output[0]);
  int status = 0;
  ASSERT_EQ(waitpid(program, &status, 0), program);
  EXPECT_EQ(lineFeeds, 2);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vellicor::linux_platform
