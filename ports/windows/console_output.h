#pragma once

// Standard output of the Windows build. A console gets the text as UTF-16 through WriteConsoleW,
// so every image name shows whole whatever the console's code page; a pipe or a file gets UTF-8.
// Either way the text is written as text mode writes it, every LF as CR LF, and the C runtime's
// locale and stream mode are left alone.
//
// A stream that refuses a write gets nothing more. When its reader went away (a closed pipe) that
// is the end of the output and nothing else; any other refusal (a full disk, say) means text was
// lost, and writeFailed() says so. A program started with no standard output at all (by a service
// or a GUI program, or detached from any console) wanted none: its text goes nowhere, and that is
// no failure either.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/output.h"
#include "ports/windows/write_watch.h"

namespace vellicor::windows_platform {

// Text as text mode writes it: every LF preceded by a CR.
std::wstring withCarriageReturns(std::wstring_view text);

// How many units of `text` the next console write takes: at most `limit`, and one fewer when
// the limit falls between the two halves of a surrogate pair. A console shows a half on its own
// as a replacement character, so a pair must reach it in one call.
std::size_t consolePieceLength(std::wstring_view text, std::size_t limit);

// One console write: takes what it can of `piece` and returns how many units that was, 0 when
// it refused them.
using ConsoleWrite = std::function<std::size_t(std::wstring_view piece)>;

// Hands `text` to `write` in pieces of consolePieceLength(…, limit) until all of it is taken.
// Every unit is handed over once: after a write that stopped between the halves of a pair, which
// only a console taking part of a piece can do, the next write starts with the low half. Returns
// false once a write refuses.
bool writeWholeCharacters(std::wstring_view text, std::size_t limit, const ConsoleWrite& write);

class ConsoleOutput : public Output {
 public:
  // Writes to this process's standard output, and marks each write on `writes`, which must
  // outlive this object.
  ConsoleOutput();
  explicit ConsoleOutput(WriteWatch& writes);
  // Writes to the given HANDLE, which stays the caller's.
  explicit ConsoleOutput(void* stream, WriteWatch* writes = nullptr);
  ~ConsoleOutput() override;
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  void writeText(std::wstring_view text) override;
  void writeBarCharacter(char character) override;

  void flush() override;
  bool writeFailed() const override { return writeFailed_; }

 private:
  void* stream_;
  WriteWatch* writes_;
  bool console_;
  // Bar characters and text in program order, waiting for the end of their line.
  std::wstring pending_;
  // Set once the stream refused a write; everything after that is dropped.
  bool stopped_ = false;
  bool writeFailed_ = false;
};

}  // namespace vellicor::windows_platform
