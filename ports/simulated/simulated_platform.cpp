#include "ports/simulated/simulated_platform.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "platform/processor_records.h"

namespace vellicor::simulated {

namespace {

std::string hex(const AffinityMask& mask) {
  std::ostringstream text;
  text << mask;
  return text.str();
}

std::string narrow(std::wstring_view text) {
  std::string result;
  for (wchar_t character : text) {
    result.push_back(character < 0x80 ? static_cast<char>(character) : '?');
  }
  return result;
}

}  // namespace

void SimulatedPlatform::addTopologyRecord(std::uint64_t mask, std::uint32_t relationship,
                                          std::uint16_t group, bool continuesPrevious) {
  appendProcessorRecord(mask, relationship, group, continuesPrevious, topologyRecords);
}

void SimulatedPlatform::addWideTopologyRecord(const AffinityMask& mask,
                                              std::uint32_t relationship) {
  appendProcessorRecords(mask, relationship, topologyRecords);
}

void SimulatedPlatform::useSimpleTopology(std::uint32_t cores, std::uint32_t threadsPerCore) {
  AffinityMask all;
  for (std::uint32_t core = 0; core < cores; ++core) {
    AffinityMask mask;
    mask.setRange(core * threadsPerCore, (core + 1) * threadsPerCore - 1);
    addWideTopologyRecord(mask, RelationProcessorCore);
    all.unite(mask);
  }
  addWideTopologyRecord(all, RelationProcessorPackage);
  addWideTopologyRecord(all, RelationNumaNode);
}

const SimulatedProcess* SimulatedPlatform::find(std::uint32_t processId) const {
  for (const SimulatedProcess& process : processes) {
    if (process.ProcessId == processId) {
      return &process;
    }
  }
  return nullptr;
}

std::vector<std::string> SimulatedPlatform::callsStartingWith(const std::string& prefix) const {
  std::vector<std::string> matching;
  for (const std::string& call : calls) {
    if (call.rfind(prefix, 0) == 0) {
      matching.push_back(call);
    }
  }
  return matching;
}

bool SimulatedPlatform::enumerateProcesses(std::vector<ProcessEntry>& table) {
  calls.push_back("WTSEnumerateProcessesW");
  if (enumerationFails) {
    return false;
  }
  table.clear();
  for (const SimulatedProcess& process : processes) {
    table.push_back({process.ProcessId, process.imageName});
  }
  return true;
}

bool SimulatedPlatform::lookUpProcesses(const std::vector<std::uint32_t>& processIds,
                                        std::vector<ProcessEntry>& table) {
  std::string call = "lookUpProcesses";
  for (std::uint32_t processId : processIds) {
    call.push_back(' ');
    call.append(std::to_string(processId));
  }
  calls.push_back(call);
  if (enumerationFails) {
    return false;
  }
  table.clear();
  for (const SimulatedProcess& process : processes) {
    if (std::find(processIds.begin(), processIds.end(), process.ProcessId) != processIds.end()) {
      table.push_back({process.ProcessId, process.imageName});
    }
  }
  return true;
}

OsHandle SimulatedPlatform::newHandle(std::uint32_t processId) {
  OsHandle handle = nextHandle_++;
  handleOwners_.emplace_back(handle, processId);
  openHandles.insert(handle);
  return handle;
}

SimulatedProcess* SimulatedPlatform::processFor(OsHandle handle) {
  if (openHandles.count(handle) == 0) {
    return nullptr;
  }
  for (const auto& [owned, processId] : handleOwners_) {
    if (owned == handle) {
      return const_cast<SimulatedProcess*>(find(processId));
    }
  }
  return nullptr;
}

OsHandle SimulatedPlatform::openProcess(std::uint32_t processId, ProcessAccess access) {
  const bool toSet = access == ProcessAccess::SetMask;
  const std::string call = "OpenProcess " + std::to_string(processId) + (toSet ? "" : " to read");
  const SimulatedProcess* process = find(processId);
  if (process == nullptr || process->cannotOpen || (toSet && process->cannotOpenForSetting)) {
    calls.push_back(call + " failed");
    return kNoHandle;
  }
  OsHandle handle = newHandle(processId);
  calls.push_back(call);
  return handle;
}

bool SimulatedPlatform::getProcessAffinityMask(OsHandle handle, AffinityMask& processMask,
                                               AffinityMask& systemMask) {
  SimulatedProcess* process = processFor(handle);
  calls.push_back("GetProcessAffinityMask " +
                  (process ? std::to_string(process->ProcessId) : "bad handle"));
  if (process == nullptr || process->cannotReadMasks) {
    return false;
  }
  processMask = process->processMask;
  systemMask = process->systemMask;
  return true;
}

bool SimulatedPlatform::setProcessAffinityMask(OsHandle handle, const AffinityMask& mask) {
  SimulatedProcess* process = processFor(handle);
  calls.push_back("SetProcessAffinityMask " +
                  (process ? std::to_string(process->ProcessId) : "bad handle") + " " + hex(mask));
  if (process == nullptr || process->cannotSetMask) {
    return false;
  }
  process->processMask = mask;
  return true;
}

void SimulatedPlatform::closeHandle(OsHandle handle) {
  if (openHandles.erase(handle) == 0) {
    calls.push_back("CloseHandle of a handle that is not open");
    return;
  }
  if (handle == launchedThread_) {
    calls.push_back("CloseHandle thread");
    return;
  }
  for (const auto& [owned, processId] : handleOwners_) {
    if (owned == handle) {
      calls.push_back("CloseHandle " + std::to_string(processId));
    }
  }
}

bool SimulatedPlatform::hasLogicalProcessorInformation() {
  calls.push_back("GetProcAddress GetLogicalProcessorInformation");
  return !queryMissing;
}

bool SimulatedPlatform::getLogicalProcessorInformation(std::byte* buffer, std::uint32_t& length) {
  calls.push_back("GetLogicalProcessorInformation " + std::to_string(length));
  if (answersGiven_ < scriptedAnswers.size()) {
    const QueryAnswer& answer = scriptedAnswers[answersGiven_++];
    length = answer.length;
    lastError_ = answer.error;
    return answer.succeeds;
  }
  const auto needed = static_cast<std::uint32_t>(topologyRecords.size());
  if (buffer == nullptr || length < needed) {
    length = needed;
    lastError_ = kErrorInsufficientBuffer;
    return false;
  }
  if (needed != 0) {
    std::memcpy(buffer, topologyRecords.data(), needed);
  }
  length = needed;
  return true;
}

std::uint32_t SimulatedPlatform::getLastError() {
  return lastError_;
}

std::unique_ptr<std::byte[]> SimulatedPlatform::allocateBuffer(std::uint32_t length) {
  calls.push_back("allocate " + std::to_string(length));
  if (allocationFails) {
    return nullptr;
  }
  // Never less than one byte, so a zero-length buffer is still a buffer.
  return std::make_unique<std::byte[]>(length == 0 ? 1 : length);
}

std::wstring SimulatedPlatform::getCommandLine() {
  calls.push_back("GetCommandLineW");
  return commandLine;
}

bool SimulatedPlatform::createSuspendedProcess(std::wstring_view command,
                                               LaunchedProcess& launched) {
  calls.push_back("CreateProcessW " + narrow(command));
  if (creationFails) {
    return false;
  }
  processes.push_back(launchedProcess);
  launched.dwProcessId = launchedProcess.ProcessId;
  launched.hProcess = newHandle(launchedProcess.ProcessId);
  launched.hThread = newHandle(launchedProcess.ProcessId);
  launchedThread_ = launched.hThread;
  return true;
}

bool SimulatedPlatform::resumeThread(OsHandle thread) {
  const bool launched = thread == launchedThread_ && openHandles.count(thread) != 0;
  calls.push_back(launched ? "ResumeThread"
                           : "ResumeThread of a handle that is not the launched thread");
  return launched && !resumeFails;
}

// A question about the resumption, not an operation of its own: it stays out of `calls`.
bool SimulatedPlatform::resumedCommandStarted(OsHandle thread) {
  return thread != launchedThread_ || !startFailsOnResumption;
}

}  // namespace vellicor::simulated
