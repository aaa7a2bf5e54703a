#pragma once

// A cpuset of the cgroup v1 hierarchy for the tests' own children, removed with the object.
// Only processes a test started itself go into it, and they must have ended before it goes.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "child_process.h"

namespace vellicor::linux_test {

class CgroupCpuset {
 public:
  // A cpuset named `name` and this process's identifier, of the processors in `cpus` (a CPU
  // list); created() tells whether there is a v1 cpuset hierarchy to make it in.
  CgroupCpuset(const std::string& name, const std::string& cpus) {
    const std::filesystem::path hierarchy = "/sys/fs/cgroup/cpuset";
    const std::string mems = readWholeFile(hierarchy / "cpuset.mems");
    path_ = hierarchy / (name + "-" + std::to_string(getpid()));
    if (mems.empty() || mkdir(path_.c_str(), 0755) != 0) {
      path_.clear();
      return;
    }
    if (!write("cpuset.cpus", cpus) || !write("cpuset.mems", mems)) {
      rmdir(path_.c_str());
      path_.clear();
    }
  }
  ~CgroupCpuset() {
    if (!path_.empty()) {
      rmdir(path_.c_str());
    }
  }
  CgroupCpuset(const CgroupCpuset&) = delete;
  CgroupCpuset& operator=(const CgroupCpuset&) = delete;

  bool created() const { return !path_.empty(); }
  bool add(pid_t pid) { return write("cgroup.procs", std::to_string(pid)); }

 private:
  bool write(const char* file, const std::string& text) {
    std::ofstream stream(path_ / file);
    stream << text;
    stream.flush();
    return static_cast<bool>(stream);
  }

  std::filesystem::path path_;
};

}  // namespace vellicor::linux_test
