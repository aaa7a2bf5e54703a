#pragma once

// Windows command-line quoting on Linux: an argument vector joined into one raw command line so
// that splitting it again by CommandLineToArgvW's rules gives back the same words.

#include <string>
#include <string_view>
#include <vector>

namespace vellicor::linux_platform {

std::wstring joinCommandLine(const std::vector<std::wstring>& arguments);
std::vector<std::wstring> splitCommandLine(std::wstring_view commandLine);

}  // namespace vellicor::linux_platform
