#include "ports/linux/process_affinity.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "mount_namespace.h"
#include "ports/linux/cpu_list.h"
#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::ChildProcess;
using linux_test::onlineMask;
using linux_test::threadMask;
using linux_test::threadsOf;

void* pauseForever(void*) {
  pause();
  return nullptr;
}

// A child with `extraThreads` threads besides its main thread, all pausing; with
// `mainThreadEnds` the main thread ends once they run, leaving the process without it.
ChildProcess childWithThreads(int extraThreads, bool mainThreadEnds = false) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    return ChildProcess();
  }
  ChildProcess child = ChildProcess::run([&] {
    for (int i = 0; i < extraThreads; ++i) {
      pthread_t thread;
      pthread_create(&thread, nullptr, pauseForever, nullptr);
    }
    (void)!write(ready[1], "r", 1);
    if (mainThreadEnds) {
      // exit(2) itself ends only the calling thread, without unwinding into the test.
      syscall(SYS_exit, 0);
    }
    pause();
  });
  close(ready[1]);
  char byte;
  while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
  }
  close(ready[0]);
  return child;
}

// Setting a single-threaded process relies on this: the link count of /proc/PID/task is two
// plus the number of threads, so a stat tells a lone main thread from one with company.
class TaskDirectoryLinks : public testing::TestWithParam<int> {};

TEST_P(TaskDirectoryLinks, CountTheThreads) {
  const int extraThreads = GetParam();
  ChildProcess child = childWithThreads(extraThreads);
  ASSERT_TRUE(child.started());
  struct stat tasks {};
  ASSERT_EQ(stat(("/proc/" + std::to_string(child.pid()) + "/task").c_str(), &tasks), 0);
  EXPECT_EQ(tasks.st_nlink, static_cast<nlink_t>(3 + extraThreads));
}

INSTANTIATE_TEST_SUITE_P(Table, TaskDirectoryLinks, testing::Values(0, 1, 8));

class SettingProcesses : public testing::Test {
 protected:
  void SetUp() override {
    if (std::popcount(threadMask(getpid()) & onlineMask()) < 2) {
      GTEST_SKIP() << "needs two processors to move a process between";
    }
    ASSERT_TRUE(proc_.valid());
  }

  // The processor the child is not on yet: the highest online one when it may use them all.
  std::uint64_t otherProcessor() const { return std::bit_floor(onlineMask()); }

  UniqueFd proc_{open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
};

struct ThreadsCase {
  const char* name;
  int extraThreads;
  bool mainThreadEnds;
};

class SettingEveryThread : public SettingProcesses,
                           public testing::WithParamInterface<ThreadsCase> {};

TEST_P(SettingEveryThread, LeavesNoLiveThreadWithTheOldMask) {
  const ThreadsCase& test = GetParam();
  ChildProcess child = childWithThreads(test.extraThreads, test.mainThreadEnds);
  ASSERT_TRUE(child.started());
  const std::uint64_t wanted = otherProcessor();
  ProcessAffinity affinity(proc_.get());
  EXPECT_TRUE(affinity.setProcessMask(child.pid(), wanted));
  std::vector<pid_t> threads = threadsOf(child.pid());
  ASSERT_GE(threads.size(), static_cast<std::size_t>(test.extraThreads));
  for (pid_t thread : threads) {
    if (test.mainThreadEnds && thread == child.pid()) {
      continue;  // a thread that has ended keeps whatever it had
    }
    EXPECT_EQ(threadMask(thread), wanted) << "thread " << thread;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SettingEveryThread,
                         testing::Values(ThreadsCase{"main_thread_alone", 0, false},
                                         ThreadsCase{"main_thread_and_one", 1, false},
                                         ThreadsCase{"main_thread_and_eight", 8, false},
                                         ThreadsCase{"main_thread_ended", 3, true}),
                         [](const testing::TestParamInfo<ThreadsCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(SettingProcesses, AProcessThatHasEndedIsNotSet) {
  ChildProcess child = childWithThreads(0);
  ASSERT_TRUE(child.started());
  const pid_t pid = child.pid();
  child.stop();
  ProcessAffinity affinity(proc_.get());
  EXPECT_FALSE(affinity.setProcessMask(pid, otherProcessor()));
}

// What a child found for the cpuset hierarchy behind a long mount table; set-up failures last.
enum HierarchyResult {
  kFound = 0,
  kNotFound,
  kOtherHierarchy,
  kNotFarEnough,
  kCannotMount = 100,
};

// On a machine with many mounts the line of the cpuset hierarchy lies pages into
// /proc/self/mountinfo, which the kernel hands out a page of records per read. In a mount table
// of its own, a child puts a few hundred mounts before the only cgroup hierarchy and looks for it
// the way each run does.
TEST(CpusetHierarchyLookup, FindsTheHierarchyPagesIntoTheMountTable) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to mount";
  }
  linux_test::TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::filesystem::path stack = directory.path() / "stack";
  const std::filesystem::path cgroups = directory.path() / "cgroup";
  ASSERT_TRUE(std::filesystem::create_directory(stack));
  ASSERT_TRUE(std::filesystem::create_directory(cgroups));
  // The machine's own v1 cpuset hierarchy is mounted once more, else the unified one: never a new
  // v1 hierarchy, which would take the cpuset controller from the machine's cgroups meanwhile.
  bool unified = false;
  std::string mountPoint;
  std::string mountRoot;
  const bool version1 =
      findCpusetMount(linux_test::readMountTable(), unified, mountPoint, mountRoot) && !unified;

  ChildProcess child = ChildProcess::run([&] {
    if (!linux_test::enterPrivateMountNamespace() || !linux_test::detachCgroupMounts() ||
        !linux_test::stackMounts(stack, 256)) {
      _exit(kCannotMount);
    }
    const int mounted = version1 ? mount("cgroup", cgroups.c_str(), "cgroup", 0, "cpuset")
                                 : mount("cgroup2", cgroups.c_str(), "cgroup2", 0, nullptr);
    if (mounted != 0) {
      _exit(kCannotMount);
    }
    const std::size_t line =
        linux_test::mountLineOffset(linux_test::readMountTable(), cgroups.string());
    if (line == std::string::npos || line <= linux_test::kMountTableShortReadDepth) {
      _exit(kNotFarEnough);
    }
    const UniqueFd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const CpusetHierarchy found = readCpusetHierarchy(proc.get());
    if (!found.found) {
      _exit(kNotFound);
    }
    _exit(found.mountPoint == cgroups.string() && found.unified == !version1 &&
                  found.mountRoot == "/"
              ? kFound
              : kOtherHierarchy);
  });
  ASSERT_TRUE(child.started());
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotMount) {
    GTEST_SKIP() << "the kernel refuses a mount namespace, tmpfs or cgroup mounts here";
  }
  EXPECT_EQ(WEXITSTATUS(status), kFound)
      << "1: not found; 2: another hierarchy found; 3: the test's mount table too short";
}

}  // namespace
}  // namespace vellicor::linux_platform
