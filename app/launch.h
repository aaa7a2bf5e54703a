#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vellicor {

// The command after the first "/e " of the raw command line, or else after the first "-e ";
// nothing when neither occurs.
std::optional<std::wstring_view> findCommandTail(std::wstring_view rawCommandLine);

}  // namespace vellicor
