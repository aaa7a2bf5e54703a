#pragma once

#include <cstdint>

#include "platform/affinity_mask.h"
#include "platform/output.h"
#include "platform/platform.h"

namespace vellicor {

// Hexadecimal digits needed to show `span` bits.
std::uint32_t maskHexWidth(std::uint32_t span);

// What every selected process of a run is handled with. The masks are kept from one process to
// the next, so that the masks of a wide machine are allocated once per run, not once per process.
struct MaskWork {
  AffinityMask workingMask;  // the requested mask, narrowed process by process
  AffinityMask processMask;
  AffinityMask systemMask;
  std::uint32_t span = 0;   // the processor numbers a bar shows
  std::uint32_t width = 0;  // the hexadecimal digits a mask is padded to
  bool listMode = false;
};

// Opens one selected process, narrows the working mask to its system mask, sets it (or, when the
// working mask is empty, shows the current mask), prints at most one line and closes the process.
// A process with an empty system mask is reported and changes nothing, the working mask included.
void applyToProcess(Platform& platform, Output& output, const ProcessEntry& entry, MaskWork& work);

}  // namespace vellicor
