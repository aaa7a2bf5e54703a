// The built program on this machine: what its Linux output does with real processes and
// readers.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cgroup_cpuset.h"
#include "child_process.h"
#include "mount_namespace.h"
#include "ports/linux/cpu_list.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::ChildProcess;

struct ProgramRun {
  int status = -1;
  std::string output;
};

// Runs the program with `arguments`; with `readerGone` its standard output is a pipe that
// nobody reads any more. `prepare` runs in the child before the program: a result other than 0
// becomes the exit status instead.
ProgramRun runProgram(const std::vector<std::string>& arguments, bool readerGone = false,
                      const std::function<int()>& prepare = {}) {
  ProgramRun run;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    return run;
  }
  if (readerGone) {
    close(output[0]);
  }
  pid_t pid = fork();
  if (pid == 0) {
    const int prepared = prepare ? prepare() : 0;
    if (prepared != 0) {
      _exit(prepared);
    }
    dup2(output[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(VELLICOR_BINARY)};
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(VELLICOR_BINARY, argv.data());
    _exit(127);
  }
  close(output[1]);
  if (!readerGone) {
    char chunk[4096];
    ssize_t got;
    while ((got = read(output[0], chunk, sizeof chunk)) > 0) {
      run.output.append(chunk, static_cast<std::size_t>(got));
    }
    close(output[0]);
  }
  waitpid(pid, &run.status, 0);
  return run;
}

ChildProcess namedChild(const char* name) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    return ChildProcess();
  }
  ChildProcess child = ChildProcess::run([&] {
    prctl(PR_SET_NAME, name);
    (void)!write(ready[1], "r", 1);
    pause();
  });
  close(ready[1]);
  char byte;
  (void)!read(ready[0], &byte, 1);
  close(ready[0]);
  return child;
}

TEST(VellicorProgram, AReaderThatIsGoneEndsTheOutputNotTheRun) {
  ProgramRun run = runProgram({"/l"}, true);
  ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
  EXPECT_EQ(WEXITSTATUS(run.status), 0);

  run = runProgram({"/x:1"}, true);  // no target: the usage text, and the run's own status
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 1);
}

TEST(VellicorProgram, ANameThatCouldSteerTheTerminalIsShownHarmless) {
  ChildProcess child = namedChild("\x1b]0;owned\x07\x1b[2J");
  ASSERT_TRUE(child.started());
  ProgramRun run = runProgram({"/p", std::to_string(child.pid())});
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_NE(run.output.find("pid:" + std::to_string(child.pid()) + ", ?]0;owned??[2J\n"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.output.find('\x07'), std::string::npos);
}

TEST(VellicorProgram, SetsARealProcessAndReportsItInOneLine) {
  const std::uint64_t all = linux_test::onlineMask();
  if (std::popcount(all) < 2 || linux_test::threadMask(getpid()) != all) {
    GTEST_SKIP() << "needs two processors and every one of them";
  }
  ChildProcess child = namedChild("Vellicor-\xC3\xA4");
  ASSERT_TRUE(child.started());

  const unsigned width = ((static_cast<unsigned>(std::bit_width(all)) - 1) >> 2) + 1;
  char expected[128];
  std::snprintf(expected, sizeof expected, "Vellicor-\xC3\xA4, pid:%d, mask:%0*llx -> %0*llx\n",
                child.pid(), static_cast<int>(width), static_cast<unsigned long long>(all),
                static_cast<int>(width), 1ULL);
  ProgramRun run = runProgram({"/x:1", "/p", std::to_string(child.pid())});
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(linux_test::threadMask(child.pid()), 1u);
}

struct MountTableCase {
  const char* name;
  std::size_t depth;  // where the cpuset hierarchy's line begins, at least
};

class LongMountTable : public testing::TestWithParam<MountTableCase> {};

// A process confined to one processor by its cpuset, on a machine whose mount table is so long
// (a container host) that the line of the cpuset hierarchy lies pages, or megabytes, into it: a
// request for every processor is narrowed to the cpuset's, and the line says what the process
// really has.
TEST_P(LongMountTable, StillNarrowsTheRequestToTheCpuset) {
  const std::uint64_t all = linux_test::onlineMask();
  if (geteuid() != 0 || std::popcount(all) < 2 || linux_test::threadMask(getpid()) != all) {
    GTEST_SKIP() << "needs root, two processors and every one of them";
  }
  const std::uint64_t highest = std::bit_floor(all);
  linux_test::CgroupCpuset cpuset("vellicor-program", std::to_string(std::countr_zero(highest)));
  if (!cpuset.created()) {
    GTEST_SKIP() << "no cgroup v1 cpuset hierarchy to confine a process in";
  }
  linux_test::TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  // A long mount point makes long lines, so that fewer mounts fill the table.
  const std::filesystem::path stack = directory.path() / ("stack-" + std::string(200, 'm'));
  const std::filesystem::path cgroups = directory.path() / "cpuset";
  ASSERT_TRUE(std::filesystem::create_directory(stack));
  ASSERT_TRUE(std::filesystem::create_directory(cgroups));
  // Ended, and so out of the cpuset, before the cpuset is removed.
  ChildProcess child = namedChild("vl-many-mounts");
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(cpuset.add(child.pid()));
  ASSERT_EQ(linux_test::threadMask(child.pid()), highest);

  constexpr int kCannotMount = 100;
  constexpr int kNotFarEnough = 101;
  const std::size_t depth = GetParam().depth;
  char request[32];
  std::snprintf(request, sizeof request, "/x:%llx", static_cast<unsigned long long>(all));
  ProgramRun run = runProgram({request, "/p", std::to_string(child.pid())}, false, [&] {
    if (!linux_test::enterPrivateMountNamespace() || !linux_test::detachCgroupMounts()) {
      return kCannotMount;
    }
    // The machine's cpuset hierarchy, mounted again after enough other mounts.
    while (linux_test::readMountTable().size() <= depth) {
      if (!linux_test::stackMounts(stack, 256)) {
        return kCannotMount;
      }
    }
    if (mount("cgroup", cgroups.c_str(), "cgroup", 0, "cpuset") != 0) {
      return kCannotMount;
    }
    const std::size_t line =
        linux_test::mountLineOffset(linux_test::readMountTable(), cgroups.string());
    return line != std::string::npos && line > depth ? 0 : kNotFarEnough;
  });
  ASSERT_TRUE(WIFEXITED(run.status));
  if (WEXITSTATUS(run.status) == kCannotMount) {
    GTEST_SKIP() << "the kernel refuses a mount namespace, tmpfs or cgroup mounts here";
  }
  EXPECT_EQ(WEXITSTATUS(run.status), 0) << "101: the test's mount table is too short";

  // As many hexadecimal digits as the highest processor needs.
  const std::size_t width = ((static_cast<std::size_t>(std::bit_width(all)) - 1) >> 2) + 1;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%llx", static_cast<unsigned long long>(highest));
  std::string mask(digits);
  mask.insert(0, width > mask.size() ? width - mask.size() : 0, '0');
  const std::string expected = "vl-many-mounts, pid:" + std::to_string(child.pid()) +
                               ", mask:" + mask + " -> " + mask + "\n";
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(linux_test::threadMask(child.pid()), highest);
}

INSTANTIATE_TEST_SUITE_P(Depths, LongMountTable,
                         testing::Values(
                             // Past what the kernel hands out in one read.
                             MountTableCase{"PagesIntoTheTable",
                                            linux_test::kMountTableShortReadDepth},
                             // Past any bound on the size of a whole file.
                             MountTableCase{"BeyondAMebibyte", std::size_t{1} << 20}),
                         [](const testing::TestParamInfo<MountTableCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vellicor::linux_platform
