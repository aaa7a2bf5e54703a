#pragma once

#include <cstdint>

#include "platform/output.h"
#include "platform/platform.h"

namespace vellicor {

// Hexadecimal digits needed to show `count` bits.
std::uint32_t maskHexWidth(std::uint32_t count);

// Opens one selected process, narrows the working mask to its system mask, sets it (or, when the
// working mask is 0, shows the current mask), prints at most one line and closes the process.
void applyToProcess(Platform& platform, Output& output, const ProcessEntry& entry,
                    std::uint64_t& workingMask, std::uint32_t count, std::uint32_t width,
                    bool listMode);

}  // namespace vellicor
