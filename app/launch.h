#pragma once

// Launch mode (/e): the command after the option is started suspended, becomes the only target,
// by its identifier, and is let go once every selected process has been handled.

#include <optional>
#include <string>
#include <string_view>

#include "app/arguments.h"
#include "platform/output.h"
#include "platform/platform.h"

namespace vellicor {

// The command after the first "/e " or "-e " of the raw command line, whichever comes first;
// nothing when neither occurs.
std::optional<std::wstring_view> findCommandTail(std::wstring_view rawCommandLine);

// A command started suspended. It is resumed once every selected process has been handled, and
// also if the run leaves early, so the command is never left stopped.
class LaunchedCommand {
 public:
  explicit LaunchedCommand(Platform& platform) : platform_(platform) {}
  ~LaunchedCommand() {
    // The run is ending early anyway: whether the command started is not looked at.
    bool started = true;
    letGo(started);
  }
  LaunchedCommand(const LaunchedCommand&) = delete;
  LaunchedCommand& operator=(const LaunchedCommand&) = delete;

  // Starts the command of the raw command line suspended and makes its identifier the only
  // target of `request`, which borrows the identifier's text from this object. False, with the
  // usage text or "Not found: ..." printed, when the run must end with status 1.
  bool start(Output& output, std::wstring_view programPath, CommandRequest& request);
  // Lets the command go; false when it could not be let go, or, with "Not found: ..." printed,
  // when it turned out not to start.
  bool resume(Output& output);

 private:
  // Lets the command go unless that was done; false when it could not be. `started` tells whether
  // it started.
  bool letGo(bool& started);

  Platform& platform_;
  OsHandle thread_ = kNoHandle;
  std::wstring command_;
  std::wstring processIdText_;
};

}  // namespace vellicor
