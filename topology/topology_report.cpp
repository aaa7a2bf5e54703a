#include "topology/topology_report.h"

#include <vector>

#include "common/banner.h"
#include "common/mask_bar.h"
#include "common/wide_format.h"

namespace vellicor {

namespace {

void printSection(Output& output, std::wstring_view heading, std::wstring_view label,
                  const std::vector<AffinityMask>& masks, std::uint32_t span) {
  printWide(output, heading);
  for (std::size_t i = 0; i < masks.size(); ++i) {
    printMaskBar(output, masks[i], span);
    printWide(output, label, {static_cast<std::uint32_t>(i)});
  }
}

}  // namespace

void printTopologyReport(Output& output, const ProcessorTopology& topology) {
  const std::uint32_t span = processorSpan(topology);
  output.writeText(kBanner);
  printWide(output, L"\nLogical Processor Information\n");
  printWide(output, L"Number of Logical Processor: %u\n", {topology.logicalProcessorCount});
  printSection(output, L"\nLogical to Physical Processor Map\n", L"  Physical Processor %u\n",
               topology.coreMasks, span);
  printSection(output, L"\nLogical Processor to Socket Map\n", L"  Socket %u\n",
               topology.packageMasks, span);
  printSection(output, L"\nLogical Processor to NUMA Node Map\n", L"  NUMA Node %u\n",
               topology.numaNodeMasks, span);
}

}  // namespace vellicor
