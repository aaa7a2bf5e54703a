#pragma once

// The process table of a Linux machine: every process (not thread) under /proc, in ascending
// identifier order, named as ps and top name it.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {

// The kernel keeps a process name of at most this many bytes and cuts longer file names there.
inline constexpr std::size_t kKernelNameLength = 15;

// What tells a process from a later one that reuses its identifier. The /proc/PID directory of
// a new process gets a new inode, while the inode of a running process only changes if the
// kernel dropped its cached directory entry. In that case the start time settles it: a process
// that started after the table was read is not the one in the table. Start times count clock
// ticks, and a newcomer may start in the very tick its predecessor did, so a start time at or
// after the tick of the table is refused even for the process of the table: in that rare case
// (a young process whose entry the kernel rebuilt) a process is left alone, never a stranger
// changed.
struct ProcessIdentity {
  pid_t pid = 0;
  ino_t procInode = 0;
  std::uint64_t latestStartTime = 0;  // clock ticks after boot, as in /proc/PID/stat
};

// Opens the /proc directory at `path`; invalid when it cannot be opened or is not this process's
// own. A /proc of another process-identifier namespace (a host's /proc bind-mounted into a
// container, or the one left in place by `unshare --pid` without a new mount) names processes by
// numbers that the sched_* calls, which take numbers of this process's namespace, give to others:
// every name, thread list and identity read through it would be applied to the wrong process.
UniqueFd openOwnProc(const char* path = "/proc");

// "PID/file" (or "PID" alone), relative to the /proc directory.
std::string procPath(pid_t pid, std::string_view file = {});

// The start time in a /proc/PID/stat line; false when the line is not a stat line.
bool parseStartTime(std::string_view statLine, std::uint64_t& startTime);

// The first number of the line "FIELD:" of /proc/PID/status (of "Uid:", the real user).
bool readStatusNumber(int procDirectory, pid_t pid, std::string_view field, std::uint64_t& value);

// The most of /proc/PID/cmdline that is read for its first word.
inline constexpr std::size_t kCommandWordLimit = 4096;

// The first word of /proc/PID/cmdline, read up to its first NUL and a page at most: the rest may
// run to megabytes. Empty when the command line is empty or its first word longer than that.
// False, with errno set, when the file cannot be read.
bool readFirstCommandWord(int procDirectory, pid_t pid, std::string& word, ClosingBatch& closing);

// The file name in the target of /proc/PID/exe, without the " (deleted)" the kernel adds for a
// removed file.
std::string_view executableFileName(std::string_view exeTarget);
// The file name of the first word of /proc/PID/cmdline.
std::string_view commandFileName(std::string_view commandLine);
// The name the process was started under: `kernelName` itself, or, when the kernel may have cut
// it, the first of the two candidates that begins with it.
std::string_view completeKernelName(std::string_view kernelName, std::string_view executableName,
                                    std::string_view commandName);

// Reads the table from the /proc directory `procDirectory`; `identities` gets one entry per
// table entry, in the same order. Processes that end during the scan are left out. False when
// /proc cannot be listed, or a process could not be read for want of descriptors or memory:
// the table is then not to be had, rather than had without it.
//
// Each process costs two system calls (open and read its comm file) and a share of the directory
// listing and of the batched closes; the start time is only read when a process is opened and its
// inode has changed.
bool readProcessTable(int procDirectory, std::vector<ProcessEntry>& table,
                      std::vector<ProcessIdentity>& identities);

// The same for the processes of `processIds` alone, in identifier order and each once; an
// identifier that no process has, or that names a thread other than a process's first, is left
// out. Each one is looked up by name, so the cost follows the identifiers asked for, not the
// number of processes on the machine. The same failures as readProcessTable.
bool readProcessesById(int procDirectory, const std::vector<std::uint32_t>& processIds,
                       std::vector<ProcessEntry>& table, std::vector<ProcessIdentity>& identities);

}  // namespace vellicor::linux_platform
