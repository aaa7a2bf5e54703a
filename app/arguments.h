#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/output.h"

namespace vellicor {

struct CommandRequest {
  std::uint64_t requestedMask = 0;
  bool reportMode = false;   // /c
  bool listMode = false;     // /l
  bool pidMode = false;      // /p
  bool patternMode = false;  // /g
  bool launchMode = false;   // /e
  // Borrowed from the argument vector, in argument order.
  std::vector<std::wstring_view> targets;
};

// Never fails and never prints: unknown options are ignored, malformed values read as 0 or
// saturate. Argument 0, the program path, is skipped.
CommandRequest parseArguments(const std::vector<std::wstring>& arguments);

// The lowest n processors: 2^n - 1 for 1 <= n <= 64, else 0.
std::uint64_t numberToMask(std::int32_t n);

void printUsage(Output& output, std::wstring_view programPath);

}  // namespace vellicor
