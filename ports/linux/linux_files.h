#pragma once

// Owned file descriptors and whole-file reads of the kernel's pseudo-files (/proc, sysfs,
// cgroupfs), which are read relative to a directory descriptor so one open of /proc serves a
// whole run.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vellicor::linux_platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Closes the descriptor held, if any, and takes `fd` over (-1: holds none).
  void reset(int fd = -1);
  // Gives the descriptor up without closing it.
  int release();

 private:
  int fd_ = -1;
};

// Descriptors of files that have been read, closed together: one close_range(2) per run of
// consecutive numbers instead of one close(2) per file. A scan of /proc reads thousands of small
// files one after another, and the kernel hands out the lowest free numbers, so a batch is
// usually one run and the scan saves nearly a system call per process.
class ClosingBatch {
 public:
  ClosingBatch() = default;
  ~ClosingBatch();
  ClosingBatch(const ClosingBatch&) = delete;
  ClosingBatch& operator=(const ClosingBatch&) = delete;

  // Takes `fd` over; a full batch is closed at once, so it never holds more than a few dozen.
  void add(int fd);
  void closeAll();

 private:
  std::vector<int> fds_;
};

// Whether a call failed for want of what the system lends (descriptors, memory) rather than
// because the file is gone or refused: the file may well be there then, and a reader that went on
// without it would leave something out in silence.
bool lackedResources(int error);

// Larger than any file the program reads whole, small enough to refuse garbage quickly.
constexpr std::size_t kDefaultFileLimit = std::size_t{1} << 20;

// Reads the whole file at `path` below `directory` (an absolute path ignores `directory`) into
// `contents`, reading until read(2) reports the end: /proc hands out many files (mountinfo,
// status, cmdline) a record or a page at a time, so a short read says nothing about the end.
// False when the file cannot be opened or read, or holds more than `limit` bytes; `contents` is
// then empty, never a cut file, and errno tells why.
bool readFileAt(int directory, const char* path, std::string& contents,
                std::size_t limit = kDefaultFileLimit);

// The same for a reader that holds a batch: when the descriptors have run out, the batch is
// closed and the open tried once more. The file's own descriptor is closed at once.
bool readFileAt(int directory, const char* path, std::string& contents, ClosingBatch& closing,
                std::size_t limit = kDefaultFileLimit);

// openat(2) for reading, with the same second try.
int openForReadingAt(int directory, const char* path, ClosingBatch& closing);

// Reads a file that the kernel generates whole on each read, leaving the descriptor to
// `closing`: /proc/PID/comm and /proc/PID/stat, and sysfs attributes. When the first read
// returns less than a page, that was the whole file, and the read(2) that would only confirm
// the end is saved; a first read that fills the page is followed to the end like readFileAt.
// The same failures as readFileAt, and the same second try when the descriptors have run out.
bool readRecordAt(int directory, const char* path, std::string& contents, ClosingBatch& closing,
                  std::size_t limit = kDefaultFileLimit);

// Reads a file a line at a time through one buffer that grows only to the longest line taken:
// /proc/self/mountinfo of a busy container host runs to megabytes, and no line of it needs the
// others.
class LineReader {
 public:
  // Opens `path` below `directory`; a line longer than `lineLimit` bytes is skipped whole.
  LineReader(int directory, const char* path, std::size_t lineLimit);

  // The next line, without its line feed, valid until the next call; false at the end of the
  // file, or when it cannot be opened or read (failed() tells which).
  bool next(std::string_view& line);
  bool failed() const { return failed_; }

 private:
  bool readMore();

  UniqueFd file_;
  std::size_t lineLimit_;
  std::string buffer_;
  std::size_t start_ = 0;     // of the bytes not handed out yet
  std::size_t searched_ = 0;  // bytes after start_ known to hold no line feed
  bool skipping_ = false;     // inside a line over the limit
  bool ended_ = false;
  bool failed_ = false;
};

// A directory entry named by a decimal number, possibly after a fixed prefix: a process in
// /proc, a thread in /proc/PID/task, "cpu3" or "node1" in sysfs.
struct NumberedEntry {
  pid_t number = 0;
  ino_t inode = 0;
};

// Lists the entries of `directory` named "<prefix>N", N a decimal number written without
// leading zeros, from the directory's current position to its end, in the order the kernel gives
// them. Lists through the descriptor itself with getdents64: opendir would add a second open and
// its bookkeeping calls. False when the directory cannot be read.
bool listNumberedEntries(int directory, std::string_view prefix,
                         std::vector<NumberedEntry>& entries);

// The entries named by a number alone: the processes of /proc, the threads of /proc/PID/task.
inline bool listNumberedEntries(int directory, std::vector<NumberedEntry>& entries) {
  return listNumberedEntries(directory, {}, entries);
}

}  // namespace vellicor::linux_platform
