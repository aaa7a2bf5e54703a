#pragma once

// Setting the mask of every thread of a process. Linux sets one thread at a time, and a thread
// being started copies its creator's mask a little before it shows in /proc/PID/task: when the
// creator is changed in between, the new thread keeps the old mask, and no listing has shown it
// yet. Under load that gap can last tens of milliseconds. The passes below close it as far as
// listings can without stopping the process; every_thread.cpp says how.

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {

// Reads a thread's mask through `words`, a buffer that grows to the width of the kernel's masks
// and is kept for the next read; false when the thread has ended.
bool readThreadMask(pid_t thread, std::vector<std::uint64_t>& words, AffinityMask& mask);

enum class SetResult { Set, Gone, Refused };

// What setting every thread needs from the system, so that the passes can also run against a
// scripted process.
class ProcessThreads {
 public:
  virtual ~ProcessThreads() = default;

  // Opens what identifies the process, before anything is changed; false when it has ended.
  virtual bool open() = 0;
  // True when the opened process lives and its main thread is its only thread.
  virtual bool isSingleThreaded() = 0;
  // Whether `thread` is a thread of the opened process now. An identifier listed a moment ago may
  // since name a thread of another process: identifiers are reused once freed.
  virtual bool isMember(pid_t thread) = 0;
  // The threads listed now; false when the list cannot be read (the process has ended).
  virtual bool list(std::vector<pid_t>& threads) = 0;
  // False when the mask cannot be read (the thread has ended).
  virtual bool readMask(pid_t thread, AffinityMask& mask) = 0;
  virtual SetResult setMask(pid_t thread, const AffinityMask& mask) = 0;
  virtual void wait(int milliseconds) = 0;
};

// The most passes over the thread list one change makes before it gives up: only a process
// that keeps changing its threads' masks back reaches it.
inline constexpr int kPassLimit = 64;
// The waits before the passes that confirm a change of a process whose thread list grew while it
// was made, in milliseconds: a new thread can appear that late.
inline constexpr int kConfirmationWaits[] = {1, 2, 4, 8};

// Sets `mask` on every thread of the process whose main thread is `mainThread`, and on threads
// started meanwhile as far as the passes find them. Each change is confirmed to have reached a
// thread of the process; a thread of another process that took over an identifier is given back
// the mask it had. False when a thread refused, the process has ended, or the pass limit was
// reached.
bool setEveryThread(ProcessThreads& process, pid_t mainThread, const AffinityMask& mask);

// The threads of a live process: /proc/PID/task and the sched_*affinity calls.
class TaskDirectory : public ProcessThreads {
 public:
  // `procDirectory` (the /proc directory) stays owned by the caller, and `closing` takes the task
  // directory's descriptor at the end. `mainMask`, when given, is the main thread's mask as just
  // read, which spares reading it again before it is changed.
  TaskDirectory(int procDirectory, pid_t pid, ClosingBatch& closing,
                const AffinityMask* mainMask = nullptr);
  ~TaskDirectory() override;
  TaskDirectory(const TaskDirectory&) = delete;
  TaskDirectory& operator=(const TaskDirectory&) = delete;

  bool open() override;
  bool isSingleThreaded() override;
  bool isMember(pid_t thread) override;
  bool list(std::vector<pid_t>& threads) override;
  bool readMask(pid_t thread, AffinityMask& mask) override;
  SetResult setMask(pid_t thread, const AffinityMask& mask) override;
  void wait(int milliseconds) override;

 private:
  int procDirectory_;
  pid_t pid_;
  ClosingBatch& closing_;
  const AffinityMask* mainMask_;
  // The process's own task directory: through it, a thread identifier names a thread of this
  // process or nothing, and it is empty once the process has ended.
  UniqueFd tasks_;
  std::vector<NumberedEntry> entries_;
  std::vector<std::uint64_t> maskWords_;  // as wide as the kernel's masks, once one was read
};

}  // namespace vellicor::linux_platform
