#pragma once

#include <cstdint>

#include "platform/affinity_mask.h"
#include "platform/output.h"

namespace vellicor {

// Draws one character per processor number below `span`, highest-numbered first: '*' where the
// mask holds the processor, '-' where it does not. Processors at or above `span` are not drawn.
void printMaskBar(Output& output, const AffinityMask& mask, std::uint32_t span);

}  // namespace vellicor
