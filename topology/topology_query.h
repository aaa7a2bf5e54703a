#pragma once

#include <cstdint>
#include <vector>

#include "platform/output.h"
#include "platform/platform.h"

namespace vellicor {

struct ProcessorTopology {
  std::uint32_t logicalProcessorCount = 0;  // 0: the query failed
  std::vector<std::uint64_t> coreMasks;
  std::vector<std::uint64_t> packageMasks;
  std::vector<std::uint64_t> numaNodeMasks;
};

// Asks the platform for its logical-processor records and condenses them. Prints a message on
// failure and returns a count of 0.
ProcessorTopology queryProcessorTopology(Platform& platform, Output& output);

}  // namespace vellicor
