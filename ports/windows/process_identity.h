#pragma once

// Whether an opened process is still the one a process table listed under its identifier.
// Windows hands out an ended process's identifier again soon, so a process started after the
// table was read can bear an identifier the table gave to another: it must never be changed or
// shown as that entry. The table is read at one moment; a process created at that moment or
// later, or whose image file is not the one the table named, is not the listed process.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vellicor::windows_platform {

// A moment as GetSystemTimeAsFileTime and GetProcessTimes give it: 100 ns units since 1601.
std::uint64_t momentOf(const FILETIME& time);
// The clock by which Windows stamps a process's creation: the same coarse system time.
std::uint64_t currentMoment();

// What Windows tells of an opened process that sets it apart from another under its identifier.
struct ProcessIdentity {
  bool creationKnown = false;
  std::uint64_t creation = 0;  // GetProcessTimes
  bool imageKnown = false;
  std::wstring imagePath;  // QueryFullProcessImageNameW, such as C:\Windows\notepad.exe
};

// Needs PROCESS_QUERY_LIMITED_INFORMATION on `process`.
ProcessIdentity readProcessIdentity(HANDLE process);

// The file name of an image path: what follows its last backslash.
std::wstring_view imageFileName(std::wstring_view imagePath);

// The two marks of the process a table listed: created before the moment `tableMoment` the table
// was read (a process whose creation time cannot be read never is), and, where Windows can tell
// its image file (it cannot for its own System, Registry and Memory Compression processes), run
// from a file of the name `listedName` the table gave, in any letter case, as file names are
// compared. `listedName` is null for an identifier the table did not list.
bool createdBefore(const ProcessIdentity& identity, std::uint64_t tableMoment);
bool runsListedImage(const ProcessIdentity& identity, const std::wstring* listedName);

}  // namespace vellicor::windows_platform
