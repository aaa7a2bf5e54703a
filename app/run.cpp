#include "app/run.h"

#include <optional>
#include <regex>

#include "app/apply.h"
#include "app/arguments.h"
#include "app/launch.h"
#include "app/selection.h"
#include "common/wide_format.h"
#include "topology/topology_query.h"
#include "topology/topology_report.h"

namespace vellicor {

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

// The thread of a command started suspended. It is resumed once every selected process has been
// handled, and also if the run leaves early, so the command is never left stopped.
class SuspendedThread {
 public:
  explicit SuspendedThread(Platform& platform) : platform_(platform) {}
  ~SuspendedThread() { resume(); }
  SuspendedThread(const SuspendedThread&) = delete;
  SuspendedThread& operator=(const SuspendedThread&) = delete;

  void hold(OsHandle thread) { thread_ = thread; }
  void resume() {
    if (thread_ == kNoHandle) {
      return;
    }
    platform_.resumeThread(thread_);
    platform_.closeHandle(thread_);
    thread_ = kNoHandle;
  }

 private:
  Platform& platform_;
  OsHandle thread_ = kNoHandle;
};

// Starts the command that follows "/e " (or "-e ") on the raw command line, suspended, and makes
// its identifier the only target. False when the run must end with status 1.
bool launchStage(Platform& platform, Output& output, std::wstring_view programPath,
                 CommandRequest& request, std::wstring& processIdText, SuspendedThread& thread) {
  std::wstring rawCommandLine = platform.getCommandLine();
  std::optional<std::wstring_view> command = findCommandTail(rawCommandLine);
  if (!command) {
    printUsage(output, programPath);
    return false;
  }
  LaunchedProcess launched;
  if (!platform.createSuspendedProcess(*command, launched)) {
    printWide(output, L"Not found: %s", {*command});
    return false;
  }
  thread.hold(launched.hThread);
  platform.closeHandle(launched.hProcess);
  processIdText = formatWide(L"%d", {static_cast<std::int32_t>(launched.dwProcessId)});
  request.targets.assign(1, processIdText);
  request.pidMode = true;
  return true;
}

// A run by identifier needs the entries of its identifiers only, and a busy machine's whole
// table would cost it far more than what it selects.
bool readProcessTable(Platform& platform, const CommandRequest& request,
                      std::vector<ProcessEntry>& table) {
  std::optional<std::vector<std::uint32_t>> processIds = selectedProcessIds(request);
  return processIds ? platform.lookUpProcesses(*processIds, table)
                    : platform.enumerateProcesses(table);
}

}  // namespace

int runAffinityRequest(Platform& platform, Output& output,
                       const std::vector<std::wstring>& arguments) {
  const std::wstring_view programPath =
      arguments.empty() ? std::wstring_view() : std::wstring_view(arguments[0]);
  CommandRequest request = parseArguments(arguments);

  ProcessorTopology topology = queryProcessorTopology(platform, output);
  if (topology.logicalProcessorCount == 0) {
    return kExitFailure;
  }
  if (request.reportMode) {
    printTopologyReport(output, topology);
  }

  std::wstring processIdText;  // the only target in launch mode
  SuspendedThread launchedThread(platform);
  if (request.launchMode) {
    if (!launchStage(platform, output, programPath, request, processIdText, launchedThread)) {
      return kExitFailure;
    }
  } else if (request.listMode) {
    request.requestedMask = 0;
    printWide(output, L"\n");
  } else if (request.targets.empty()) {
    if (!request.reportMode) {
      printUsage(output, programPath);
    }
    return kExitFailure;
  }

  std::vector<ProcessEntry> table;
  if (!readProcessTable(platform, request, table)) {
    printWide(output, L"Fail WTSEnumerateProcesses!\n");
    table.clear();
  }

  std::vector<std::uint32_t> selected;
  try {
    selected = selectProcesses(request, table);
  } catch (const std::regex_error&) {
    printWide(output, L"Invalid regex string!\n");
    return kExitFailure;
  }

  const std::uint32_t count = topology.logicalProcessorCount;
  const std::uint32_t width = maskHexWidth(count);
  std::uint64_t workingMask = request.requestedMask;
  for (std::uint32_t index : selected) {
    applyToProcess(platform, output, table[index], workingMask, count, width, request.listMode);
  }
  // The command shares this program's standard output: our lines go out before it can write.
  output.flush();
  launchedThread.resume();
  return output.writeFailed() ? kExitFailure : kExitSuccess;
}

}  // namespace vellicor
