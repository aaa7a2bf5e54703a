#include "platform/platform.h"

#include <algorithm>
#include <new>
#include <unordered_set>

namespace vellicor {

bool Platform::lookUpProcesses(const std::vector<std::uint32_t>& processIds,
                               std::vector<ProcessEntry>& table) {
  if (!enumerateProcesses(table)) {
    return false;
  }
  const std::unordered_set<std::uint32_t> wanted(processIds.begin(), processIds.end());
  table.erase(
      std::remove_if(table.begin(), table.end(),
                     [&](const ProcessEntry& entry) { return wanted.count(entry.ProcessId) == 0; }),
      table.end());
  return true;
}

bool Platform::resumedCommandStarted(OsHandle) {
  return true;
}

std::unique_ptr<std::byte[]> Platform::allocateBuffer(std::uint32_t length) {
  return std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[length]);
}

}  // namespace vellicor
