#pragma once

// The first thread of a command started suspended (/e), held until Vellicor lets it go. The run
// lets it go once the command's mask is set and its line written; this object also lets it go
// wherever the run can no longer get there:
// - a console control event (Ctrl+C, Ctrl+Break, the console closed, logoff, shutdown), on the
//   handler's own thread, just before Windows ends Vellicor;
// - a write to standard output blocked for `stall` (a pipe nobody reads, a console with text
//   selected), on a watchdog thread: the command then runs before its line is out;
// - the end of this object, whichever way the run ends.
// The watchdog looks at writes only. Nothing is written between the start of the command and the
// setting of its mask when all goes well, so the watchdog cannot let the command go before that.
// The thread is resumed once, by whoever comes first: ResumeThread counts, and a second call
// could let go a thread that something else (the command itself, a debugger) suspended since.
// Nothing helps when another program ends Vellicor (TerminateProcess): the command then stays
// suspended.

#include <windows.h>

#include <cstdint>

#include "ports/windows/write_watch.h"

namespace vellicor::windows_platform {

class HeldCommand {
 public:
  static constexpr std::uint64_t kStallMilliseconds = 2000;

  // Takes `thread`, a handle of its own to the suspended thread, and watches `writes`, which
  // must outlive this object.
  HeldCommand(HANDLE thread, const WriteWatch& writes,
              std::uint64_t stallMilliseconds = kStallMilliseconds);
  ~HeldCommand();
  HeldCommand(const HeldCommand&) = delete;
  HeldCommand& operator=(const HeldCommand&) = delete;

  // Lets the command go unless that was done already; false when ResumeThread failed.
  bool resume();

 private:
  static DWORD WINAPI watch(void* self);
  static BOOL WINAPI onConsoleEvent(DWORD event);

  SRWLOCK lock_ = SRWLOCK_INIT;
  HANDLE thread_;  // null once let go
  bool resumed_ = false;

  const WriteWatch& writes_;
  const std::uint64_t stallMilliseconds_;
  HANDLE stop_ = nullptr;
  HANDLE watchdog_ = nullptr;
};

}  // namespace vellicor::windows_platform
