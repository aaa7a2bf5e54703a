#pragma once

// The one seam between Vellicor's logic and the operating system. Every OS call the program
// makes goes through this interface, so the same core runs on Windows, on Linux and on the
// simulated platform of the tests. The operations mirror the Win32 calls named in the comments.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/affinity_mask.h"

namespace vellicor {

// An opaque handle to a process or a thread; kNoHandle means none (a failed open).
using OsHandle = std::uintptr_t;
inline constexpr OsHandle kNoHandle = 0;

// One entry of the process table (WTS_PROCESS_INFOW): only these two fields are ever read.
struct ProcessEntry {
  std::uint32_t ProcessId = 0;
  std::wstring pProcessName;  // the image name, e.g. notepad.exe
};

// SYSTEM_LOGICAL_PROCESSOR_INFORMATION, as laid out in the query buffer: ProcessorMask (u64) at
// offset 0, Relationship (u32) at offset 8, 4 bytes that Windows leaves as padding, then relation
// details nobody reads.
//
// A 64-bit mask names the processors of one processor group, so a machine with more processor
// numbers than that describes them as Windows does for its groups: the padding says which group
// the mask is relative to (ProcessorGroup, u16 at offset 12: processors 64 * group to
// 64 * group + 63), and a core, package or node that spans groups takes one record per group, each
// after the first marked as adding its processors to the record before it (ContinuesPrevious, u16
// at offset 14, nonzero). Windows' own query covers the group the caller runs in: its records say
// group 0 and continue nothing.
inline constexpr std::uint32_t kLogicalProcessorRecordSize = 32;
inline constexpr std::uint32_t kProcessorMaskOffset = 0;
inline constexpr std::uint32_t kRelationshipOffset = 8;
inline constexpr std::uint32_t kProcessorGroupOffset = 12;
inline constexpr std::uint32_t kContinuesPreviousOffset = 14;
// Groups at or beyond this are not read: 2^20 processors, far beyond any kernel's limit.
inline constexpr std::uint32_t kProcessorGroupLimit = 1u << 14;
inline constexpr std::uint32_t RelationProcessorCore = 0;
inline constexpr std::uint32_t RelationNumaNode = 1;
inline constexpr std::uint32_t RelationCache = 2;
inline constexpr std::uint32_t RelationProcessorPackage = 3;

// GetLastError code that asks the caller to retry with a buffer of the reported length.
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;

// What a process is opened for. Only a process whose mask will be set is asked for the right to
// set it: a process may grant reading its mask and nothing more, and asking for more than the
// operation needs is refused for protected processes.
enum class ProcessAccess {
  ReadMasks,  // PROCESS_QUERY_LIMITED_INFORMATION
  SetMask,    // PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_INFORMATION
};

// PROCESS_INFORMATION of a process created suspended.
struct LaunchedProcess {
  OsHandle hProcess = kNoHandle;
  OsHandle hThread = kNoHandle;
  std::uint32_t dwProcessId = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // WTSEnumerateProcessesW on the local machine: fills `table` in the platform's table order and
  // returns true, or returns false when no table can be had. The OS buffer is released inside.
  virtual bool enumerateProcesses(std::vector<ProcessEntry>& table) = 0;
  // The entries of the table that WTSEnumerateProcessesW would give for the identifiers in
  // `processIds` alone, in table order and each once; false when no table can be had. A platform
  // that can look processes up one by one makes a run by identifier cost what it selects; by
  // default the whole table is read and filtered.
  virtual bool lookUpProcesses(const std::vector<std::uint32_t>& processIds,
                               std::vector<ProcessEntry>& table);

  // OpenProcess with the rights `access` names and no inheritance; kNoHandle on failure.
  virtual OsHandle openProcess(std::uint32_t processId, ProcessAccess access) = 0;
  // GetProcessAffinityMask: false on failure. The masks are as wide as the platform's masks; the
  // caller reuses them from one process to the next. A process whose processors these masks cannot
  // name (Windows: threads in several processor groups) answers with an empty system mask.
  virtual bool getProcessAffinityMask(OsHandle process, AffinityMask& processMask,
                                      AffinityMask& systemMask) = 0;
  // SetProcessAffinityMask: false on failure, also for a mask the platform cannot express.
  virtual bool setProcessAffinityMask(OsHandle process, const AffinityMask& mask) = 0;
  // CloseHandle, for process and thread handles alike; the result is not looked at.
  virtual void closeHandle(OsHandle handle) = 0;

  // GetModuleHandleW(L"kernel32") + GetProcAddress("GetLogicalProcessorInformation"): false when
  // the platform lacks the query.
  virtual bool hasLogicalProcessorInformation() = 0;
  // GetLogicalProcessorInformation: `buffer` may be null; `length` is the buffer's size in bytes
  // on entry and the bytes written (or, with kErrorInsufficientBuffer, the bytes needed) on exit.
  virtual bool getLogicalProcessorInformation(std::byte* buffer, std::uint32_t& length) = 0;
  // GetLastError of the calling thread.
  virtual std::uint32_t getLastError() = 0;
  // The allocation behind the query buffer; null when the memory cannot be had.
  virtual std::unique_ptr<std::byte[]> allocateBuffer(std::uint32_t length);

  // GetCommandLineW: this process's raw command line, before any splitting.
  virtual std::wstring getCommandLine() = 0;
  // CreateProcessW(nullptr, command, ..., CREATE_SUSPENDED, ...): false on failure.
  virtual bool createSuspendedProcess(std::wstring_view command, LaunchedProcess& launched) = 0;
  // ResumeThread: false when the thread could not be let go.
  virtual bool resumeThread(OsHandle thread) = 0;
  // After resumeThread: false when the command turned out not to start after all. A platform
  // that holds a new process before its program is loaded learns only then that the program
  // cannot run; one that loads it at creation has failed the creation instead (the default).
  virtual bool resumedCommandStarted(OsHandle thread);
};

}  // namespace vellicor
