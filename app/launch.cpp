#include "app/launch.h"

#include <cstdint>

#include "common/wide_format.h"

namespace vellicor {

std::optional<std::wstring_view> findCommandTail(std::wstring_view rawCommandLine) {
  // Whichever form comes first is the option: a "/e " inside the command that follows "-e " is
  // one of the command's own words. Only one plain space separates the option from the command;
  // a tab does not count.
  std::optional<std::wstring_view> tail;
  std::size_t first = std::wstring_view::npos;
  for (std::wstring_view option : {std::wstring_view(L"/e "), std::wstring_view(L"-e ")}) {
    std::size_t at = rawCommandLine.find(option);
    if (at < first) {
      first = at;
      tail = rawCommandLine.substr(at + option.size());
    }
  }
  return tail;
}

bool LaunchedCommand::start(Output& output, std::wstring_view programPath,
                            CommandRequest& request) {
  std::wstring rawCommandLine = platform_.getCommandLine();
  std::optional<std::wstring_view> command = findCommandTail(rawCommandLine);
  if (!command) {
    printUsage(output, programPath);
    return false;
  }
  LaunchedProcess launched;
  if (!platform_.createSuspendedProcess(*command, launched)) {
    printWide(output, L"Not found: %s", {*command});
    return false;
  }
  thread_ = launched.hThread;
  command_ = *command;
  platform_.closeHandle(launched.hProcess);
  processIdText_ = formatWide(L"%d", {static_cast<std::int32_t>(launched.dwProcessId)});
  request.targets.assign(1, processIdText_);
  request.pidMode = true;
  return true;
}

bool LaunchedCommand::resume(Output& output) {
  bool started = true;
  const bool resumed = letGo(started);
  if (!started) {
    printWide(output, L"Not found: %s", {command_});
  }
  return resumed && started;
}

bool LaunchedCommand::letGo(bool& started) {
  started = true;
  if (thread_ == kNoHandle) {
    return true;
  }
  const bool resumed = platform_.resumeThread(thread_);
  started = platform_.resumedCommandStarted(thread_);
  platform_.closeHandle(thread_);
  thread_ = kNoHandle;
  return resumed;
}

}  // namespace vellicor
