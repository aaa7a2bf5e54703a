// A /proc that is not this process's own: the program must not act through it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "child_process.h"
#include "ports/linux/process_table.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::ChildProcess;
using linux_test::ProgramOutput;
using linux_test::runCapturing;

TEST(OwnProc, ThisProcesssProcIsItsOwnAndAnotherDirectoryIsNot) {
  EXPECT_TRUE(openOwnProc().valid());
  EXPECT_FALSE(openOwnProc("/proc/self/task").valid()) << "no \"self\" entry";
  EXPECT_FALSE(openOwnProc("/nonexistent-proc").valid());
}

struct ForeignProcCase {
  const char* name;
  // Run by `unshare` with the program as $1, the target's name as $2 and a scratch directory as
  // $3; exits with 100 when the namespace cannot be made.
  std::vector<std::string> unshare;
  const char* script;
};

void PrintTo(const ForeignProcCase& row, std::ostream* out) {
  *out << row.name;
}

// What the program does inside the namespace: a change by name, then the topology report.
constexpr const char* kRuns =
    "\"$1\" /x:1 \"$2\"; echo \"status $?\"; \"$1\" /c; echo \"status $?\"";

class ForeignProc : public testing::TestWithParam<ForeignProcCase> {};

// A process of the test's own, found by name through a /proc whose numbers are another
// namespace's: nothing may be changed through those numbers, and the table is reported as
// unavailable. The topology comes from sysfs and is still reported.
TEST_P(ForeignProc, IsNoProcessTable) {
  const ForeignProcCase& row = GetParam();
  if (geteuid() != 0) {
    GTEST_SKIP() << "namespaces of the test's own need root";
  }
  const std::uint64_t before = linux_test::threadMask(getpid());
  const std::string name = "vlfp" + std::to_string(getpid());
  ChildProcess child = ChildProcess::run([&] {
    prctl(PR_SET_NAME, name.c_str());
    pause();
  });
  ASSERT_TRUE(child.started());
  while (linux_test::readWholeFile("/proc/" + std::to_string(child.pid()) + "/comm") !=
         name + "\n") {
    usleep(1000);
  }
  linux_test::TemporaryDirectory directory;
  const std::filesystem::path mountPoint = directory.path() / "host-proc";
  ASSERT_TRUE(std::filesystem::create_directory(mountPoint));

  std::vector<std::string> arguments{"unshare"};
  arguments.insert(arguments.end(), row.unshare.begin(), row.unshare.end());
  arguments.insert(arguments.end(),
                   {"sh", "-c", row.script, "sh", VELLICOR_BINARY, name, mountPoint.string()});
  const ProgramOutput run = runCapturing("unshare", arguments);
  if (run.exitedWith(100) || run.output.find("status") == std::string::npos) {
    GTEST_SKIP() << "no namespace could be made here: " << run.output;
  }
  const ProgramOutput report = runCapturing(VELLICOR_BINARY, {VELLICOR_BINARY, "/c"});
  ASSERT_TRUE(report.exitedWith(1));
  EXPECT_EQ(run.output, "Fail WTSEnumerateProcesses!\nstatus 0\n" + report.output + "status 1\n");
  EXPECT_EQ(linux_test::threadMask(child.pid()), before) << "the process was changed";
}

INSTANTIATE_TEST_SUITE_P(
    Namespaces, ForeignProc,
    testing::Values(
        // The /proc of the parent namespace stays mounted.
        ForeignProcCase{"PidNamespaceWithoutItsOwnProc", {"--pid", "--fork"}, kRuns},
        // A container's own /proc, covered by the host's.
        ForeignProcCase{"HostProcBindMountedOverTheNamespacesOwn",
                        {"--mount", "--propagation", "private"},
                        "mount --bind /proc \"$3\" || exit 100; "
                        "exec unshare --pid --fork --mount-proc sh -c "
                        "'mount --bind \"$3\" /proc || exit 100; "
                        "\"$1\" /x:1 \"$2\"; echo \"status $?\"; \"$1\" /c; echo \"status $?\"' "
                        "sh \"$1\" \"$2\" \"$3\""}),
    [](const testing::TestParamInfo<ForeignProcCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace vellicor::linux_platform
