#pragma once

// The operating-system operations on Linux: processes from /proc, masks through the sched_*
// calls, the topology from sysfs in the layout of the Windows processor query, and commands
// started suspended. Handles are entries of a table of this object.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "ports/linux/linux_files.h"
#include "ports/linux/process_affinity.h"
#include "ports/linux/process_table.h"
#include "ports/linux/suspended_launch.h"
#include "ports/linux/sysfs_topology.h"

namespace vellicor::linux_platform {

// Last-error codes, with the values of their Windows namesakes.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorGenFailure = 31;  // sysfs holds no usable topology
inline constexpr std::uint32_t kErrorInvalidParameter = 87;

class LinuxPlatform : public Platform {
 public:
  // `sysfsRoot` is the directory holding the sys/ tree the topology is read from; processes
  // are always those of this machine.
  explicit LinuxPlatform(std::string sysfsRoot = "/", std::wstring commandLine = {});
  ~LinuxPlatform() override;
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  bool enumerateProcesses(std::vector<ProcessEntry>& table) override;
  bool lookUpProcesses(const std::vector<std::uint32_t>& processIds,
                       std::vector<ProcessEntry>& table) override;
  // Either access needs the right to set the process's affinity: Linux lets anyone read any
  // process's mask, but the program's rule is the same on both systems.
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
  bool resumedCommandStarted(OsHandle thread) override;

 private:
  OsHandle openChecked(pid_t pid, const ProcessIdentity* enumerated, ProcessAccess access);
  const ProcessIdentity* enumeratedIdentity(pid_t pid) const;
  const pid_t* processOf(OsHandle handle) const;
  OsHandle nextHandle();

  std::string sysfsRoot_;
  std::wstring commandLine_;
  UniqueFd procDirectory_;
  CallerRights rights_;
  ProcessAffinity affinity_;
  std::vector<ProcessIdentity> identities_;  // of the last table, in identifier order

  OsHandle lastHandle_ = kNoHandle;
  std::map<OsHandle, pid_t> processes_;
  std::map<OsHandle, std::unique_ptr<SuspendedLaunch>> launches_;

  bool topologyRead_ = false;
  bool topologyFound_ = false;
  std::vector<std::byte> topology_;  // the query's answer, written once

  std::uint32_t lastError_ = 0;
};

}  // namespace vellicor::linux_platform
