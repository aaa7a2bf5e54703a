#pragma once

// Owned file descriptors and whole-file reads of the kernel's pseudo-files (/proc, sysfs,
// cgroupfs), which are read relative to a directory descriptor so one open of /proc serves a
// whole run.

#include <sys/types.h>

#include <cstddef>
#include <string>
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

// Reads the file at `path` below `directory` (an absolute path ignores `directory`) into
// `contents`, at most `limit` bytes of it. A read that returns less than was asked for ends the
// file: these files are generated whole on each read, and trusting the short read saves the
// extra read(2) that would only confirm the end. False when the file cannot be opened or read.
bool readFileAt(int directory, const char* path, std::string& contents,
                std::size_t limit = std::size_t{1} << 20);
// The same, leaving the descriptor to `closing`.
bool readFileAt(int directory, const char* path, std::string& contents, ClosingBatch& closing,
                std::size_t limit = std::size_t{1} << 20);

// A directory entry named by a positive decimal number: a process in /proc, a thread in
// /proc/PID/task.
struct NumberedEntry {
  pid_t number = 0;
  ino_t inode = 0;
};

// Lists the numbered entries of `directory` from its current position to its end, in the
// order the kernel gives them. False when the directory cannot be read.
bool listNumberedEntries(int directory, std::vector<NumberedEntry>& entries);

}  // namespace vellicor::linux_platform
