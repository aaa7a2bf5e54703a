#include "ports/linux/every_thread.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <iterator>
#include <span>
#include <unordered_set>

#include "ports/linux/cpu_list.h"
#include "ports/linux/process_table.h"

namespace vellicor::linux_platform {

namespace {

// The kernel's masks are arrays of unsigned long, bit i of element i / 64 for CPU i: the layout
// of an affinity mask's words, which so go to the kernel as they are.
static_assert(sizeof(unsigned long) == sizeof(std::uint64_t));

// What the passes have done so far, and the masks a thread is read into, kept from one thread to
// the next.
struct Progress {
  bool anySet = false;
  bool refused = false;
  std::unordered_set<pid_t> refusing;  // not asked again: the answer stays the same
  AffinityMask before;
  AffinityMask after;
};

// Whether setting `thread` reached a thread of another process, which took over the identifier
// since it was listed (or, for the main thread, since the process ended); such a change is undone.
bool undoneForAStranger(ProcessThreads& process, pid_t thread, SetResult result,
                        const AffinityMask& before) {
  if (result == SetResult::Gone || process.isMember(thread)) {
    return false;
  }
  if (result == SetResult::Set) {
    process.setMask(thread, before);
  }
  return true;
}

// Counts what setting a thread of the process came to; true when the thread took the mask.
bool record(SetResult result, pid_t thread, Progress& progress) {
  switch (result) {
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

// Sets a thread whose mask was `before`; true when the thread took the mask.
bool setThread(ProcessThreads& process, pid_t thread, const AffinityMask& mask,
               const AffinityMask& before, Progress& progress) {
  const SetResult result = process.setMask(thread, mask);
  return !undoneForAStranger(process, thread, result, before) && record(result, thread, progress);
}

// Sets a thread that a later pass finds without the mask; true when that changed its mask. The
// kernel narrows the mask of a thread in a cpuset of its own, so such a thread never shows the
// mask exactly: setting it again changes nothing and must not keep the passes going.
bool correctThread(ProcessThreads& process, pid_t thread, const AffinityMask& mask,
                   Progress& progress) {
  if (!process.readMask(thread, progress.before)) {
    return false;  // ended: nothing to change, nothing to put back
  }
  if (progress.before == mask) {
    return false;
  }
  if (!setThread(process, thread, mask, progress.before, progress)) {
    return false;
  }
  return !process.readMask(thread, progress.after) || !(progress.after == progress.before);
}

// Sets a thread seen for the first time: nearly every one still has the old mask, which is read
// only to be put back should the identifier turn out to be another process's.
bool setNewThread(ProcessThreads& process, pid_t thread, const AffinityMask& mask,
                  Progress& progress) {
  return process.readMask(thread, progress.before) &&
         setThread(process, thread, mask, progress.before, progress);
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
//
// Identifiers are freed when a thread ends and handed out again, so the one listed may name a
// thread of another process by the time it is set. The process is opened before anything changes,
// and each change is followed by a look that the thread is still the process's; one that is not
// gets its old mask back.
bool setEveryThread(ProcessThreads& process, pid_t mainThread, const AffinityMask& mask) {
  Progress progress;
  if (!process.open() || !process.readMask(mainThread, progress.before)) {
    return false;
  }
  // The main thread goes first: every thread it starts from then on inherits the new mask, so
  // when it is still alone afterwards the process is done. Most processes are. A process that
  // still lives still holds its identifier, so nothing else was changed.
  const SetResult main = process.setMask(mainThread, mask);
  if (main == SetResult::Set && process.isSingleThreaded()) {
    return true;
  }
  if (undoneForAStranger(process, mainThread, main, progress.before)) {
    return false;
  }
  record(main, mainThread, progress);
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
      if (pass == 0 ? setNewThread(process, thread, mask, progress)
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

TaskDirectory::TaskDirectory(int procDirectory, pid_t pid, ClosingBatch& closing,
                             const AffinityMask* mainMask)
    : procDirectory_(procDirectory), pid_(pid), closing_(closing), mainMask_(mainMask) {}

TaskDirectory::~TaskDirectory() {
  if (tasks_.valid()) {
    closing_.add(tasks_.release());
  }
}

bool TaskDirectory::open() {
  tasks_.reset(openForReadingAt(procDirectory_, procPath(pid_, "task").c_str(), closing_));
  return tasks_.valid();
}

// The kernel adds the number of a process's live threads to the two links of its task
// directory, so one stat tells whether the main thread is alone, where listing the directory
// takes four calls; the directory of a process that has ended counts none.
bool TaskDirectory::isSingleThreaded() {
  struct stat tasks {};
  return fstat(tasks_.get(), &tasks) == 0 && tasks.st_nlink == 3;
}

// The task directory finds only threads of its own process, and none once it has ended.
bool TaskDirectory::isMember(pid_t thread) {
  char name[16];
  *std::to_chars(name, name + sizeof name - 1, thread).ptr = '\0';
  return faccessat(tasks_.get(), name, F_OK, 0) == 0;
}

bool TaskDirectory::list(std::vector<pid_t>& threads) {
  if (lseek(tasks_.get(), 0, SEEK_SET) != 0) {
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

bool readThreadMask(pid_t thread, std::vector<std::uint64_t>& words, AffinityMask& mask) {
  // The kernel refuses a buffer narrower than its own processor count, so it grows until the
  // kernel takes it; later reads start at the size that worked.
  if (words.empty()) {
    words.resize(sizeof(cpu_set_t) / sizeof(std::uint64_t));
  }
  while (sched_getaffinity(thread, words.size() * sizeof(std::uint64_t),
                           reinterpret_cast<cpu_set_t*>(words.data())) != 0) {
    if (errno != EINVAL || words.size() * 64 >= kCpuLimit) {
      return false;
    }
    words.assign(words.size() * 2, 0);
  }
  mask.assignWords(words);
  return true;
}

bool TaskDirectory::readMask(pid_t thread, AffinityMask& mask) {
  if (thread == pid_ && mainMask_ != nullptr) {
    mask = *mainMask_;
    mainMask_ = nullptr;  // good until the main thread is changed
    return true;
  }
  return readThreadMask(thread, maskWords_, mask);
}

// The kernel takes a mask of any length: it reads as many words as it has processors for, and
// what a shorter mask leaves out counts as empty.
SetResult TaskDirectory::setMask(pid_t thread, const AffinityMask& mask) {
  const std::span<const std::uint64_t> words = mask.words();
  if (sched_setaffinity(thread, words.size_bytes(),
                        reinterpret_cast<const cpu_set_t*>(words.data())) == 0) {
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
