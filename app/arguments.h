#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/affinity_mask.h"
#include "platform/output.h"

namespace vellicor {

struct CommandRequest {
  AffinityMask requestedMask;
  bool reportMode = false;   // /c
  bool listMode = false;     // /l
  bool pidMode = false;      // /p
  bool patternMode = false;  // /g
  bool launchMode = false;   // /e
  // Borrowed from the argument vector, in argument order.
  std::vector<std::wstring_view> targets;
};

// Never fails and never prints: unknown options are ignored, malformed values read as 0 or
// saturate at `maskBits` bits, the width of the machine's masks. Argument 0, the program path, is
// skipped.
CommandRequest parseArguments(const std::vector<std::wstring>& arguments, std::uint32_t maskBits);

// The width at which requested masks are read on a machine whose processor numbers stay below
// `span`: a whole number of 64-bit words, at least one.
std::uint32_t requestedMaskBits(std::uint32_t span);

// The lowest n processors: 2^n - 1 for 1 <= n <= maskBits, else 0.
AffinityMask numberToMask(std::int32_t n, std::uint32_t maskBits);

void printUsage(Output& output, std::wstring_view programPath);

}  // namespace vellicor
