#pragma once

// A platform the tests script: a process table with per-process failures, a topology query with
// any sequence of answers, a launch that succeeds or fails. It records every call, so a test can
// check their order, that each handle was closed, and that nothing was set that must not be.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vellicor::simulated {

struct SimulatedProcess {
  std::uint32_t ProcessId = 0;
  std::wstring imageName;
  AffinityMask processMask = 0xff;
  AffinityMask systemMask = 0xff;
  bool cannotOpen = false;
  bool cannotReadMasks = false;
  bool cannotSetMask = false;
  // Lets its masks be read but not set: opened for reading only.
  bool cannotOpenForSetting = false;
};

// One scripted answer of the topology query, used before the default behaviour.
struct QueryAnswer {
  bool succeeds = false;
  std::uint32_t error = 0;   // the last error of a failed call
  std::uint32_t length = 0;  // the length reported back
};

class SimulatedPlatform : public Platform {
 public:
  // The scripted machine.
  std::vector<SimulatedProcess> processes;
  bool enumerationFails = false;
  bool queryMissing = false;
  // The records the query delivers; any byte length (a trailing partial record included).
  std::vector<std::byte> topologyRecords;
  // Answers given, in order, before the query answers from topologyRecords.
  std::vector<QueryAnswer> scriptedAnswers;
  bool allocationFails = false;
  std::wstring commandLine;
  bool creationFails = false;
  bool resumeFails = false;
  // The launched command turns out not to start once it is resumed.
  bool startFailsOnResumption = false;
  // The process a successful launch adds to the table.
  SimulatedProcess launchedProcess{4000, L"launched.exe"};

  // Appends one 32-byte record to topologyRecords: a mask relative to `group`, which may continue
  // the record before it.
  void addTopologyRecord(std::uint64_t mask, std::uint32_t relationship, std::uint16_t group = 0,
                         bool continuesPrevious = false);
  // Appends the records of one core, package or node of any width: one per processor group it
  // spans, the first one for an empty mask.
  void addWideTopologyRecord(const AffinityMask& mask, std::uint32_t relationship);
  // Cores of `threadsPerCore` logical processors each, one package and one NUMA node.
  void useSimpleTopology(std::uint32_t cores, std::uint32_t threadsPerCore);

  // What happened.
  std::vector<std::string> calls;
  std::set<OsHandle> openHandles;
  const SimulatedProcess* find(std::uint32_t processId) const;
  // The calls whose text starts with `prefix`.
  std::vector<std::string> callsStartingWith(const std::string& prefix) const;

  bool enumerateProcesses(std::vector<ProcessEntry>& table) override;
  // Recorded as "lookUpProcesses ID ...", never as a whole table.
  bool lookUpProcesses(const std::vector<std::uint32_t>& processIds,
                       std::vector<ProcessEntry>& table) override;
  // Recorded as "OpenProcess ID" when opened to set a mask, "OpenProcess ID to read" otherwise.
  OsHandle openProcess(std::uint32_t processId, ProcessAccess access) override;
  bool getProcessAffinityMask(OsHandle process, AffinityMask& processMask,
                              AffinityMask& systemMask) override;
  bool setProcessAffinityMask(OsHandle process, const AffinityMask& mask) override;
  void closeHandle(OsHandle handle) override;
  bool hasLogicalProcessorInformation() override;
  bool getLogicalProcessorInformation(std::byte* buffer, std::uint32_t& length) override;
  std::uint32_t getLastError() override;
  std::unique_ptr<std::byte[]> allocateBuffer(std::uint32_t length) override;
  std::wstring getCommandLine() override;
  bool createSuspendedProcess(std::wstring_view command, LaunchedProcess& launched) override;
  bool resumeThread(OsHandle thread) override;
  bool resumedCommandStarted(OsHandle thread) override;

 private:
  SimulatedProcess* processFor(OsHandle handle);
  OsHandle newHandle(std::uint32_t processId);

  std::vector<std::pair<OsHandle, std::uint32_t>> handleOwners_;  // handle -> process identifier
  OsHandle nextHandle_ = 0x100;
  std::size_t answersGiven_ = 0;
  std::uint32_t lastError_ = 0;
  OsHandle launchedThread_ = kNoHandle;
};

}  // namespace vellicor::simulated
