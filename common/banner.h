#pragma once

#include <string_view>

namespace vellicor {

// The first line of the usage text and of the topology report.
inline constexpr std::wstring_view kBanner = L"Vellicor version 0.7.0 (x64) by Quennet\n";

}  // namespace vellicor
