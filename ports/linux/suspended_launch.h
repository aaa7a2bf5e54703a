#pragma once

// A command started so that it exists, under its own image, with a process identifier, but has
// not yet run its first instruction; resume() lets it go. The child is never left stopped: the
// destructor resumes it too, and so does the kernel when this process dies before either.
//
// Normally the child is traced and held at the stop the kernel makes right after a successful
// exec. A program that gains privileges when executed (set-user-ID, set-group-ID, file
// capabilities) would lose them under a tracer that lacks CAP_SYS_PTRACE, so for such a program,
// and whenever tracing is refused, the child is held just before exec instead: it already bears
// the program's name, and the affinity it is given carries over the exec.
//
// The tracer is the calling thread: start() and resume() belong on the same thread.

#include <sys/types.h>

#include <string_view>

#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {

class SuspendedLaunch {
 public:
  SuspendedLaunch() = default;
  ~SuspendedLaunch();
  SuspendedLaunch(const SuspendedLaunch&) = delete;
  SuspendedLaunch& operator=(const SuspendedLaunch&) = delete;

  // Splits the command by Windows rules, finds the program on PATH and starts it suspended.
  // False when it cannot be started; error() then tells why.
  bool start(std::wstring_view command);
  pid_t processId() const { return pid_; }
  // The errno of the last failed start (ENOENT when the program was not found), or of an exec
  // that failed once the program held before it was resumed; else 0.
  int error() const { return error_; }
  // Lets the program go. One held before its exec is followed until the exec is done, so that
  // error() tells whether it started.
  void resume();

 private:
  // Where the child is held: traced at the stop after exec, or waiting before exec until the
  // gate opens.
  enum class Hold { kNone, kAfterExec, kBeforeExec };

  pid_t pid_ = -1;
  Hold hold_ = Hold::kNone;
  // Our end of the socket pair the child waits on before exec and reports a failed exec through.
  // The child goes on when a byte arrives or when every copy of this end is closed, so the death
  // of this process releases it too.
  UniqueFd gate_;
  int error_ = 0;
};

}  // namespace vellicor::linux_platform
