#include "app/launch.h"

namespace vellicor {

std::optional<std::wstring_view> findCommandTail(std::wstring_view rawCommandLine) {
  // Only one plain space separates the option from the command; a tab does not count.
  for (std::wstring_view option : {std::wstring_view(L"/e "), std::wstring_view(L"-e ")}) {
    std::size_t at = rawCommandLine.find(option);
    if (at != std::wstring_view::npos) {
      return rawCommandLine.substr(at + option.size());
    }
  }
  return std::nullopt;
}

}  // namespace vellicor
