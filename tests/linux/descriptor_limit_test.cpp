// Few file descriptors: under any limit the program does all its work or says it could not. It
// never leaves a process or a NUMA node out in silence.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "ports/linux/linux_files.h"
#include "ports/linux/process_table.h"
#include "ports/linux/sysfs_topology.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::ChildProcess;
using linux_test::ProgramOutput;

// The lowest descriptor number that is free here, and so the first a child opens.
int lowestFreeDescriptor() {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(fd);
  return fd;
}

bool limitDescriptors(rlim_t count) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min(count, limit.rlim_max);
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// How a run under a descriptor limit went.
enum Outcome { kComplete = 0, kToldItCouldNot = 1, kSilentLoss = 2, kCannotLimit = 3 };

// Runs `attempt` in a child once for every limit from the lowest free descriptor to `room`
// descriptors above it. The child ends at the first silent loss with the number of free
// descriptors it had plus 10, else with whether the last runs (with the most room) completed.
int sweepLimits(int room, const std::function<Outcome()>& attempt) {
  const int lowest = lowestFreeDescriptor();
  ChildProcess child = ChildProcess::run([&] {
    Outcome last = kComplete;
    for (int free = 0; free <= room; ++free) {
      if (!limitDescriptors(static_cast<rlim_t>(lowest + free))) {
        _exit(kCannotLimit);
      }
      last = attempt();
      if (last == kSilentLoss) {
        _exit(10 + free);
      }
    }
    _exit(last);
  });
  const int status = child.wait();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string describe(int status) {
  return status >= 10
             ? "something was left out with " + std::to_string(status - 10) + " free descriptors"
             : "status " + std::to_string(status);
}

// --- The topology of a captured sysfs tree
// --------------------------------------------------------

class TopologyUnderALimit : public testing::TestWithParam<const char*> {};

TEST_P(TopologyUnderALimit, IsWholeOrAFailure) {
  const std::string root = std::string(VELLICOR_SYSFS_TESTDATA) + "/" + GetParam();
  std::vector<TopologyRecord> expected;
  ASSERT_TRUE(readSysfsTopology(root, expected));
  auto same = [&](const std::vector<TopologyRecord>& records) {
    return std::equal(expected.begin(), expected.end(), records.begin(), records.end(),
                      [](const TopologyRecord& a, const TopologyRecord& b) {
                        return a.ProcessorMask == b.ProcessorMask &&
                               a.Relationship == b.Relationship;
                      });
  };
  const int status = sweepLimits(80, [&] {
    std::vector<TopologyRecord> records;
    if (!readSysfsTopology(root, records)) {
      return kToldItCouldNot;
    }
    return same(records) ? kComplete : kSilentLoss;
  });
  EXPECT_EQ(status, kComplete) << describe(status);
}

// Trees with many processors and NUMA nodes, whose scan fills the batch of descriptors before the
// nodes are read.
INSTANTIATE_TEST_SUITE_P(Trees, TopologyUnderALimit,
                         testing::Values("16amd64-8n2c-cpusets", "64amd64-4s2n4ca2co",
                                         "128arm-2pa2n8cluster4co"));

// --- Processes of the test's own
// ------------------------------------------------------------------

constexpr int kChildren = 100;

// Whether `table` holds every process of `pids`. A free function: the undefined-behaviour
// sanitizer checks a member call through a pipe, which a child at its descriptor limit cannot
// make.
bool holdsEvery(const std::vector<std::uint32_t>& pids, const std::vector<ProcessEntry>& table) {
  std::set<std::uint32_t> listed;
  for (const ProcessEntry& entry : table) {
    listed.insert(entry.ProcessId);
  }
  return std::all_of(pids.begin(), pids.end(),
                     [&](std::uint32_t pid) { return listed.contains(pid); });
}

// The sanitizers' runtime is a shared library, which the loader must open before the program
// runs: a sanitized program needs a few descriptors more to start at all.
#if defined(__SANITIZE_ADDRESS__)
constexpr rlim_t kFewestToStart = 6;
#else
constexpr rlim_t kFewestToStart = 3;
#endif

class FewDescriptors : public testing::Test {
 protected:
  void SetUp() override {
    // Fifteen bytes: the kernel's whole name, which the table tries to complete from the
    // command line.
    name_ = "vlfd-" + std::to_string(getpid());
    name_.resize(15, 'x');
    for (int i = 0; i < kChildren; ++i) {
      const std::string name = name_;
      children_.push_back(std::make_unique<ChildProcess>(ChildProcess::run([name] {
        prctl(PR_SET_NAME, name.c_str());
        pause();
      })));
      ASSERT_TRUE(children_.back()->started());
      pids_.push_back(static_cast<std::uint32_t>(children_.back()->pid()));
    }
    for (pid_t pid : pids()) {
      while (linux_test::readWholeFile("/proc/" + std::to_string(pid) + "/comm") != name_ + "\n") {
        usleep(1000);
      }
    }
  }

  std::vector<pid_t> pids() const { return {pids_.begin(), pids_.end()}; }

  std::string name_;
  std::vector<std::unique_ptr<ChildProcess>> children_;
  std::vector<std::uint32_t> pids_;
};

TEST_F(FewDescriptors, TheTableHoldsEveryProcessOrIsNotHad) {
  const UniqueFd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(proc.valid());
  // Copied: the child touches no member of the fixture (see holdsEvery).
  const std::vector<std::uint32_t> pids = pids_;
  const int status = sweepLimits(80, [&] {
    std::vector<ProcessEntry> table;
    std::vector<ProcessIdentity> identities;
    if (!readProcessTable(proc.get(), table, identities)) {
      return table.empty() ? kToldItCouldNot : kSilentLoss;
    }
    return holdsEvery(pids, table) ? kComplete : kSilentLoss;
  });
  EXPECT_EQ(status, kComplete) << describe(status);
}

TEST_F(FewDescriptors, TheLookupByIdentifierFindsEveryProcessOrFails) {
  const UniqueFd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(proc.valid());
  // Copied: the child touches no member of the fixture (see holdsEvery).
  const std::vector<std::uint32_t> pids = pids_;
  const int status = sweepLimits(80, [&] {
    std::vector<ProcessEntry> table;
    std::vector<ProcessIdentity> identities;
    if (!readProcessesById(proc.get(), pids, table, identities)) {
      return table.empty() ? kToldItCouldNot : kSilentLoss;
    }
    return table.size() == pids.size() && holdsEvery(pids, table) ? kComplete : kSilentLoss;
  });
  EXPECT_EQ(status, kComplete) << describe(status);
}

// The built program: every child gets the mask and is reported, or the run says why not.
TEST_F(FewDescriptors, TheProgramSetsEveryProcessOrSaysItCouldNot) {
  const std::uint64_t online = linux_test::onlineMask();
  if (std::popcount(online) < 2 || linux_test::threadMask(getpid()) != online) {
    GTEST_SKIP() << "needs two processors and every one of them";
  }
  std::vector<std::string> byIdentifier{VELLICOR_BINARY, "/x:1", "/p"};
  for (std::uint32_t pid : pids_) {
    byIdentifier.push_back(std::to_string(pid));
  }
  const std::vector<std::string> byName{VELLICOR_BINARY, "/x:1", name_};
  std::uint64_t mask = 1;
  for (rlim_t limit : {3, 4, 5, 6, 7, 8, 10, 16, 32, 64}) {
    if (limit < kFewestToStart) {
      continue;
    }
    for (std::vector<std::string> arguments : {byIdentifier, byName}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + ", by " +
                   (arguments.size() == 3 ? "name" : "identifier"));
      // Every run asks for the mask the children do not have, so that its work shows.
      mask = mask == 1 ? 2 : 1;
      arguments[1] = "/x:" + std::to_string(mask);
      const ProgramOutput run = linux_test::runCapturing(VELLICOR_BINARY, arguments, [limit] {
        // The program starts with the standard descriptors alone, whatever the test inherited.
        close_range(3, ~0U, 0);
        if (!limitDescriptors(limit)) {
          _exit(kCannotLimit + 100);
        }
      });
      ASSERT_FALSE(run.exitedWith(kCannotLimit + 100));
      // Three descriptors beyond the standard ones hold /proc, the sysfs root and a directory
      // below it while the topology is read; one more holds each file read.
      if (limit < 8 && run.exitedWith(1)) {
        EXPECT_EQ(run.output, "\nError 31\n") << "the topology query's failure";
        continue;
      }
      ASSERT_TRUE(run.exitedWith(0)) << run.output;
      if (limit < 8 && run.output == "Fail WTSEnumerateProcesses!\n") {
        continue;
      }
      std::istringstream lines(run.output);
      std::string line;
      int reported = 0;
      while (std::getline(lines, line)) {
        EXPECT_EQ(line.rfind(name_ + ", pid:", 0), 0u) << line;
        ++reported;
      }
      EXPECT_EQ(reported, kChildren);
      for (pid_t pid : pids()) {
        ASSERT_EQ(linux_test::threadMask(pid), mask) << pid;
      }
    }
  }
}

}  // namespace
}  // namespace vellicor::linux_platform
