#include "ports/linux/suspended_launch.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "ports/linux/capabilities.h"
#include "ports/linux/command_line.h"
#include "ports/linux/linux_files.h"

extern char** environ;

namespace vellicor::linux_platform {

namespace {

// What the child reads at the gate: go on to exec (also when the gate closes), or end, since the
// exec is known to fail.
constexpr char kGo = 1;
constexpr char kAbandon = 2;

// What the child needs after fork, prepared beforehand: between fork and exec it may only make
// system calls, since this process's allocator may be in any state there.
struct ChildPlan {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char name[16] = {};  // the kernel keeps 15 bytes of a process name
  int fd = -1;
};

// Zero when `path` names a file that exec could run, else the errno that exec would give.
int checkExecutable(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    return errno;
  }
  if (!S_ISREG(status.st_mode)) {
    return EACCES;
  }
  if (faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) {
    return errno;
  }
  return 0;
}

// The search execvp makes: a name with a slash is taken as it is; otherwise each PATH element in
// turn, an empty one meaning the current directory, and the confstr default when PATH is unset.
// A candidate that exists but cannot be run is passed over, and gives EACCES if nothing follows.
int findProgram(const std::string& name, std::string& path) {
  if (name.empty()) {
    return ENOENT;
  }
  if (name.find('/') != std::string::npos) {
    path = name;
    return checkExecutable(path);
  }
  const char* variable = getenv("PATH");
  std::string search = variable != nullptr ? variable : "/bin:/usr/bin";
  int result = ENOENT;
  std::size_t begin = 0;
  while (begin <= search.size()) {
    std::size_t end = search.find(':', begin);
    if (end == std::string::npos) {
      end = search.size();
    }
    std::string directory = search.substr(begin, end - begin);
    path = directory.empty() ? name : directory + "/" + name;
    int error = checkExecutable(path);
    if (error == 0) {
      return 0;
    }
    if (error == EACCES) {
      result = EACCES;
    }
    begin = end + 1;
  }
  path.clear();
  return result;
}

bool gainsPrivilegesOnExec(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    return false;
  }
  if ((status.st_mode & S_ISUID) != 0) {
    return true;
  }
  // Without group execute permission the set-group-ID bit means mandatory locking, not a group.
  if ((status.st_mode & S_ISGID) != 0 && (status.st_mode & S_IXGRP) != 0) {
    return true;
  }
  return getxattr(path.c_str(), "security.capability", nullptr, 0) >= 0;
}

void setProcessName(const std::string& path, char (&name)[16]) {
  std::size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::size_t length = std::min(base.size(), sizeof name - 1);
  std::memcpy(name, base.data(), length);
  name[length] = '\0';
}

[[noreturn]] void runChild(const ChildPlan& plan) {
  // The signal dispositions and mask are left as this program was started with them: they are
  // the caller's, meant for the command as well (a shell's `trap '' PIPE`, nohup).
  // Named like the program already, for whoever looks while the child waits at the gate; the
  // parent returns only once that is done.
  prctl(PR_SET_NAME, plan.name, 0, 0, 0);
  char ready = 0;
  send(plan.fd, &ready, 1, MSG_NOSIGNAL);

  char go = 0;
  while (read(plan.fd, &go, 1) < 0 && errno == EINTR) {
  }
  if (go == kAbandon) {
    _exit(127);
  }
  execve(plan.path, plan.argv, environ);
  int error = errno;
  send(plan.fd, &error, sizeof error, MSG_NOSIGNAL);
  _exit(127);
}

// Whether binfmt_misc may run a file that is neither ELF nor a script: a registered interpreter
// (a CPU emulator, Wine, a Java runtime) may take it, unless the file system says it is disabled
// or holds no format. Where it cannot be asked, it may.
bool miscFormatsMayApply() {
  std::string status;
  if (!readFileAt(AT_FDCWD, "/proc/sys/fs/binfmt_misc/status", status)) {
    return true;
  }
  if (status.starts_with("disabled")) {
    return false;
  }
  DIR* formats = opendir("/proc/sys/fs/binfmt_misc");
  if (formats == nullptr) {
    return true;
  }
  bool any = false;
  while (const dirent* entry = readdir(formats)) {
    const std::string_view name = entry->d_name;
    any = any || (name != "." && name != ".." && name != "register" && name != "status");
  }
  closedir(formats);
  return any;
}

// What exec will answer for `path`, where that can be told without running it: a script whose
// interpreter cannot be run, or a file of no format this kernel runs. 0 when exec may work.
int predictedExecError(const std::string& path) {
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  char head[256];  // the kernel looks no further into a "#!" line
  const ssize_t got = file.valid() ? pread(file.get(), head, sizeof head, 0) : -1;
  if (got < 0) {
    return 0;  // execute-only: exec alone can tell
  }
  std::string_view start(head, static_cast<std::size_t>(got));
  if (start.starts_with("#!")) {
    start.remove_prefix(2);
    start.remove_prefix(std::min(start.find_first_not_of(" \t"), start.size()));
    const std::size_t end = start.find_first_of(std::string_view(" \t\n\0", 4));
    if (end == std::string_view::npos && start.size() + 2 + 1 >= sizeof head) {
      return 0;  // a longer line than read here
    }
    const std::string interpreter(start.substr(0, end));
    return interpreter.empty() ? ENOEXEC : checkExecutable(interpreter);
  }
  if (start.starts_with("\x7f"
                        "ELF") ||
      miscFormatsMayApply()) {
    return 0;
  }
  return ENOEXEC;
}

// The errno of a failed exec that the child sends through the gate, or 0 once the gate closed
// because the exec succeeded (or the child was killed before it: it did not fail to start).
int readExecResult(int fd) {
  int error = 0;
  ssize_t got;
  while ((got = recv(fd, &error, sizeof error, MSG_WAITALL)) < 0 && errno == EINTR) {
  }
  return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

// Waits until the child has reached the gate. It can only fail to by being killed, and then it
// is reaped here.
bool waitForGate(pid_t pid, int fd) {
  char ready = 0;
  ssize_t got;
  while ((got = recv(fd, &ready, 1, 0)) < 0 && errno == EINTR) {
  }
  if (got == 1) {
    return true;
  }
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return false;
}

// The errno a child sent before it gave up, once it is gone.
int readExecError(int fd) {
  int error = 0;
  ssize_t got = recv(fd, &error, sizeof error, MSG_WAITALL);
  return got == static_cast<ssize_t>(sizeof error) ? error : ECHILD;
}

// Waits for the traced child to reach the stop right after its exec. Signals that reach it before
// are passed on; a group stop is not honoured, since nothing would continue the child later.
int waitForExec(pid_t pid, int fd) {
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, __WALL) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (!WIFSTOPPED(status)) {
      return readExecError(fd);
    }
    if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXEC << 8))) {
      return 0;
    }
    long signal = (status >> 16) == 0 ? WSTOPSIG(status) : 0;
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(signal));
  }
}

}  // namespace

SuspendedLaunch::~SuspendedLaunch() {
  resume();
}

bool SuspendedLaunch::start(std::wstring_view command) {
  resume();
  pid_ = -1;
  error_ = 0;

  std::vector<std::string> words;
  for (const std::wstring& word : splitCommandLine(command)) {
    words.push_back(encodeUtf8(word, Unencodable::RestoreBytes));
    if (words.back().find('\0') != std::string::npos) {
      error_ = EINVAL;  // exec has no way to pass it
      return false;
    }
  }
  std::string path;
  error_ = words.empty() ? ENOENT : findProgram(words[0], path);
  if (error_ != 0) {
    return false;
  }
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  // The tracer's lack of CAP_SYS_PTRACE is what makes exec drop the privileges.
  bool mayTrace = !gainsPrivilegesOnExec(path) || hasEffectiveCapability(CAP_SYS_PTRACE);

  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    error_ = errno;
    return false;
  }
  ChildPlan plan;
  plan.path = path.c_str();
  plan.argv = argv.data();
  plan.fd = ends[1];
  setProcessName(path, plan.name);

  pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    runChild(plan);
  }
  close(ends[1]);
  gate_.reset(ends[0]);
  if (pid < 0) {
    error_ = errno;
    gate_.reset();
    return false;
  }
  pid_ = pid;
  if (!waitForGate(pid, gate_.get())) {
    error_ = ECHILD;
    pid_ = -1;
    gate_.reset();
    return false;
  }

  if (mayTrace && ptrace(PTRACE_SEIZE, pid, nullptr, PTRACE_O_TRACEEXEC) == 0) {
    send(gate_.get(), &kGo, 1, MSG_NOSIGNAL);
    error_ = waitForExec(pid, gate_.get());
    gate_.reset();
    if (error_ != 0) {
      pid_ = -1;
      return false;
    }
    hold_ = Hold::kAfterExec;
    return true;
  }
  // Refused (another tracer already holds the child, or a security module forbids tracing) or
  // unwanted: the child waits before exec instead. What exec would refuse is only learnt when it
  // is let go; what can be told now fails the start, as exec itself does on the traced path.
  error_ = predictedExecError(path);
  if (error_ != 0) {
    send(gate_.get(), &kAbandon, 1, MSG_NOSIGNAL);
    gate_.reset();
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return false;
  }
  hold_ = Hold::kBeforeExec;
  return true;
}

void SuspendedLaunch::resume() {
  if (hold_ == Hold::kAfterExec) {
    ptrace(PTRACE_DETACH, pid_, nullptr, nullptr);
  } else if (hold_ == Hold::kBeforeExec) {
    send(gate_.get(), &kGo, 1, MSG_NOSIGNAL);
    error_ = readExecResult(gate_.get());
    gate_.reset();
  }
  hold_ = Hold::kNone;
}

}  // namespace vellicor::linux_platform
