#pragma once

// A command started so that it exists, under its own image, with a process identifier, but has
// not yet run its first instruction; resume() lets it go. The child is never left stopped: the
// destructor resumes it too.

#include <sys/types.h>

#include <string>
#include <string_view>

namespace vellicor::linux_platform {

class SuspendedLaunch {
 public:
  SuspendedLaunch() = default;
  ~SuspendedLaunch();
  SuspendedLaunch(const SuspendedLaunch&) = delete;
  SuspendedLaunch& operator=(const SuspendedLaunch&) = delete;

  // Splits the command by Windows rules, finds the program on PATH and starts it suspended.
  // False when it cannot be started.
  bool start(std::wstring_view command);
  pid_t processId() const { return pid_; }
  void resume();

 private:
  pid_t pid_ = -1;
  bool suspended_ = false;
};

}  // namespace vellicor::linux_platform
