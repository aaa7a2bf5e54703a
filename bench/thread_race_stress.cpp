// Races ProcessAffinity::setProcessMask against a process that starts threads as fast as it can,
// and counts the runs where the change went wrong:
//
//   thread_race_stress [RUNS [short|kept]]
//
// Each run forks a target (named vrace-PID, after this program's identifier) whose four spawner
// threads start threads, moves it from every processor this program may use to the lowest of
// them, and lets it run on for a while. With `short` (the default) the threads end at once, and
// each spawner keeps at most four of them running; with `kept` each spawner starts 500 threads
// that sleep until the run ends, like a pool that grows. Every thread of the target looks at its
// own mask as the last thing it does, and a thread that still has the old mask notes the time. A
// run fails when such a time lies after the change reported success (a thread left on the old mask,
// however briefly it lived on) or when the change reported failure (given up at the pass limit:
// nothing else refuses in a process of our own). Only the targets this program forks are ever
// changed. bench/thread-race-stress.sh loads the machine and runs it.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ports/linux/linux_files.h"
#include "ports/linux/process_affinity.h"

namespace {

using vellicor::AffinityMask;
using vellicor::linux_platform::ProcessAffinity;
using vellicor::linux_platform::UniqueFd;

constexpr int kSpawners = 4;
// A spawner that has this many threads running waits for the oldest to end before it starts the
// next. Unbounded, threads waiting for a processor to end on pile up by the hundred, and the
// machine runs hundreds of threads per processor instead of a few.
constexpr int kThreadsPerSpawner = 4;
// Of the threads that stay.
constexpr std::size_t kKeptPerSpawner = 500;
// The change starts once this many threads have started, so that it meets the spawners at speed.
constexpr long kStartedBeforeTheChange = 300;
// How long the target runs on after the change, for late threads to appear and look at their mask.
constexpr int kRunOnMilliseconds = 30;

// Shared by this program and one target, in memory both map.
struct RunRecord {
  std::atomic<int> stop;
  std::atomic<long> started;              // threads the spawners started
  std::atomic<std::int64_t> lastOldMask;  // latest time a thread saw the old mask
};

static_assert(sizeof(std::atomic<int>) == sizeof(int), "the stop word is waited on as a futex");

RunRecord* record = nullptr;
cpu_set_t wanted;
bool keepThreads = false;

// The stop word lies in memory shared with the target, so the futex calls are not private ones.
void awaitStop() {
  while (record->stop.load() == 0) {
    syscall(SYS_futex, reinterpret_cast<int*>(&record->stop), FUTEX_WAIT, 0, nullptr, nullptr, 0);
  }
}

void stopTarget() {
  record->stop = 1;
  syscall(SYS_futex, reinterpret_cast<int*>(&record->stop), FUTEX_WAKE, INT_MAX, nullptr, nullptr,
          0);
}

std::int64_t nowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The time is taken before the mask is read, so a thread that sees the old mask certainly had it
// at that time.
void lookAtOwnMask() {
  std::int64_t now = nowNs();
  cpu_set_t own;
  if (sched_getaffinity(0, sizeof own, &own) != 0 || CPU_EQUAL(&own, &wanted)) {
    return;
  }
  std::int64_t seen = record->lastOldMask.load();
  while (seen < now && !record->lastOldMask.compare_exchange_weak(seen, now)) {
  }
}

void* worker(void*) {
  lookAtOwnMask();
  return nullptr;
}

void* keptWorker(void*) {
  awaitStop();
  lookAtOwnMask();
  return nullptr;
}

void* keepingSpawner(void*) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 64 * 1024);
  std::vector<pthread_t> threads;
  threads.reserve(kKeptPerSpawner);
  while (threads.size() < kKeptPerSpawner && record->stop.load() == 0) {
    pthread_t thread;
    if (pthread_create(&thread, &attributes, keptWorker, nullptr) != 0) {
      break;
    }
    threads.push_back(thread);
    record->started.fetch_add(1);
  }
  awaitStop();
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  pthread_attr_destroy(&attributes);
  lookAtOwnMask();
  return nullptr;
}

void* spawner(void*) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 64 * 1024);
  pthread_t threads[kThreadsPerSpawner];
  bool running[kThreadsPerSpawner] = {};
  for (int next = 0; record->stop.load() == 0; next = (next + 1) % kThreadsPerSpawner) {
    if (running[next]) {
      pthread_join(threads[next], nullptr);
    }
    running[next] = pthread_create(&threads[next], &attributes, worker, nullptr) == 0;
    if (running[next]) {
      record->started.fetch_add(1);
    }
  }
  for (int i = 0; i < kThreadsPerSpawner; ++i) {
    if (running[i]) {
      pthread_join(threads[i], nullptr);
    }
  }
  pthread_attr_destroy(&attributes);
  lookAtOwnMask();
  return nullptr;
}

[[noreturn]] void runTarget(int readyFd) {
  prctl(PR_SET_NAME, ("vrace-" + std::to_string(getppid())).c_str());
  pthread_t spawners[kSpawners];
  for (pthread_t& thread : spawners) {
    if (pthread_create(&thread, nullptr, keepThreads ? keepingSpawner : spawner, nullptr) != 0) {
      _exit(2);
    }
  }
  while (record->started.load() < kStartedBeforeTheChange) {
    usleep(100);
  }
  (void)!write(readyFd, "r", 1);
  awaitStop();
  for (pthread_t thread : spawners) {
    pthread_join(thread, nullptr);
  }
  lookAtOwnMask();
  _exit(0);
}

struct RunResult {
  bool started = false;
  bool reportedSuccess = false;
  std::int64_t setNs = 0;
  std::int64_t oldMaskAfterNs = -1;  // how long after the change a thread still had the old mask
};

RunResult runOnce(int procDirectory, const AffinityMask& wantedMask) {
  RunResult result;
  record->stop = 0;
  record->started = 0;
  record->lastOldMask = 0;
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    return result;
  }
  pid_t target = fork();
  if (target == 0) {
    close(ready[0]);
    runTarget(ready[1]);
  }
  close(ready[1]);
  char byte;
  ssize_t got;
  while ((got = read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
  }
  close(ready[0]);
  if (target > 0 && got == 1) {
    result.started = true;
    ProcessAffinity affinity(procDirectory);
    std::int64_t before = nowNs();
    result.reportedSuccess = affinity.setProcessMask(target, wantedMask);
    std::int64_t after = nowNs();
    result.setNs = after - before;
    usleep(kRunOnMilliseconds * 1000);
    stopTarget();
    int status = 0;
    while (waitpid(target, &status, 0) < 0 && errno == EINTR) {
    }
    std::int64_t lastOldMask = record->lastOldMask.load();
    if (lastOldMask > after) {
      result.oldMaskAfterNs = lastOldMask - after;
    }
  } else if (target > 0) {
    kill(target, SIGKILL);
    waitpid(target, nullptr, 0);
  }
  return result;
}

std::int64_t percentile(std::vector<std::int64_t> values, double fraction) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  long runs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  keepThreads = argc > 2 && std::strcmp(argv[2], "kept") == 0;
  void* shared =
      mmap(nullptr, sizeof(RunRecord), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (runs <= 0 || (argc > 2 && !keepThreads && std::strcmp(argv[2], "short") != 0) ||
      shared == MAP_FAILED) {
    std::fprintf(stderr, "usage: thread_race_stress [RUNS [short|kept]]\n");
    return 2;
  }
  record = new (shared) RunRecord{};
  cpu_set_t own;
  if (sched_getaffinity(0, sizeof own, &own) != 0 || CPU_COUNT(&own) < 2) {
    std::fprintf(stderr, "thread_race_stress: needs two processors to move a process between\n");
    return 2;
  }
  int lowest = 0;
  while (lowest < 64 && !CPU_ISSET(lowest, &own)) {
    ++lowest;
  }
  if (lowest == 64) {
    std::fprintf(stderr, "thread_race_stress: needs a processor below 64\n");
    return 2;
  }
  CPU_ZERO(&wanted);
  CPU_SET(lowest, &wanted);
  UniqueFd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));

  long oldMaskRuns = 0;
  long gaveUpRuns = 0;
  std::vector<std::int64_t> setTimes;
  for (long run = 0; run < runs; ++run) {
    RunResult result = runOnce(proc.get(), AffinityMask(std::uint64_t{1} << lowest));
    if (!result.started) {
      std::fprintf(stderr, "thread_race_stress: run %ld: the target did not start\n", run);
      return 1;
    }
    setTimes.push_back(result.setNs);
    if (!result.reportedSuccess) {
      ++gaveUpRuns;
      std::printf("run %ld: gave up after %.2f ms\n", run, static_cast<double>(result.setNs) / 1e6);
    } else if (result.oldMaskAfterNs >= 0) {
      ++oldMaskRuns;
      std::printf("run %ld: a thread had the old mask %.2f ms after a change of %.2f ms\n", run,
                  static_cast<double>(result.oldMaskAfterNs) / 1e6,
                  static_cast<double>(result.setNs) / 1e6);
    }
    std::fflush(stdout);
  }
  std::printf(
      "%s threads: runs %ld  old-mask-after-success %ld  gave-up %ld  change-ms median %.2f p99 "
      "%.2f max "
      "%.2f\n",
      keepThreads ? "kept" : "short", runs, oldMaskRuns, gaveUpRuns,
      static_cast<double>(percentile(setTimes, 0.5)) / 1e6,
      static_cast<double>(percentile(setTimes, 0.99)) / 1e6,
      static_cast<double>(percentile(setTimes, 1.0)) / 1e6);
  // With no failure in n runs, a failure rate above 1 - 0.05^(1/n) (about 3/n) would have shown
  // one with a chance of 95% or more.
  if (oldMaskRuns + gaveUpRuns == 0) {
    std::printf("no failure in %ld runs: the failure rate is below %.3g%% with 95%% confidence\n",
                runs, 100.0 * (1.0 - std::pow(0.05, 1.0 / static_cast<double>(runs))));
  }
  return oldMaskRuns + gaveUpRuns == 0 ? 0 : 1;
}
