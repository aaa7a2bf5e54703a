#pragma once

// Real processes for the Linux tests: a scratch directory, and children that run a program or
// a function and are killed and reaped when the test is done with them.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "ports/linux/cpu_list.h"

namespace vellicor::linux_test {

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vellicor-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    }
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    if (!path_.empty()) {
      std::filesystem::remove_all(path_, ignored);
    }
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

  // Runs `program` with `arguments` (argument 0 included) and returns once the program has
  // replaced the child, so its name is the program's.
  static ChildProcess execute(const std::string& program,
                              const std::vector<std::string>& arguments) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
      return ChildProcess();
    }
    ChildProcess child;
    child.pid_ = fork();
    if (child.pid_ == 0) {
      std::vector<char*> argv;
      for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
      }
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(ready[1]);
    char ignored;
    // The write end closes on exec (or on the child's exit).
    while (read(ready[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    return child;
  }

  // Runs `body` in a forked child, which never returns into the test; `body` ends by pausing
  // or exiting.
  static ChildProcess run(const std::function<void()>& body) {
    ChildProcess child;
    child.pid_ = fork();
    if (child.pid_ == 0) {
      body();
      _exit(0);
    }
    return child;
  }

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // Kills and reaps the child; returns its wait status.
  int stop() {
    int status = 0;
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    return status;
  }

  // Waits for the child to end by itself; returns its wait status.
  int wait() {
    int status = 0;
    if (pid_ > 0) {
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    return status;
  }

 private:
  pid_t pid_ = -1;
};

// A process name no other test program running at the same time uses: `stem` (9 bytes at most)
// and this program's identifier in base 36, within the kernel's 15 bytes. Parameterised tests run
// side by side and must not select each other's processes.
inline std::string ownName(const std::string& stem) {
  std::string suffix;
  for (auto pid = static_cast<unsigned long>(getpid()); pid != 0; pid /= 36) {
    suffix.insert(suffix.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[pid % 36]);
  }
  return stem + "-" + suffix;
}

// A copy of the sleep program under another file name.
inline bool copySleepProgram(const std::filesystem::path& copy) {
  std::error_code error;
  std::filesystem::copy_file("/bin/sleep", copy, error);
  if (error) {
    return false;
  }
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all, error);
  return !error;
}

// Bits 0-63 of a thread's affinity.
inline std::uint64_t threadMask(pid_t thread) {
  cpu_set_t set;
  if (sched_getaffinity(thread, sizeof set, &set) != 0) {
    return 0;
  }
  std::uint64_t mask = 0;
  for (unsigned cpu = 0; cpu < 64; ++cpu) {
    if (CPU_ISSET(cpu, &set)) {
      mask |= std::uint64_t{1} << cpu;
    }
  }
  return mask;
}

inline std::vector<pid_t> threadsOf(pid_t pid) {
  std::vector<pid_t> threads;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    threads.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
  }
  return threads;
}

inline std::string readWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Processors 0-63 of those online. The tests that run here on real processes keep their own masks
// in 64 bits: the machines they run on directly have no more, and wider machines are the
// wide-machine test's.
inline std::uint64_t onlineMask() {
  vellicor::AffinityMask cpus;
  vellicor::linux_platform::parseCpuList(readWholeFile("/sys/devices/system/cpu/online"), cpus);
  return cpus.word(0);
}

// A run of a program whose standard output was captured.
struct ProgramOutput {
  int status = -1;
  std::string output;

  bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs `program` with `arguments` (argument 0 included) and standard output captured, or, with
// `outputFile`, sent to that file. `prepare` runs in the child just before exec. A program
// without a slash is looked for on PATH.
inline ProgramOutput runCapturing(const std::string& program,
                                  const std::vector<std::string>& arguments,
                                  const std::function<void()>& prepare = {},
                                  const char* outputFile = nullptr) {
  ProgramOutput run;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    return run;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    int target = outputFile != nullptr ? open(outputFile, O_WRONLY | O_CLOEXEC) : output[1];
    dup2(target, STDOUT_FILENO);
    if (prepare) {
      prepare();
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execvp(program.c_str(), argv.data());
    _exit(127);
  }
  close(output[1]);
  char chunk[4096];
  ssize_t got;
  while ((got = read(output[0], chunk, sizeof chunk)) > 0) {
    run.output.append(chunk, static_cast<std::size_t>(got));
  }
  close(output[0]);
  while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
  }
  return run;
}

}  // namespace vellicor::linux_test
