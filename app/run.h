#pragma once

#include <string>
#include <vector>

#include "platform/output.h"
#include "platform/platform.h"

namespace vellicor {

// The whole program: parses the arguments (argument 0 is the program path), queries the
// topology, selects processes and sets or shows their masks. Returns the exit status.
int runAffinityRequest(Platform& platform, Output& output,
                       const std::vector<std::wstring>& arguments);

}  // namespace vellicor
