#include "ports/linux/linux_platform.h"

#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/processor_records.h"
#include "ports/linux/stdout_output.h"

namespace vellicor::linux_platform {

LinuxPlatform::LinuxPlatform(std::string sysfsRoot, std::wstring commandLine)
    : sysfsRoot_(std::move(sysfsRoot)),
      commandLine_(std::move(commandLine)),
      procDirectory_(openOwnProc()),
      rights_(readCallerRights()),
      affinity_(procDirectory_.get()) {}

// Launched commands still held are resumed by their own destructors.
LinuxPlatform::~LinuxPlatform() = default;

bool LinuxPlatform::enumerateProcesses(std::vector<ProcessEntry>& table) {
  if (!procDirectory_.valid() || !readProcessTable(procDirectory_.get(), table, identities_)) {
    table.clear();
    identities_.clear();
    return false;
  }
  return true;
}

bool LinuxPlatform::lookUpProcesses(const std::vector<std::uint32_t>& processIds,
                                    std::vector<ProcessEntry>& table) {
  if (!procDirectory_.valid() ||
      !readProcessesById(procDirectory_.get(), processIds, table, identities_)) {
    table.clear();
    identities_.clear();
    return false;
  }
  return true;
}

OsHandle LinuxPlatform::openProcess(std::uint32_t processId, ProcessAccess access) {
  if (processId == 0 || processId > static_cast<std::uint32_t>(INT_MAX)) {
    lastError_ = kErrorInvalidParameter;
    return kNoHandle;
  }
  auto pid = static_cast<pid_t>(processId);
  return openChecked(pid, enumeratedIdentity(pid), access);
}

bool LinuxPlatform::getProcessAffinityMask(OsHandle process, AffinityMask& processMask,
                                           AffinityMask& systemMask) {
  const pid_t* pid = processOf(process);
  if (pid == nullptr || !affinity_.readProcessMask(*pid, processMask)) {
    lastError_ = kErrorInvalidParameter;
    return false;
  }
  affinity_.systemMask(*pid, processMask, systemMask);
  return true;
}

bool LinuxPlatform::setProcessAffinityMask(OsHandle process, const AffinityMask& mask) {
  const pid_t* pid = processOf(process);
  if (pid == nullptr || !affinity_.setProcessMask(*pid, mask)) {
    lastError_ = kErrorInvalidParameter;
    return false;
  }
  return true;
}

void LinuxPlatform::closeHandle(OsHandle handle) {
  processes_.erase(handle);
  launches_.erase(handle);
}

bool LinuxPlatform::hasLogicalProcessorInformation() {
  return true;
}

bool LinuxPlatform::getLogicalProcessorInformation(std::byte* buffer, std::uint32_t& length) {
  if (!topologyRead_) {
    topologyRead_ = true;
    std::vector<TopologyRecord> records;
    topologyFound_ = readSysfsTopology(sysfsRoot_, records);
    for (const TopologyRecord& record : records) {
      appendProcessorRecords(record.ProcessorMask, record.Relationship, topology_);
    }
  }
  if (!topologyFound_) {
    lastError_ = kErrorGenFailure;
    return false;
  }
  const auto needed = static_cast<std::uint32_t>(topology_.size());
  if (buffer == nullptr || length < needed) {
    length = needed;
    lastError_ = kErrorInsufficientBuffer;
    return false;
  }
  std::memcpy(buffer, topology_.data(), needed);
  length = needed;
  return true;
}

std::uint32_t LinuxPlatform::getLastError() {
  return lastError_;
}

std::wstring LinuxPlatform::getCommandLine() {
  return commandLine_;
}

bool LinuxPlatform::createSuspendedProcess(std::wstring_view command, LaunchedProcess& launched) {
  auto launch = std::make_unique<SuspendedLaunch>();
  if (!launch->start(command)) {
    lastError_ = kErrorFileNotFound;
    return false;
  }
  pid_t pid = launch->processId();
  launched.dwProcessId = static_cast<std::uint32_t>(pid);
  // Just started, so whatever an earlier table held under its identifier was another process.
  launched.hProcess = openChecked(pid, nullptr, ProcessAccess::SetMask);
  launched.hThread = nextHandle();
  launches_.emplace(launched.hThread, std::move(launch));
  return true;
}

bool LinuxPlatform::resumeThread(OsHandle thread) {
  auto launch = launches_.find(thread);
  if (launch == launches_.end()) {
    return false;
  }
  launch->second->resume();
  return true;
}

bool LinuxPlatform::resumedCommandStarted(OsHandle thread) {
  auto launch = launches_.find(thread);
  return launch == launches_.end() || launch->second->error() == 0;
}

OsHandle LinuxPlatform::openChecked(pid_t pid, const ProcessIdentity* enumerated,
                                    ProcessAccess access) {
  switch (checkProcessAccess(procDirectory_.get(), pid, enumerated, rights_, access)) {
    case AccessCheck::Gone:
      lastError_ = kErrorInvalidParameter;
      return kNoHandle;
    case AccessCheck::Denied:
      lastError_ = kErrorAccessDenied;
      return kNoHandle;
    case AccessCheck::Allowed:
      break;
  }
  OsHandle handle = nextHandle();
  processes_.emplace(handle, pid);
  return handle;
}

const ProcessIdentity* LinuxPlatform::enumeratedIdentity(pid_t pid) const {
  auto found = std::lower_bound(
      identities_.begin(), identities_.end(), pid,
      [](const ProcessIdentity& identity, pid_t wanted) { return identity.pid < wanted; });
  return found != identities_.end() && found->pid == pid ? &*found : nullptr;
}

const pid_t* LinuxPlatform::processOf(OsHandle handle) const {
  auto found = processes_.find(handle);
  return found == processes_.end() ? nullptr : &found->second;
}

OsHandle LinuxPlatform::nextHandle() {
  return ++lastHandle_;
}

}  // namespace vellicor::linux_platform
