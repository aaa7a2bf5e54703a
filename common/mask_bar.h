#pragma once

#include <cstdint>

#include "platform/output.h"

namespace vellicor {

// Draws one character per logical processor, highest-numbered first: '*' where the mask's bit is
// set, '-' where it is clear. Draws nothing unless 1 <= count <= 64.
void printMaskBar(Output& output, std::uint64_t mask, std::uint32_t count);

}  // namespace vellicor
