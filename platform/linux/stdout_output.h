#pragma once

// Standard output on Linux: UTF-8 bytes, collected and written in large blocks, because a list
// of thousands of processes would otherwise cost one write(2) per line.

#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/output.h"

namespace vellicor::linux_platform {

class StdoutOutput : public Output {
 public:
  // Ignores SIGPIPE for the whole process: a reader that goes away (`vellicor /l | head -1`)
  // must end the output, not the run.
  explicit StdoutOutput(int fd = STDOUT_FILENO);
  ~StdoutOutput() override;
  StdoutOutput(const StdoutOutput&) = delete;
  StdoutOutput& operator=(const StdoutOutput&) = delete;

  void writeText(std::wstring_view text) override;
  void writeBarCharacter(char character) override;

  void flush() override;
  // True once a write failed; everything after that is dropped.
  bool failed() const { return failed_; }

 private:
  void flushWhenFull();

  int fd_;
  std::string buffer_;
  bool failed_ = false;
};

}  // namespace vellicor::linux_platform
