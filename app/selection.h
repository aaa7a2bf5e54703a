#pragma once

#include <cstdint>
#include <vector>

#include "app/arguments.h"
#include "platform/platform.h"

namespace vellicor {

// Table indexes of the selected processes, each at most once, in table order. Throws
// std::regex_error when a /g pattern is invalid or exceeds its bounds at its first test.
std::vector<std::uint32_t> selectProcesses(const CommandRequest& request,
                                           const std::vector<ProcessEntry>& table);

// True when the image names are equal with ASCII letters folded to one case.
bool namesEqualIgnoringAsciiCase(std::wstring_view imageName, std::wstring_view target);

}  // namespace vellicor
