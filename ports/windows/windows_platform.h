#pragma once

// The platform operations on the Win32 calls themselves. Handles cross the seam as their HANDLE
// values; the process table and the query function are the operating system's own.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "ports/windows/write_watch.h"

namespace vellicor::windows_platform {

class HeldCommand;
class SystemLibrary;

class WindowsPlatform : public Platform {
 public:
  // `writes` tells a command held suspended when standard output blocks; it must outlive this
  // object, which lets such a command go at the latest when it ends.
  explicit WindowsPlatform(const WriteWatch& writes);
  WindowsPlatform();
  ~WindowsPlatform() override;
  WindowsPlatform(const WindowsPlatform&) = delete;
  WindowsPlatform& operator=(const WindowsPlatform&) = delete;

  bool enumerateProcesses(std::vector<ProcessEntry>& table) override;

  // Once a table was read, only the process it listed under an identifier is opened by it
  // (process_identity.h); any other fails as an ended process would.
  OsHandle openProcess(std::uint32_t processId, ProcessAccess access) override;
  bool getProcessAffinityMask(OsHandle process, AffinityMask& processMask,
                              AffinityMask& systemMask) override;
  bool setProcessAffinityMask(OsHandle process, const AffinityMask& mask) override;
  void closeHandle(OsHandle handle) override;

  bool hasLogicalProcessorInformation() override;
  bool getLogicalProcessorInformation(std::byte* buffer, std::uint32_t& length) override;
  std::uint32_t getLastError() override;

  std::wstring getCommandLine() override;
  bool createSuspendedProcess(std::wstring_view command, LaunchedProcess& launched) override;
  bool resumeThread(OsHandle thread) override;

 private:
  bool openedListedProcess(void* process, std::uint32_t processId) const;

  // The generic function type: GCC accepts casts to and from it without a cast-function-type
  // warning, which a direct cast from FARPROC would draw.
  using AnyFunction = void (*)();
  // GetLogicalProcessorInformation, looked up by name so that a system without it still starts.
  AnyFunction logicalProcessorQuery_ = nullptr;
  // WTSAPI32, loaded from the system directory when the first table is read.
  std::unique_ptr<SystemLibrary> terminalServices_;

  // The last table: the moment it was read and the image name of each identifier it listed.
  bool tableRead_ = false;
  std::uint64_t tableMoment_ = 0;
  std::unordered_map<std::uint32_t, std::wstring> listedNames_;

  // The command started suspended: its identity, and its thread while it is held.
  WriteWatch ownWrites_;
  const WriteWatch& writes_;
  std::uint32_t launchedId_ = 0;
  std::uint64_t launchedCreation_ = 0;
  OsHandle heldThread_ = kNoHandle;
  std::unique_ptr<HeldCommand> held_;
};

}  // namespace vellicor::windows_platform
