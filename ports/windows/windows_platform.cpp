#include "ports/windows/windows_platform.h"

#include <windows.h>
#include <wtsapi32.h>

#include <cstddef>
#include <cstring>
#include <span>
#include <utility>

#include "ports/windows/held_command.h"
#include "ports/windows/process_identity.h"
#include "ports/windows/system_library.h"

namespace vellicor::windows_platform {

namespace {

// The core reads the query buffer and the process table by these layouts and values.
static_assert(sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) == kLogicalProcessorRecordSize);
static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION, ProcessorMask) ==
              kProcessorMaskOffset);
static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION, Relationship) == kRelationshipOffset);
static_assert(static_cast<std::uint32_t>(::RelationProcessorCore) == RelationProcessorCore);
static_assert(static_cast<std::uint32_t>(::RelationNumaNode) == RelationNumaNode);
static_assert(static_cast<std::uint32_t>(::RelationCache) == RelationCache);
static_assert(static_cast<std::uint32_t>(::RelationProcessorPackage) == RelationProcessorPackage);
static_assert(ERROR_INSUFFICIENT_BUFFER == kErrorInsufficientBuffer);
static_assert(sizeof(STARTUPINFOW) == 104);
static_assert(sizeof(DWORD_PTR) == sizeof(std::uint64_t));
// The group fields of the program's records lie in what Windows leaves as padding.
static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION, Relationship) +
                  sizeof(LOGICAL_PROCESSOR_RELATIONSHIP) ==
              kProcessorGroupOffset);
static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION, ProcessorCore) ==
              kContinuesPreviousOffset + sizeof(std::uint16_t));

using LogicalProcessorQuery = BOOL(WINAPI*)(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION, PDWORD);

HANDLE toHandle(OsHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
OsHandle fromHandle(HANDLE handle) {
  return reinterpret_cast<OsHandle>(handle);
}

using EnumerateProcessesFunction = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_PROCESS_INFOW*, DWORD*);
using FreeMemoryFunction = void(WINAPI*)(PVOID);

// The one owner of the table WTSEnumerateProcessesW allocates.
class ProcessTable {
 public:
  explicit ProcessTable(const SystemLibrary& terminalServices)
      : enumerate_(reinterpret_cast<EnumerateProcessesFunction>(
            terminalServices.find("WTSEnumerateProcessesW"))),
        free_(reinterpret_cast<FreeMemoryFunction>(terminalServices.find("WTSFreeMemory"))) {}
  ~ProcessTable() {
    if (entries_ != nullptr) {
      free_(entries_);
    }
  }
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  bool enumerate() {
    return enumerate_ != nullptr && free_ != nullptr &&
           enumerate_(WTS_CURRENT_SERVER_HANDLE, 0, 1, &entries_, &count_) != FALSE;
  }
  const WTS_PROCESS_INFOW* begin() const { return entries_; }
  const WTS_PROCESS_INFOW* end() const { return entries_ == nullptr ? nullptr : entries_ + count_; }
  DWORD size() const { return count_; }

 private:
  EnumerateProcessesFunction enumerate_;
  FreeMemoryFunction free_;
  WTS_PROCESS_INFOW* entries_ = nullptr;
  DWORD count_ = 0;
};

}  // namespace

WindowsPlatform::WindowsPlatform(const WriteWatch& writes) : writes_(writes) {}

WindowsPlatform::WindowsPlatform() : writes_(ownWrites_) {}

// A command still held is let go here at the latest.
WindowsPlatform::~WindowsPlatform() = default;

bool WindowsPlatform::enumerateProcesses(std::vector<ProcessEntry>& table) {
  if (!terminalServices_) {
    terminalServices_ = std::make_unique<SystemLibrary>(L"wtsapi32.dll");
  }
  tableRead_ = true;
  tableMoment_ = currentMoment();
  listedNames_.clear();
  ProcessTable processes(*terminalServices_);
  if (!processes.enumerate()) {
    return false;
  }
  table.clear();
  table.reserve(processes.size());
  listedNames_.reserve(processes.size());
  for (const WTS_PROCESS_INFOW& info : processes) {
    ProcessEntry entry;
    entry.ProcessId = info.ProcessId;
    if (info.pProcessName != nullptr) {
      entry.pProcessName = info.pProcessName;
    }
    listedNames_.emplace(entry.ProcessId, entry.pProcessName);
    table.push_back(std::move(entry));
  }
  return true;
}

OsHandle WindowsPlatform::openProcess(std::uint32_t processId, ProcessAccess access) {
  // Reading the masks, the creation time and the image name needs no more than this.
  DWORD rights = PROCESS_QUERY_LIMITED_INFORMATION;
  if (access == ProcessAccess::SetMask) {
    rights |= PROCESS_SET_INFORMATION;
  }
  HANDLE process = OpenProcess(rights, FALSE, processId);
  if (process == nullptr) {
    return kNoHandle;
  }
  if (!openedListedProcess(process, processId)) {
    CloseHandle(process);
    SetLastError(ERROR_INVALID_PARAMETER);  // what opening an ended process answers
    return kNoHandle;
  }
  return fromHandle(process);
}

bool WindowsPlatform::openedListedProcess(void* process, std::uint32_t processId) const {
  if (!tableRead_) {
    return true;
  }
  const ProcessIdentity identity = readProcessIdentity(static_cast<HANDLE>(process));
  const auto listed = listedNames_.find(processId);
  const std::wstring* listedName = listed == listedNames_.end() ? nullptr : &listed->second;
  // The command started suspended may have been created in the very tick the table was read; its
  // own creation time tells it apart from any later process under its identifier.
  const bool launchedCommand = launchedId_ != 0 && processId == launchedId_ &&
                               identity.creationKnown && identity.creation == launchedCreation_;
  return (launchedCommand || createdBefore(identity, tableMoment_)) &&
         runsListedImage(identity, listedName);
}

bool WindowsPlatform::getProcessAffinityMask(OsHandle process, AffinityMask& processMask,
                                             AffinityMask& systemMask) {
  DWORD_PTR processBits = 0;
  DWORD_PTR systemBits = 0;
  if (!GetProcessAffinityMask(toHandle(process), &processBits, &systemBits)) {
    return false;
  }
  // Assigned in place: the caller's masks keep their memory from one process to the next.
  processMask.assignWords(std::span<const std::uint64_t>(&processBits, 1));
  systemMask.assignWords(std::span<const std::uint64_t>(&systemBits, 1));
  return true;
}

bool WindowsPlatform::setProcessAffinityMask(OsHandle process, const AffinityMask& mask) {
  // A process's mask names processors of one group: a mask beyond it cannot be set, only cut.
  if (mask.span() > 64) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return SetProcessAffinityMask(toHandle(process), mask.word(0)) != FALSE;
}

void WindowsPlatform::closeHandle(OsHandle handle) {
  CloseHandle(toHandle(handle));
  if (handle == heldThread_) {
    held_.reset();
    heldThread_ = kNoHandle;
  }
}

bool WindowsPlatform::hasLogicalProcessorInformation() {
  if (logicalProcessorQuery_ == nullptr) {
    FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32"), "GetLogicalProcessorInformation");
    logicalProcessorQuery_ = reinterpret_cast<AnyFunction>(found);
  }
  return logicalProcessorQuery_ != nullptr;
}

bool WindowsPlatform::getLogicalProcessorInformation(std::byte* buffer, std::uint32_t& length) {
  if (!hasLogicalProcessorInformation()) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  auto query = reinterpret_cast<LogicalProcessorQuery>(logicalProcessorQuery_);
  DWORD bytes = length;
  BOOL succeeded = query(reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION>(buffer), &bytes);
  length = bytes;
  if (succeeded == FALSE) {
    return false;
  }
  // The query covers the group this program runs in, which its masks are relative to: group 0 of
  // the records, each complete in itself. Windows leaves those bytes as padding, with no promise.
  for (std::uint32_t offset = 0; offset + kLogicalProcessorRecordSize <= length;
       offset += kLogicalProcessorRecordSize) {
    std::memset(buffer + offset + kProcessorGroupOffset, 0, 2 * sizeof(std::uint16_t));
  }
  return true;
}

std::uint32_t WindowsPlatform::getLastError() {
  return GetLastError();
}

std::wstring WindowsPlatform::getCommandLine() {
  const wchar_t* raw = GetCommandLineW();
  return raw == nullptr ? std::wstring() : std::wstring(raw);
}

bool WindowsPlatform::createSuspendedProcess(std::wstring_view command, LaunchedProcess& launched) {
  // CreateProcessW may write into the command line it is given, so it gets a copy of its own.
  std::wstring commandLine(command);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &created)) {
    return false;
  }
  launched.hProcess = fromHandle(created.hProcess);
  launched.hThread = fromHandle(created.hThread);
  launched.dwProcessId = created.dwProcessId;

  const ProcessIdentity identity = readProcessIdentity(created.hProcess);
  launchedId_ = identity.creationKnown ? created.dwProcessId : 0;
  launchedCreation_ = identity.creation;
  // The held command keeps a thread handle of its own, so that the caller's stays the caller's.
  HANDLE thread = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), created.hThread, GetCurrentProcess(), &thread, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    held_.reset();
    held_ = std::make_unique<HeldCommand>(thread, writes_);
    heldThread_ = launched.hThread;
  }
  return true;
}

bool WindowsPlatform::resumeThread(OsHandle thread) {
  if (held_ && thread == heldThread_) {
    return held_->resume();
  }
  return ResumeThread(toHandle(thread)) != static_cast<DWORD>(-1);
}

}  // namespace vellicor::windows_platform
