#include "ports/linux/every_thread.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <iterator>
#include <unordered_set>

#include "ports/linux/cpu_list.h"
#include "ports/linux/process_table.h"

namespace vellicor::linux_platform {

namespace {

constexpr std::size_t kMaskBits = 64;

// What the passes have done so far.
struct Progress {
  bool anySet = false;
  bool refused = false;
  std::unordered_set<pid_t> refusing;  // not asked again: the answer stays the same
};

// True when the thread took the mask.
bool setThread(ProcessThreads& process, pid_t thread, AffinityMask mask, Progress& progress) {
  switch (process.setMask(thread, mask)) {
    case SetResult::Set:
      progress.anySet = true;
      return true;
    case SetResult::Refused:
      progress.refused = true;
      progress.refusing.insert(thread);
      return false;
    case SetResult::Gone:  // a thread that has ended in the meantime refuses nothing
      return false;
  }
  return false;
}

// Sets a thread that a later pass finds without the mask; true when that changed its mask. The
// kernel narrows the mask of a thread in a cpuset of its own, so such a thread never shows the
// mask exactly: setting it again changes nothing and must not keep the passes going.
bool correctThread(ProcessThreads& process, pid_t thread, AffinityMask mask, Progress& progress) {
  const ThreadMask wanted{mask, false};
  ThreadMask before;
  const bool known = process.readMask(thread, before);
  if (known && before == wanted) {
    return false;
  }
  if (!setThread(process, thread, mask, progress)) {
    return false;
  }
  ThreadMask after;
  return !known || !process.readMask(thread, after) || after != before;
}

}  // namespace

// The first pass sets every listed thread. A thread not set yet may start threads with the old
// mask at any moment, so the passes go on until one changes nothing; until then each looks only
// at threads it has not seen before (a thread once set keeps its mask). Every thread that starts
// after such a pass is started by a thread with the new mask and inherits it, except one whose
// start was under way when its creator was set and that the last listing did not show yet.
//
// When no thread appeared after the first listing, the process is taken not to be starting threads
// and the change ends there. When threads did appear, more may be on their way, so confirming
// passes follow after waits of 1, 2, 4 and 8 ms; they look at every listed thread, since a late
// thread need not have a higher identifier than those seen (identifiers wrap around and are
// reused). A confirming pass that changes a thread starts the passes over, the waits included: the
// changed thread may itself have started threads with the old mask. A process that keeps starting
// threads ends the confirmation like any other, because its new threads already have the mask;
// only one that keeps changing masks back reaches the pass limit, and that is a failure.
//
// What stays open: a thread that shows only after the last confirming pass, and one whose start
// was under way while no thread appeared, since a process that starts no threads must not pay
// for the waits. Nothing short of stopping the process shows a start under way.
bool setEveryThread(ProcessThreads& process, pid_t mainThread, AffinityMask mask) {
  Progress progress;
  // The main thread goes first: every thread it starts from then on inherits the new mask, so
  // when it is still alone afterwards the process is done. Most processes are.
  setThread(process, mainThread, mask, progress);
  if (progress.anySet && process.isSingleThreaded()) {
    return true;
  }
  std::unordered_set<pid_t> seen{mainThread};
  std::vector<pid_t> threads;
  bool grew = false;
  bool confirming = false;
  std::size_t confirmations = 0;  // confirming passes since the last change
  for (int pass = 0; pass < kPassLimit; ++pass) {
    if (!process.list(threads)) {
      return false;
    }
    bool changed = false;
    for (pid_t thread : threads) {
      const bool isNew = seen.insert(thread).second;
      grew = grew || (isNew && pass > 0);
      if ((!isNew && !confirming) || progress.refusing.contains(thread)) {
        continue;
      }
      // The first pass sets without looking: nearly every thread there still has the old mask.
      if (pass == 0 ? setThread(process, thread, mask, progress)
                    : correctThread(process, thread, mask, progress)) {
        changed = true;
      }
    }
    if (changed) {
      confirming = false;
      confirmations = 0;
      continue;
    }
    if (!grew || confirmations == std::size(kConfirmationWaits)) {
      return progress.anySet && !progress.refused;
    }
    process.wait(kConfirmationWaits[confirmations++]);
    confirming = true;
  }
  return false;
}

TaskDirectory::TaskDirectory(int procDirectory, pid_t pid)
    : procDirectory_(procDirectory), pid_(pid) {}

// The kernel adds the number of a process's threads to the two links of its task directory, so
// one stat tells whether the main thread is alone, where listing the directory takes four calls.
bool TaskDirectory::isSingleThreaded() {
  struct stat tasks {};
  return fstatat(procDirectory_, procPath(pid_, "task").c_str(), &tasks, 0) == 0 &&
         tasks.st_nlink == 3;
}

bool TaskDirectory::list(std::vector<pid_t>& threads) {
  if (!tasks_.valid()) {
    tasks_ = UniqueFd(
        openat(procDirectory_, procPath(pid_, "task").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tasks_.valid()) {
      return false;
    }
  } else if (lseek(tasks_.get(), 0, SEEK_SET) != 0) {
    return false;
  }
  if (!listNumberedEntries(tasks_.get(), entries_)) {
    return false;
  }
  threads.clear();
  for (const NumberedEntry& entry : entries_) {
    threads.push_back(entry.number);
  }
  return true;
}

bool readThreadMask(pid_t thread, std::vector<std::uint64_t>& words, ThreadMask& mask) {
  // The kernel refuses a buffer narrower than its own processor count, so it grows until the
  // kernel takes it; later reads start at the size that worked.
  if (words.empty()) {
    words.resize(sizeof(cpu_set_t) / sizeof(std::uint64_t));
  }
  std::size_t bytes = words.size() * sizeof(std::uint64_t);
  auto* set = reinterpret_cast<cpu_set_t*>(words.data());
  while (sched_getaffinity(thread, bytes, set) != 0) {
    if (errno != EINVAL || bytes >= kCpuLimit / 8) {
      return false;
    }
    words.assign(words.size() * 2, 0);
    bytes = words.size() * sizeof(std::uint64_t);
    set = reinterpret_cast<cpu_set_t*>(words.data());
  }
  mask.low = 0;
  for (std::size_t cpu = 0; cpu < kMaskBits; ++cpu) {
    if (CPU_ISSET_S(cpu, bytes, set)) {
      mask.low |= AffinityMask{1} << cpu;
    }
  }
  mask.beyond64 = CPU_COUNT_S(bytes, set) > std::popcount(mask.low);
  return true;
}

bool TaskDirectory::readMask(pid_t thread, ThreadMask& mask) {
  return readThreadMask(thread, maskWords_, mask);
}

SetResult TaskDirectory::setMask(pid_t thread, AffinityMask mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (std::size_t cpu = 0; cpu < kMaskBits; ++cpu) {
    if ((mask >> cpu) & 1) {
      CPU_SET(cpu, &set);
    }
  }
  if (sched_setaffinity(thread, sizeof set, &set) == 0) {
    return SetResult::Set;
  }
  return errno == ESRCH ? SetResult::Gone : SetResult::Refused;
}

void TaskDirectory::wait(int milliseconds) {
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
  }
}

}  // namespace vellicor::linux_platform
