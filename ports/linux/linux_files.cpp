#include "ports/linux/linux_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <utility>

namespace vellicor::linux_platform {

namespace {

// Room for several hundred entries per getdents64 call.
constexpr std::size_t kDirectoryBufferSize = 32 * 1024;

// Far below the 1024 descriptors a process may usually hold.
constexpr std::size_t kClosingBatchSize = 64;

// The kernel's page on most architectures; a larger page only makes the first read ask for less
// than the kernel would hand over, which the reader follows up like any other read.
constexpr std::size_t kPageSize = 4096;

// "<prefix>N" with N a decimal number without leading zeros ("0" itself is one).
bool parseEntryNumber(std::string_view name, std::string_view prefix, pid_t& number) {
  if (!name.starts_with(prefix)) {
    return false;
  }
  const std::string_view digits = name.substr(prefix.size());
  if (digits.empty() || digits[0] < '0' || digits[0] > '9' ||
      (digits[0] == '0' && digits.size() > 1)) {
    return false;
  }
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return error == std::errc() && end == digits.data() + digits.size();
}

int openForReading(int directory, const char* path) {
  return openat(directory, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
}

// How far a read goes: to the end of the file, or, for a file the kernel generates whole, to
// the end of a first read that did not fill its buffer.
enum class ReadUntil { End, ShortFirstRead };

// Appends the rest of the file to `contents`, which is empty on entry. The buffer of one page
// covers every file read on the hot path (a name, a stat line, a CPU list) in one read(2).
bool readOpenedFile(int fd, std::string& contents, std::size_t limit, ReadUntil until) {
  char chunk[kPageSize];
  bool first = true;
  while (true) {
    // One byte past the limit tells a file of exactly `limit` bytes from a longer one.
    const std::size_t asked = std::min(sizeof chunk - 1, limit - contents.size()) + 1;
    const ssize_t got = read(fd, chunk, asked);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      contents.clear();
      return false;
    }
    if (got == 0) {
      return true;
    }
    contents.append(chunk, static_cast<std::size_t>(got));
    if (contents.size() > limit) {
      contents.clear();  // a cut list or mask would parse as a wrong set
      return false;
    }
    if (until == ReadUntil::ShortFirstRead && first && static_cast<std::size_t>(got) < asked) {
      return true;
    }
    first = false;
  }
}

}  // namespace

UniqueFd::~UniqueFd() {
  reset();
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset(other.release());
  }
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    close(fd_);
  }
  fd_ = fd;
}

int UniqueFd::release() {
  return std::exchange(fd_, -1);
}

ClosingBatch::~ClosingBatch() {
  closeAll();
}

void ClosingBatch::add(int fd) {
  fds_.push_back(fd);
  if (fds_.size() == kClosingBatchSize) {
    closeAll();
  }
}

void ClosingBatch::closeAll() {
  // Called between a failed call and the look at its errno.
  const int error = errno;
  std::sort(fds_.begin(), fds_.end());
  std::size_t first = 0;
  while (first < fds_.size()) {
    std::size_t last = first;
    while (last + 1 < fds_.size() && fds_[last + 1] == fds_[last] + 1) {
      ++last;
    }
    // Every number in the run is one of ours. A kernel without close_range closes one by one.
    if (close_range(static_cast<unsigned>(fds_[first]), static_cast<unsigned>(fds_[last]), 0) !=
        0) {
      for (std::size_t i = first; i <= last; ++i) {
        close(fds_[i]);
      }
    }
    first = last + 1;
  }
  fds_.clear();
  errno = error;
}

bool lackedResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

namespace {

// Reads the file of `fd` to its end and closes it; errno survives the close.
bool readAndClose(int fd, std::string& contents, std::size_t limit) {
  if (fd < 0) {
    return false;
  }
  const bool read = readOpenedFile(fd, contents, limit, ReadUntil::End);
  const int error = errno;
  close(fd);
  errno = error;
  return read;
}

}  // namespace

bool readFileAt(int directory, const char* path, std::string& contents, std::size_t limit) {
  contents.clear();
  return readAndClose(openForReading(directory, path), contents, limit);
}

bool readFileAt(int directory, const char* path, std::string& contents, ClosingBatch& closing,
                std::size_t limit) {
  contents.clear();
  return readAndClose(openForReadingAt(directory, path, closing), contents, limit);
}

int openForReadingAt(int directory, const char* path, ClosingBatch& closing) {
  int fd = openForReading(directory, path);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
    // The batch may be what holds the last free descriptors.
    closing.closeAll();
    fd = openForReading(directory, path);
  }
  return fd;
}

bool readRecordAt(int directory, const char* path, std::string& contents, ClosingBatch& closing,
                  std::size_t limit) {
  contents.clear();
  const int fd = openForReadingAt(directory, path, closing);
  if (fd < 0) {
    return false;
  }
  // Read before handing over: a full batch closes every descriptor it holds, this one included.
  const bool read = readOpenedFile(fd, contents, limit, ReadUntil::ShortFirstRead);
  const int error = errno;
  closing.add(fd);
  errno = error;
  return read;
}

LineReader::LineReader(int directory, const char* path, std::size_t lineLimit)
    : file_(openForReading(directory, path)), lineLimit_(lineLimit) {
  failed_ = !file_.valid();
  ended_ = failed_;
}

bool LineReader::next(std::string_view& line) {
  while (true) {
    const std::size_t end = buffer_.find('\n', start_ + searched_);
    if (end != std::string::npos) {
      line = std::string_view(buffer_).substr(start_, end - start_);
      start_ = end + 1;
      searched_ = 0;
      if (!std::exchange(skipping_, false) && line.size() <= lineLimit_) {
        return true;
      }
      continue;
    }
    searched_ = buffer_.size() - start_;
    if (searched_ > lineLimit_) {
      // Dropped as it comes, so a line of any length costs no more than the limit.
      skipping_ = true;
      buffer_.clear();
      start_ = 0;
      searched_ = 0;
    }
    if (ended_) {
      // A last line without a line feed still counts.
      if (start_ < buffer_.size() && !skipping_ && buffer_.size() - start_ <= lineLimit_) {
        line = std::string_view(buffer_).substr(start_);
        start_ = buffer_.size();
        return true;
      }
      return false;
    }
    if (!readMore()) {
      return false;
    }
  }
}

// Appends the next read to the bytes not handed out yet, which move to the front first.
bool LineReader::readMore() {
  buffer_.erase(0, start_);
  start_ = 0;
  const std::size_t kept = buffer_.size();
  buffer_.resize(kept + kPageSize);
  ssize_t got;
  while ((got = read(file_.get(), buffer_.data() + kept, kPageSize)) < 0 && errno == EINTR) {
  }
  buffer_.resize(kept + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  if (got < 0) {
    failed_ = true;
    ended_ = true;
    return false;
  }
  ended_ = got == 0;
  return true;
}

bool listNumberedEntries(int directory, std::string_view prefix,
                         std::vector<NumberedEntry>& entries) {
  entries.clear();
  std::vector<char> buffer(kDirectoryBufferSize);
  while (true) {
    const ssize_t got = getdents64(directory, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + at);
      at += entry->d_reclen;
      NumberedEntry numbered;
      if (parseEntryNumber(entry->d_name, prefix, numbered.number)) {
        numbered.inode = entry->d_ino;
        entries.push_back(numbered);
      }
    }
  }
}

}  // namespace vellicor::linux_platform
