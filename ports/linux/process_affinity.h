#pragma once

// Affinity of Linux processes as the program sees it: who may change a process's mask, the mask
// of its main thread, the processors it may be given, and setting all of its threads at once.

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "ports/linux/process_table.h"

namespace vellicor::linux_platform {

// What the kernel looks at when this process changes another one's affinity.
struct CallerRights {
  uid_t effectiveUid = 0;
  bool hasSysNice = false;  // CAP_SYS_NICE: may change any process's affinity
};

CallerRights readCallerRights();

enum class AccessCheck { Allowed, Gone, Denied };

// Whether the process now at `pid` is still the one that was enumerated (`enumerated` is null
// for a process the table never held) and, when it is opened to set its mask, the caller may
// change its affinity: same effective or real user as the caller's effective user, or
// CAP_SYS_NICE. The kernel lets anyone read a mask.
AccessCheck checkProcessAccess(int procDirectory, pid_t pid, const ProcessIdentity* enumerated,
                               const CallerRights& rights, ProcessAccess access);

// Where this process sees the cgroup hierarchy that carries the cpuset controller.
struct CpusetHierarchy {
  bool found = false;
  bool unified = false;  // cgroup v2
  std::string mountPoint;
  std::string mountRoot;  // the cgroup mounted there, a prefix of the paths in /proc/PID/cpuset
};

// Reads the hierarchy from /proc/self/mountinfo below `procDirectory`, a line at a time: the
// table of a busy container host runs to megabytes.
CpusetHierarchy readCpusetHierarchy(int procDirectory);

// Takes one line of mountinfo into `cpusets`: the v1 hierarchy with the "cpuset" option, which
// settles the search (true), else the first cgroup2 mount.
bool addMountLine(std::string_view line, CpusetHierarchy& cpusets);

// Reads and sets masks for one run, remembering what does not change within it: the online
// processors and the processors of each cpuset.
class ProcessAffinity {
 public:
  // `procDirectory` (the /proc directory) stays owned by the caller.
  explicit ProcessAffinity(int procDirectory);

  // The mask of the main thread.
  bool readProcessMask(pid_t pid, AffinityMask& mask);
  // The processors the process may be given: online and in its cpuset.
  void systemMask(pid_t pid, const AffinityMask& processMask, AffinityMask& systemMask);
  // Sets every thread, and threads started while it runs as far as every_thread.h says. False
  // when any thread refused, the process is gone, or its threads kept getting the old mask back.
  bool setProcessMask(pid_t pid, const AffinityMask& mask);

 private:
  const AffinityMask& onlineMask();
  // The processors of the process's cpuset, kept for the run; null when they cannot be read.
  const AffinityMask* cpusetMask(pid_t pid);
  std::optional<AffinityMask> readCpusetFile(const std::string& cgroupPath);
  const CpusetHierarchy& hierarchy();

  int procDirectory_;
  std::optional<AffinityMask> online_;
  std::optional<CpusetHierarchy> hierarchy_;
  std::map<std::string, std::optional<AffinityMask>> cpusets_;
  std::vector<std::uint64_t> maskWords_;  // as wide as the kernel's masks, once one was read
  // The main thread's mask as the last read gave it: what is put back should the process turn
  // out to have ended and its identifier to name another process by the time it is set.
  pid_t lastRead_ = 0;
  AffinityMask lastMask_;
  // The task directories of the processes set, closed a batch at a time.
  ClosingBatch closing_;
};

// The same search over the text of a whole mount table.
bool findCpusetMount(std::string_view mountInfo, bool& unified, std::string& mountPoint,
                     std::string& mountRoot);

}  // namespace vellicor::linux_platform
