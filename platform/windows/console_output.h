#pragma once

// Standard output of the Windows build. A console gets the text as UTF-16 through WriteConsoleW,
// so every image name shows whole whatever the console's code page; a pipe or a file gets UTF-8.
// Either way the text is written as text mode writes it, every LF as CR LF, and the C runtime's
// locale and stream mode are left alone.

#include <string>
#include <string_view>

#include "platform/output.h"

namespace vellicor::windows_platform {

// Text as text mode writes it: every LF preceded by a CR.
std::wstring withCarriageReturns(std::wstring_view text);

class ConsoleOutput : public Output {
 public:
  // Writes to this process's standard output.
  ConsoleOutput();
  // Writes to the given HANDLE, which stays the caller's.
  explicit ConsoleOutput(void* stream);
  ~ConsoleOutput() override;
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  void writeText(std::wstring_view text) override;
  void writeBarCharacter(char character) override;

  void flush() override;

 private:
  void* stream_;
  bool console_;
  // Bar characters and text in program order, waiting for the end of their line.
  std::wstring pending_;
};

}  // namespace vellicor::windows_platform
