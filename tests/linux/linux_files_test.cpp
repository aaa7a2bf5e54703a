#include "ports/linux/linux_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "mount_namespace.h"

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

TEST(ReadRecordAt, ReadsTheFileAndLeavesTheDescriptorToTheBatch) {
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
    ASSERT_TRUE(readRecordAt(AT_FDCWD, path.c_str(), contents, batch));
    EXPECT_EQ(contents, "sleep\n");
    EXPECT_TRUE(isOpen(next));
  }
  EXPECT_FALSE(isOpen(next));
}

// A batch that fills up closes what it holds; the file being read must not be among them.
TEST(ReadRecordAt, EveryReadGivesItsFileAcrossFullBatches) {
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
    ASSERT_TRUE(readRecordAt(AT_FDCWD, path.c_str(), contents, batch)) << "read " << i;
    EXPECT_EQ(contents, "file " + std::to_string(i));
  }
}

TEST(ReadRecordAt, FailsForAMissingFileAndLeavesNothingOpen) {
  std::string contents = "stale";
  ClosingBatch batch;
  EXPECT_FALSE(readRecordAt(AT_FDCWD, "/proc/0/comm", contents, batch));
  EXPECT_EQ(contents, "");
}

// A process close to its descriptor limit must still read every file: the batch gives its
// descriptors back when the kernel has no more to hand out.
TEST(ReadRecordAt, KeepsReadingAtTheDescriptorLimit) {
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
      if (!readRecordAt(AT_FDCWD, "/proc/self/comm", contents, batch) || contents.empty()) {
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

struct LimitCase {
  const char* name;
  std::size_t size;
  std::size_t limit;
  bool read;  // else refused, with nothing kept
};

class FileLimits : public testing::TestWithParam<LimitCase> {};

// Both readers take a file of up to `limit` bytes whole, NUL bytes and all, and refuse a longer
// one rather than cut it: a cut CPU list would parse as a smaller set.
TEST_P(FileLimits, TakeAFileWholeOrNotAtAll) {
  const LimitCase& row = GetParam();
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::string path = (directory.path() / "file").string();
  std::string file(row.size, '\0');
  for (std::size_t i = 0; i < file.size(); ++i) {
    file[i] = static_cast<char>(i % 7 == 6 ? '\0' : 'a' + i % 26);
  }
  std::ofstream(path, std::ios::binary) << file;
  const std::string expected = row.read ? file : std::string();

  std::string contents = "stale";
  EXPECT_EQ(readFileAt(AT_FDCWD, path.c_str(), contents, row.limit), row.read);
  EXPECT_TRUE(contents == expected) << "readFileAt gave " << contents.size() << " bytes";

  contents = "stale";
  ClosingBatch batch;
  EXPECT_EQ(readRecordAt(AT_FDCWD, path.c_str(), contents, batch, row.limit), row.read);
  EXPECT_TRUE(contents == expected) << "readRecordAt gave " << contents.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileLimits,
    testing::Values(LimitCase{"empty", 0, 16, true}, LimitCase{"below_the_limit", 15, 16, true},
                    LimitCase{"at_the_limit", 16, 16, true},
                    LimitCase{"one_byte_over", 17, 16, false},
                    LimitCase{"a_page_at_the_limit", 4096, 4096, true},
                    LimitCase{"a_page_over", 4097, 4096, false},
                    LimitCase{"pages_below", 3 * 4096 + 5, 4 * 4096, true},
                    LimitCase{"pages_over", 3 * 4096 + 5, 3 * 4096, false},
                    LimitCase{"default_limit", 70000, kDefaultFileLimit, true}),
    [](const testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

// A process's command line longer than a page: the kernel fills the first read, and the record
// reader must read on instead of keeping the first page.
TEST(LongRecords, AreReadPastTheFirstPage) {
  std::vector<std::string> arguments{"sleep", "1000"};
  std::string expected = "sleep";
  expected.push_back('\0');
  expected.append("1000");
  expected.push_back('\0');
  for (int i = 0; i < 3000; ++i) {
    arguments.push_back("0");  // sleep adds its arguments up
    expected.append(1, '0');
    expected.push_back('\0');
  }
  ChildProcess child = ChildProcess::execute("/bin/sleep", arguments);
  ASSERT_TRUE(child.started());
  const std::string path = "/proc/" + std::to_string(child.pid()) + "/cmdline";
  ASSERT_GT(expected.size(), std::size_t{4096});

  std::string contents;
  ClosingBatch batch;
  ASSERT_TRUE(readRecordAt(AT_FDCWD, path.c_str(), contents, batch));
  EXPECT_TRUE(contents == expected) << contents.size() << " bytes of " << expected.size();
  ASSERT_TRUE(readFileAt(AT_FDCWD, path.c_str(), contents));
  EXPECT_TRUE(contents == expected) << contents.size() << " bytes of " << expected.size();
}

// What a child in a mount namespace of its own found; the set-up failures come last.
enum MountTableResult {
  kWhole = 0,
  kNotRead,
  kNotWhole,
  kTooShortToProve,
  kNoShortRead,
  kCannotMount = 100,
};

// On a machine with many mounts (a container host), the kernel hands /proc/self/mountinfo out a
// page of records per read: each read but the last is short although the file goes on. Here a
// mount table of its own, a few hundred tmpfs mounts long, makes that happen on any machine.
TEST(ShortReads, AMountTableOfManyRecordsIsReadWhole) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to mount";
  }
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  ChildProcess child = ChildProcess::run([&] {
    if (!linux_test::enterPrivateMountNamespace() ||
        !linux_test::stackMounts(directory.path(), 256) ||
        mount("vellicor-last", directory.path().c_str(), "tmpfs", 0, "size=4k") != 0) {
      _exit(kCannotMount);
    }
    const std::string table = linux_test::readMountTable();
    if (table.size() <= linux_test::kMountTableShortReadDepth) {
      _exit(kTooShortToProve);
    }
    char page[4096];
    const UniqueFd file(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    if (read(file.get(), page, sizeof page) == static_cast<ssize_t>(sizeof page)) {
      _exit(kNoShortRead);
    }
    std::string contents;
    if (!readFileAt(AT_FDCWD, "/proc/self/mountinfo", contents)) {
      _exit(kNotRead);
    }
    // The last mount made is the table's last line.
    _exit(contents == table && contents.ends_with(" vellicor-last rw,size=4k\n") ? kWhole
                                                                                 : kNotWhole);
  });
  ASSERT_TRUE(child.started());
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotMount) {
    GTEST_SKIP() << "the kernel refuses a mount namespace or tmpfs mounts here";
  }
  if (WEXITSTATUS(status) == kNoShortRead) {
    GTEST_SKIP() << "this kernel hands the mount table out in full pages: nothing to prove";
  }
  EXPECT_EQ(WEXITSTATUS(status), kWhole)
      << "1: not read; 2: not whole; 3: the test's mount table too short to prove anything";
}

struct LinesCase {
  const char* name;
  std::string file;
  std::size_t lineLimit;
  std::vector<std::string> lines;
};

class LineReading : public testing::TestWithParam<LinesCase> {};

TEST_P(LineReading, GivesEveryLineWithinTheLimit) {
  const LinesCase& row = GetParam();
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::string path = (directory.path() / "lines").string();
  std::ofstream(path, std::ios::binary) << row.file;

  LineReader reader(AT_FDCWD, path.c_str(), row.lineLimit);
  std::vector<std::string> lines;
  std::string_view line;
  while (reader.next(line)) {
    lines.emplace_back(line);
  }
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(lines, row.lines);
}

std::string repeated(char character, std::size_t count) {
  return std::string(count, character);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineReading,
    testing::Values(
        LinesCase{"empty", "", 16, {}},
        LinesCase{"lines", "a\nbc\n\nd\n", 16, {"a", "bc", "", "d"}},
        LinesCase{"no_line_feed_at_the_end", "a\nbc", 16, {"a", "bc"}},
        LinesCase{"at_the_limit", "0123456789abcdef\nx\n", 16, {"0123456789abcdef", "x"}},
        LinesCase{"one_over_the_limit_is_skipped", "a\n0123456789abcdefg\nx\n", 16, {"a", "x"}},
        LinesCase{"overlong_last_line_without_line_feed", "a\n0123456789abcdefg", 16, {"a"}},
        // Lines across the reads of a page, and one that spans several pages.
        LinesCase{"across_pages",
                  repeated('a', 4095) + "\n" + repeated('b', 10000) + "\nc\n",
                  16384,
                  {repeated('a', 4095), repeated('b', 10000), "c"}},
        LinesCase{
            "skipped_across_pages", "a\n" + repeated('b', 10000) + "\nc\n", 4096, {"a", "c"}}),
    [](const testing::TestParamInfo<LinesCase>& info) { return std::string(info.param.name); });

TEST(LineReading, AMissingFileFails) {
  LineReader reader(AT_FDCWD, "/nonexistent/lines", 16);
  std::string_view line;
  EXPECT_FALSE(reader.next(line));
  EXPECT_TRUE(reader.failed());
}

// A file of several megabytes is read to its end, whatever its size.
TEST(LineReading, ReadsAFileOfMegabytesToTheEnd) {
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::string path = (directory.path() / "lines").string();
  constexpr int kLines = 40000;
  {
    std::ofstream file(path, std::ios::binary);
    for (int i = 0; i < kLines; ++i) {
      file << i << ' ' << repeated('x', 100) << '\n';
    }
  }
  LineReader reader(AT_FDCWD, path.c_str(), 1024);
  std::string_view line;
  int count = 0;
  bool inOrder = true;
  while (reader.next(line)) {
    inOrder = inOrder && line.starts_with(std::to_string(count) + " ");
    ++count;
  }
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(count, kLines);
  EXPECT_TRUE(inOrder);
}

}  // namespace
}  // namespace vellicor::linux_platform
