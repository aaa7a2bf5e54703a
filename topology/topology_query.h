#pragma once

#include <cstdint>
#include <vector>

#include "platform/affinity_mask.h"
#include "platform/output.h"
#include "platform/platform.h"

namespace vellicor {

struct ProcessorTopology {
  std::uint32_t logicalProcessorCount = 0;  // 0: the query failed
  std::vector<AffinityMask> coreMasks;
  std::vector<AffinityMask> packageMasks;
  std::vector<AffinityMask> numaNodeMasks;
};

// Asks the platform for its logical-processor records and condenses them. Prints a message on
// failure and returns a count of 0.
ProcessorTopology queryProcessorTopology(Platform& platform, Output& output);

// One more than the highest processor of any core: how many processor numbers a bar shows and a
// mask's digits cover. It equals the processor count where the numbers have no holes.
std::uint32_t processorSpan(const ProcessorTopology& topology);

}  // namespace vellicor
