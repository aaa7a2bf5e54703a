#pragma once

// Since when the write under way on standard output has been blocked, for the one other thread
// that needs to know: the watchdog of a command held suspended (held_command.h). A write blocks
// for as long as its reader does not read: a pipe nobody empties, a console with text selected.

#include <atomic>
#include <cstdint>

namespace vellicor::windows_platform {

class WriteWatch {
 public:
  // Marks one write, from its start to its end.
  class Write {
   public:
    Write(WriteWatch* watch, std::uint64_t now) : watch_(watch) {
      if (watch_ != nullptr) {
        watch_->since_.store(now == 0 ? 1 : now);
      }
    }
    ~Write() {
      if (watch_ != nullptr) {
        watch_->since_.store(0);
      }
    }
    Write(const Write&) = delete;
    Write& operator=(const Write&) = delete;

   private:
    WriteWatch* watch_;
  };

  // The tick count (GetTickCount64) at which the write under way began; 0 when none is.
  std::uint64_t writingSince() const { return since_.load(); }

 private:
  std::atomic<std::uint64_t> since_{0};
};

}  // namespace vellicor::windows_platform
