#include "ports/linux/stdout_output.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "common/utf8.h"

namespace vellicor::linux_platform {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

}  // namespace

StdoutOutput::StdoutOutput(int fd) : fd_(fd) {
  buffer_.reserve(kBlockSize + 1024);
  struct stat status {};
  socket_ = fstat(fd_, &status) == 0 && S_ISSOCK(status.st_mode);
}

StdoutOutput::~StdoutOutput() {
  flush();
}

void StdoutOutput::writeText(std::wstring_view text) {
  if (stopped_) {
    return;
  }
  appendUtf8(text, buffer_, Unencodable::Replace);
  flushWhenFull();
}

void StdoutOutput::writeBarCharacter(char character) {
  if (stopped_) {
    return;
  }
  buffer_.push_back(character);
  flushWhenFull();
}

void StdoutOutput::flush() {
  if (!stopped_ && !buffer_.empty() && !writeBlock()) {
    stopped_ = true;
  }
  buffer_.clear();
}

// Writes the whole buffer with SIGPIPE blocked, so a reader that went away gives EPIPE instead of
// ending the process. A SIGPIPE that was pending already is the caller's and stays pending. A
// socket is written without raising the signal at all: some (SOCK_SEQPACKET) never raise it, and
// a SIGPIPE taken back after them would be one sent from outside.
bool StdoutOutput::writeBlock() {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t callerMask;
  sigset_t pending;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &callerMask);
  sigpending(&pending);
  const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;

  std::size_t written = 0;
  bool readerGone = false;
  while (written < buffer_.size()) {
    const char* data = buffer_.data() + written;
    const std::size_t size = buffer_.size() - written;
    const ssize_t got = socket_ ? send(fd_, data, size, MSG_NOSIGNAL) : write(fd_, data, size);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && errno == EPIPE) {
      readerGone = true;
    } else if (got <= 0) {
      writeFailed_ = true;  // the file cannot take more: output is lost
    }
    if (got <= 0) {
      break;
    }
    written += static_cast<std::size_t>(got);
  }
  if (readerGone && !pendingBefore && !socket_) {
    const timespec now{};
    while (sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
  return written == buffer_.size();
}

void StdoutOutput::flushWhenFull() {
  if (buffer_.size() >= kBlockSize) {
    flush();
  }
}

}  // namespace vellicor::linux_platform
