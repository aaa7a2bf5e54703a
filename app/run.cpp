#include "app/run.h"

#include <optional>
#include <utility>

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
  // The topology comes first: it tells how wide the machine's masks are, and so how a requested
  // mask is read. Reading the arguments prints nothing and cannot fail, so nothing shows the order.
  ProcessorTopology topology = queryProcessorTopology(platform, output);
  if (topology.logicalProcessorCount == 0) {
    return kExitFailure;
  }
  const std::uint32_t span = processorSpan(topology);
  CommandRequest request = parseArguments(arguments, requestedMaskBits(span));
  if (request.reportMode) {
    printTopologyReport(output, topology);
  }

  LaunchedCommand launched(platform);
  if (request.launchMode) {
    if (!launched.start(output, programPath, request)) {
      return kExitFailure;
    }
  } else if (request.listMode) {
    request.requestedMask.clear();
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

  std::optional<std::vector<std::uint32_t>> selection = selectProcesses(request, table);
  if (!selection) {
    printWide(output, L"Invalid regex string!\n");
    return kExitFailure;
  }
  const std::vector<std::uint32_t> selected = std::move(*selection);

  MaskWork work;
  work.workingMask = request.requestedMask;
  work.span = span;
  work.width = maskHexWidth(span);
  work.listMode = request.listMode;
  for (std::uint32_t index : selected) {
    applyToProcess(platform, output, table[index], work);
  }
  // The command shares this program's standard output: our lines go out before it can write.
  output.flush();
  // A command left suspended, or one that turned out not to start, is a failure the user must hear
  // of.
  const bool resumed = launched.resume(output);
  output.flush();
  return output.writeFailed() || !resumed ? kExitFailure : kExitSuccess;
}

}  // namespace vellicor
