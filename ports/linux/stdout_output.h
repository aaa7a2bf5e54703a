#pragma once

// Standard output on Linux: UTF-8 bytes, collected and written in large blocks, because a list
// of thousands of processes would otherwise cost one write(2) per line.
//
// A reader that goes away must end the output, not the run, yet the signal settings this program
// was started with belong to the commands it launches too. So SIGPIPE is held off only while a
// block is written, and one that the write raised is taken back before it is let through.

#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/output.h"

namespace vellicor::linux_platform {

class StdoutOutput : public Output {
 public:
  explicit StdoutOutput(int fd = STDOUT_FILENO);
  ~StdoutOutput() override;
  StdoutOutput(const StdoutOutput&) = delete;
  StdoutOutput& operator=(const StdoutOutput&) = delete;

  void writeText(std::wstring_view text) override;
  void writeBarCharacter(char character) override;

  void flush() override;
  bool writeFailed() const override { return writeFailed_; }
  // True once a write failed, for whatever reason; everything after that is dropped.
  bool stopped() const { return stopped_; }

 private:
  void flushWhenFull();
  bool writeBlock();

  int fd_;
  bool socket_ = false;
  std::string buffer_;
  bool stopped_ = false;
  bool writeFailed_ = false;
};

}  // namespace vellicor::linux_platform
