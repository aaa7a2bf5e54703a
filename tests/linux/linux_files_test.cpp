#include "platform/linux/linux_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::ChildProcess;
using linux_test::TemporaryDirectory;

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

int openNull() {
  return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

struct BatchCase {
  const char* name;
  int descriptors;
  // Every `foreignEvery`-th descriptor opened stays out of the batch (0: none), so the batch's
  // numbers have gaps that close_range must not close.
  int foreignEvery;
};

class ClosingBatchCloses : public testing::TestWithParam<BatchCase> {};

TEST_P(ClosingBatchCloses, ItsOwnDescriptorsAndNoOther) {
  const BatchCase& test = GetParam();
  std::vector<int> given;
  std::vector<int> foreign;
  {
    ClosingBatch batch;
    for (int i = 1; i <= test.descriptors; ++i) {
      const int fd = openNull();
      ASSERT_GE(fd, 0);
      if (test.foreignEvery != 0 && i % test.foreignEvery == 0) {
        foreign.push_back(fd);
      } else {
        batch.add(fd);
        given.push_back(fd);
      }
    }
  }
  for (int fd : given) {
    // A full batch is closed early, and a later foreign open may take a number back.
    if (std::find(foreign.begin(), foreign.end(), fd) == foreign.end()) {
      EXPECT_FALSE(isOpen(fd)) << "descriptor " << fd << " left open";
    }
  }
  for (int fd : foreign) {
    EXPECT_TRUE(isOpen(fd)) << "descriptor " << fd << " closed by the batch";
    close(fd);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ClosingBatchCloses,
                         testing::Values(BatchCase{"one", 1, 0}, BatchCase{"one_run", 10, 0},
                                         BatchCase{"with_gaps", 20, 3},
                                         BatchCase{"more_than_a_batch", 150, 0},
                                         BatchCase{"more_than_a_batch_with_gaps", 150, 7}),
                         [](const testing::TestParamInfo<BatchCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(ClosingBatch, ClosesWhatItHoldsWhenAskedAndStaysUsable) {
  ClosingBatch batch;
  const int first = openNull();
  batch.add(first);
  batch.closeAll();
  EXPECT_FALSE(isOpen(first));
  const int second = openNull();
  batch.add(second);
  batch.closeAll();
  EXPECT_FALSE(isOpen(second));
}

TEST(ReadFileAtWithBatch, ReadsTheFileAndLeavesTheDescriptorToTheBatch) {
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::string path = (directory.path() / "name").string();
  std::ofstream(path) << "sleep\n";
  const int next = openNull();  // the lowest free number, which the read will take next
  ASSERT_GE(next, 0);
  close(next);

  std::string contents;
  {
    ClosingBatch batch;
    ASSERT_TRUE(readFileAt(AT_FDCWD, path.c_str(), contents, batch));
    EXPECT_EQ(contents, "sleep\n");
    EXPECT_TRUE(isOpen(next));
  }
  EXPECT_FALSE(isOpen(next));
}

// A batch that fills up closes what it holds; the file being read must not be among them.
TEST(ReadFileAtWithBatch, EveryReadGivesItsFileAcrossFullBatches) {
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const int files = 200;
  for (int i = 0; i < files; ++i) {
    std::ofstream((directory.path() / std::to_string(i)).string()) << "file " << i;
  }
  ClosingBatch batch;
  std::string contents;
  for (int i = 0; i < files; ++i) {
    const std::string path = (directory.path() / std::to_string(i)).string();
    ASSERT_TRUE(readFileAt(AT_FDCWD, path.c_str(), contents, batch)) << "read " << i;
    EXPECT_EQ(contents, "file " + std::to_string(i));
  }
}

TEST(ReadFileAtWithBatch, FailsForAMissingFileAndLeavesNothingOpen) {
  std::string contents = "stale";
  ClosingBatch batch;
  EXPECT_FALSE(readFileAt(AT_FDCWD, "/proc/0/comm", contents, batch));
  EXPECT_EQ(contents, "");
}

// A process close to its descriptor limit must still read every file: the batch gives its
// descriptors back when the kernel has no more to hand out.
TEST(ReadFileAtWithBatch, KeepsReadingAtTheDescriptorLimit) {
  ChildProcess child = ChildProcess::run([] {
    const int lowestFree = openNull();
    close(lowestFree);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(lowestFree) + 5;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      _exit(2);
    }
    ClosingBatch batch;
    std::string contents;
    for (int i = 0; i < 200; ++i) {
      if (!readFileAt(AT_FDCWD, "/proc/self/comm", contents, batch) || contents.empty()) {
        _exit(1);
      }
    }
    _exit(0);
  });
  ASSERT_TRUE(child.started());
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a read failed; 2: no lower limit could be set";
}

}  // namespace
}  // namespace vellicor::linux_platform
