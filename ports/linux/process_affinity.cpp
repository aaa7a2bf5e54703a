#include "ports/linux/process_affinity.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>

#include "ports/linux/capabilities.h"
#include "ports/linux/cpu_list.h"
#include "ports/linux/every_thread.h"
#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {

namespace {

// A cgroup mount's line holds two paths of at most PATH_MAX bytes, which mountinfo may write with
// four bytes for each (an octal escape), and a few short fields: 64 KiB is twice that. Longer
// lines (an overlay's list of lower directories) describe no cgroup hierarchy.
constexpr std::size_t kMountLineLimit = 64 * 1024;

// mountinfo writes a space, tab, line feed or backslash in a path as a backslash and three
// octal digits.
std::string unescapeMountField(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      auto [end, error] = std::from_chars(field.data() + i + 1, field.data() + i + 4, value, 8);
      if (error == std::errc() && end == field.data() + i + 4) {
        text.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    text.push_back(field[i]);
  }
  return text;
}

std::vector<std::string_view> splitWords(std::string_view line, char separator) {
  std::vector<std::string_view> words;
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t end = std::min(line.find(separator, start), line.size());
    words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

bool hasWord(std::string_view list, std::string_view word) {
  for (std::string_view option : splitWords(list, ',')) {
    if (option == word) {
      return true;
    }
  }
  return false;
}

std::string_view trimLineEnd(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

CallerRights readCallerRights() {
  CallerRights rights;
  rights.effectiveUid = geteuid();
  rights.hasSysNice = hasEffectiveCapability(CAP_SYS_NICE);
  return rights;
}

AccessCheck checkProcessAccess(int procDirectory, pid_t pid, const ProcessIdentity* enumerated,
                               const CallerRights& rights, ProcessAccess access) {
  if (pid <= 0) {
    return AccessCheck::Gone;
  }
  std::string directoryPath = procPath(pid);
  struct stat directory {};
  if (fstatat(procDirectory, directoryPath.c_str(), &directory, 0) != 0) {
    return AccessCheck::Gone;
  }
  if (enumerated != nullptr && directory.st_ino != enumerated->procInode) {
    std::string stat;
    std::uint64_t startTime = 0;
    ClosingBatch closing;
    if (!readRecordAt(procDirectory, procPath(pid, "stat").c_str(), stat, closing) ||
        !parseStartTime(stat, startTime) || startTime >= enumerated->latestStartTime) {
      return AccessCheck::Gone;
    }
  }
  // The kernel makes a process's effective user the owner of its /proc directory, so the common
  // case needs no further read.
  if (access == ProcessAccess::ReadMasks || rights.hasSysNice ||
      directory.st_uid == rights.effectiveUid) {
    return AccessCheck::Allowed;
  }
  std::uint64_t realUid = 0;
  if (readStatusNumber(procDirectory, pid, "Uid", realUid) && realUid == rights.effectiveUid) {
    return AccessCheck::Allowed;
  }
  return AccessCheck::Denied;
}

ProcessAffinity::ProcessAffinity(int procDirectory) : procDirectory_(procDirectory) {}

bool ProcessAffinity::readProcessMask(pid_t pid, AffinityMask& mask) {
  lastRead_ = 0;
  if (!readThreadMask(pid, maskWords_, mask)) {
    return false;
  }
  lastRead_ = pid;
  lastMask_ = mask;
  return true;
}

void ProcessAffinity::systemMask(pid_t pid, const AffinityMask& processMask,
                                 AffinityMask& systemMask) {
  systemMask = onlineMask();
  // The kernel keeps every thread's mask inside its cpuset, so a mask that spans every online
  // processor proves the cpuset does too, and the cpuset need not be read.
  if (processMask.includes(systemMask)) {
    return;
  }
  if (const AffinityMask* cpuset = cpusetMask(pid)) {
    systemMask.intersect(*cpuset);
  }
}

bool ProcessAffinity::setProcessMask(pid_t pid, const AffinityMask& mask) {
  if (mask.none()) {
    return false;
  }
  TaskDirectory threads(procDirectory_, pid, closing_, lastRead_ == pid ? &lastMask_ : nullptr);
  lastRead_ = 0;
  return setEveryThread(threads, pid, mask);
}

const AffinityMask& ProcessAffinity::onlineMask() {
  if (!online_) {
    std::string text;
    AffinityMask cpus;
    if (!readFileAt(AT_FDCWD, "/sys/devices/system/cpu/online", text) ||
        !parseCpuList(text, cpus) || cpus.none()) {
      // Without sysfs, count the processors and take them to be numbered densely from 0.
      const long count = sysconf(_SC_NPROCESSORS_ONLN);
      cpus.clear();
      cpus.setRange(0, count > 0 && count < static_cast<long>(kCpuLimit)
                           ? static_cast<std::uint32_t>(count) - 1
                           : 0);
    }
    online_ = std::move(cpus);
  }
  return *online_;
}

const AffinityMask* ProcessAffinity::cpusetMask(pid_t pid) {
  std::string text;
  if (!readFileAt(procDirectory_, procPath(pid, "cpuset").c_str(), text)) {
    return nullptr;
  }
  std::string path(trimLineEnd(text));
  auto known = cpusets_.find(path);
  if (known == cpusets_.end()) {
    known = cpusets_.emplace(path, readCpusetFile(path)).first;
  }
  return known->second ? &*known->second : nullptr;
}

std::optional<AffinityMask> ProcessAffinity::readCpusetFile(const std::string& cgroupPath) {
  const CpusetHierarchy& cpusets = hierarchy();
  // A path outside the cgroups this process can see (one with "..") has no file to read here.
  if (!cpusets.found || !cgroupPath.starts_with('/') ||
      cgroupPath.find("/..") != std::string::npos) {
    return std::nullopt;
  }
  std::string_view relative = cgroupPath;
  if (cpusets.mountRoot != "/") {
    if (!relative.starts_with(cpusets.mountRoot)) {
      return std::nullopt;
    }
    relative.remove_prefix(cpusets.mountRoot.size());
    if (!relative.empty() && !relative.starts_with('/')) {
      return std::nullopt;  // a sibling whose name merely begins like the mounted cgroup
    }
  }
  std::string directory = cpusets.mountPoint;
  directory.append(relative);
  if (!directory.ends_with('/')) {
    directory.push_back('/');
  }
  // cgroup v1 has kept the plain list for older kernels, v2 only has the effective one.
  std::vector<std::string_view> files;
  if (cpusets.unified) {
    files = {"cpuset.cpus.effective"};
  } else {
    files = {"cpuset.effective_cpus", "cpuset.cpus"};
  }
  for (std::string_view file : files) {
    std::string text;
    AffinityMask cpus;
    if (readFileAt(AT_FDCWD, (directory + std::string(file)).c_str(), text) &&
        parseCpuList(text, cpus)) {
      return cpus;
    }
  }
  return std::nullopt;
}

const CpusetHierarchy& ProcessAffinity::hierarchy() {
  if (!hierarchy_) {
    hierarchy_ = readCpusetHierarchy(procDirectory_);
  }
  return *hierarchy_;
}

CpusetHierarchy readCpusetHierarchy(int procDirectory) {
  CpusetHierarchy cpusets;
  LineReader mountInfo(procDirectory, "self/mountinfo", kMountLineLimit);
  std::string_view line;
  while (mountInfo.next(line)) {
    if (addMountLine(line, cpusets)) {
      break;
    }
  }
  // A table read in part may lack the very line that counts.
  return mountInfo.failed() ? CpusetHierarchy() : cpusets;
}

bool addMountLine(std::string_view line, CpusetHierarchy& cpusets) {
  // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [TAGS...] - FSTYPE SOURCE SUPEROPTIONS
  std::vector<std::string_view> fields = splitWords(line, ' ');
  std::size_t separator = 6;
  while (separator < fields.size() && fields[separator] != "-") {
    ++separator;
  }
  if (separator + 3 >= fields.size()) {
    return false;
  }
  std::string_view type = fields[separator + 1];
  const bool legacy = type == "cgroup" && hasWord(fields[separator + 3], "cpuset");
  if (legacy || (type == "cgroup2" && !cpusets.found)) {
    cpusets.found = true;
    cpusets.unified = !legacy;
    cpusets.mountRoot = unescapeMountField(fields[3]);
    cpusets.mountPoint = unescapeMountField(fields[4]);
  }
  return legacy;
}

bool findCpusetMount(std::string_view mountInfo, bool& unified, std::string& mountPoint,
                     std::string& mountRoot) {
  CpusetHierarchy cpusets;
  for (std::string_view line : splitWords(mountInfo, '\n')) {
    if (addMountLine(line, cpusets)) {
      break;
    }
  }
  unified = cpusets.unified;
  mountPoint = cpusets.mountPoint;
  mountRoot = cpusets.mountRoot;
  return cpusets.found;
}

}  // namespace vellicor::linux_platform
