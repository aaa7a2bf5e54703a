#pragma once

// Mount tables of the tests' own: a child process moves into a mount namespace whose mounts
// propagate nowhere, and what it mounts or unmounts there ends with it, unseen by the machine.
// Needs root; the helpers report failure instead of skipping, since they run in a child.

#include <sched.h>
#include <sys/mount.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace vellicor::linux_test {

// Where the kernel hands out /proc/self/mountinfo a page of records at a time: a reader that
// stops at a short read sees at most the first page of it.
constexpr std::size_t kMountTableShortReadDepth = 16 * 1024;

inline bool enterPrivateMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Mounts `count` tiny tmpfs instances on top of one another at `directory`, each a line of the
// mount table.
inline bool stackMounts(const std::filesystem::path& directory, int count) {
  for (int i = 0; i < count; ++i) {
    if (mount("vellicor-stack", directory.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "size=4k") != 0) {
      return false;
    }
  }
  return true;
}

inline std::string readMountTable() {
  return readWholeFile("/proc/self/mountinfo");  // read until the end, whatever each read gives
}

// The mount points of the cgroup hierarchies (v1 and v2) in `mountTable`.
inline std::vector<std::string> cgroupMountPoints(const std::string& mountTable) {
  std::vector<std::string> points;
  std::size_t begin = 0;
  while (begin < mountTable.size()) {
    std::size_t end = mountTable.find('\n', begin);
    if (end == std::string::npos) {
      end = mountTable.size();
    }
    const std::string_view line(mountTable.data() + begin, end - begin);
    begin = end + 1;
    // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [TAGS...] - FSTYPE SOURCE SUPEROPTIONS
    const std::size_t type = line.find(" - ");
    if (type == std::string_view::npos || !(line.substr(type + 3).starts_with("cgroup ") ||
                                            line.substr(type + 3).starts_with("cgroup2 "))) {
      continue;
    }
    std::size_t field = 0;
    for (int skipped = 0; skipped < 4 && field != std::string_view::npos; ++skipped) {
      field = line.find(' ', field);
      field = field == std::string_view::npos ? field : field + 1;
    }
    if (field != std::string_view::npos) {
      points.emplace_back(line.substr(field, line.find(' ', field) - field));
    }
  }
  return points;
}

// Takes every cgroup hierarchy out of this namespace, so that one mounted afterwards is the only
// one. False when one is left.
inline bool detachCgroupMounts() {
  for (const std::string& point : cgroupMountPoints(readMountTable())) {
    umount2(point.c_str(), MNT_DETACH);  // gone already when it sat below one detached before
  }
  return cgroupMountPoints(readMountTable()).empty();
}

// Where the line of the mount at `mountPoint` begins in `mountTable`; npos when there is none.
inline std::size_t mountLineOffset(const std::string& mountTable, const std::string& mountPoint) {
  const std::size_t at = mountTable.find(" " + mountPoint + " ");
  if (at == std::string::npos) {
    return at;
  }
  const std::size_t lineStart = mountTable.rfind('\n', at);
  return lineStart == std::string::npos ? 0 : lineStart + 1;
}

}  // namespace vellicor::linux_test
