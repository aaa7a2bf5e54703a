#include "platform/linux/stdout_output.h"

#include <cerrno>
#include <csignal>

#include "platform/linux/utf8.h"

namespace vellicor::linux_platform {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

}  // namespace

StdoutOutput::StdoutOutput(int fd) : fd_(fd) {
  std::signal(SIGPIPE, SIG_IGN);
  buffer_.reserve(kBlockSize + 1024);
}

StdoutOutput::~StdoutOutput() {
  flush();
}

void StdoutOutput::writeText(std::wstring_view text) {
  if (failed_) {
    return;
  }
  appendUtf8(text, buffer_);
  flushWhenFull();
}

void StdoutOutput::writeBarCharacter(char character) {
  if (failed_) {
    return;
  }
  buffer_.push_back(character);
  flushWhenFull();
}

void StdoutOutput::flush() {
  std::size_t written = 0;
  while (!failed_ && written < buffer_.size()) {
    ssize_t got = write(fd_, buffer_.data() + written, buffer_.size() - written);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      // The reader is gone or the file cannot take more: the rest of the output has nowhere
      // to go, and the run carries on without it.
      failed_ = true;
      break;
    }
    written += static_cast<std::size_t>(got);
  }
  buffer_.clear();
}

void StdoutOutput::flushWhenFull() {
  if (buffer_.size() >= kBlockSize) {
    flush();
  }
}

}  // namespace vellicor::linux_platform
