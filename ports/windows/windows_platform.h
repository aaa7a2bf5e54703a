#pragma once

// The platform operations on the Win32 calls themselves. Handles cross the seam as their HANDLE
// values; the process table and the query function are the operating system's own.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vellicor::windows_platform {

class WindowsPlatform : public Platform {
 public:
  bool enumerateProcesses(std::vector<ProcessEntry>& table) override;

  OsHandle openProcess(std::uint32_t processId) override;
  bool getProcessAffinityMask(OsHandle process, AffinityMask& processMask,
                              AffinityMask& systemMask) override;
  bool setProcessAffinityMask(OsHandle process, const AffinityMask& mask) override;
  void closeHandle(OsHandle handle) override;

  bool hasLogicalProcessorInformation() override;
  bool getLogicalProcessorInformation(std::byte* buffer, std::uint32_t& length) override;
  std::uint32_t getLastError() override;

  std::wstring getCommandLine() override;
  bool createSuspendedProcess(std::wstring_view command, LaunchedProcess& launched) override;
  void resumeThread(OsHandle thread) override;

 private:
  // The generic function type: GCC accepts casts to and from it without a cast-function-type
  // warning, which a direct cast from FARPROC would draw.
  using AnyFunction = void (*)();
  // GetLogicalProcessorInformation, looked up by name so that a system without it still starts.
  AnyFunction logicalProcessorQuery_ = nullptr;
};

}  // namespace vellicor::windows_platform
