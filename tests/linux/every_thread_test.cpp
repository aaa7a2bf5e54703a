#include "ports/linux/every_thread.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"

namespace vellicor::linux_platform {
namespace {

const AffinityMask kOld = 0xf;
const AffinityMask kNew = 0x3;
const AffinityMask kStranger = 0x4;  // of a thread of another process

// Something that happens to a scripted process before one of its listings: the first listing at
// or after listing number `listing` (0 is the first) and after `afterMs` of waiting in all.
struct Event {
  // TakenOverOnceListed: the thread ends once listed, and a thread of another process gets its
  // identifier.
  enum class What { Appears, Ends, EndsOnceListed, TakenOverOnceListed };

  int listing = 0;
  int afterMs = 0;
  pid_t thread = 0;
  What what = What::Appears;
  AffinityMask mask = kOld;  // of an appearing thread: what its creator had when it started it
};

// A process whose threads do what the script says, and which records what was done to them.
// Threads are listed in the order they appeared, as the kernel lists them.
class ScriptedProcess : public ProcessThreads {
 public:
  explicit ScriptedProcess(const std::vector<pid_t>& threads) {
    for (pid_t thread : threads) {
      appear(thread, kOld);
    }
  }

  void add(const Event& event) { events_.push_back(event); }
  void refuse(pid_t thread) { refusing_.insert(thread); }
  // The process puts the thread's old mask back after every change, before the next listing.
  void fightFor(pid_t thread) { fighting_.insert(thread); }
  // The thread's cpuset holds only these processors, and the kernel narrows its masks to them.
  void confine(pid_t thread, const AffinityMask& processors) { cpusets_[thread] = processors; }
  void end() {
    order_.clear();
    masks_.clear();
  }
  // The process ends once opened, and another process gets the main thread's identifier.
  void takeOverOnOpen(pid_t mainThread) { takenOverOnOpen_ = mainThread; }

  bool open() override {
    ++opens_;
    if (takenOverOnOpen_ != 0) {
      end();
      strangers_[takenOverOnOpen_] = kStranger;
    }
    return true;
  }

  bool isSingleThreaded() override { return order_.size() == 1; }

  bool isMember(pid_t thread) override {
    ++memberships_;
    return masks_.contains(thread);
  }

  bool list(std::vector<pid_t>& threads) override {
    for (pid_t thread : revertAtNextListing_) {
      if (masks_.contains(thread)) {
        masks_[thread] = kOld;
      }
    }
    revertAtNextListing_.clear();
    for (auto event = events_.begin(); event != events_.end();) {
      if (event->listing <= listings_ && event->afterMs <= waited_) {
        if (event->what == Event::What::Appears) {
          appear(event->thread, event->mask);
        } else if (event->what == Event::What::Ends) {
          disappear(event->thread);
        } else if (event->what == Event::What::EndsOnceListed) {
          endOnceListed_.push_back(event->thread);
        } else {
          takenOverOnceListed_.push_back(event->thread);
        }
        event = events_.erase(event);
      } else {
        ++event;
      }
    }
    ++listings_;
    if (order_.empty()) {
      return false;
    }
    threads = order_;
    for (pid_t thread : endOnceListed_) {
      disappear(thread);
    }
    endOnceListed_.clear();
    for (pid_t thread : takenOverOnceListed_) {
      disappear(thread);
      strangers_[thread] = kStranger;
    }
    takenOverOnceListed_.clear();
    return true;
  }

  // By identifier, as the kernel reads and sets masks: whoever has it now.
  bool readMask(pid_t thread, AffinityMask& mask) override {
    ++reads_;
    if (strangers_.contains(thread)) {
      mask = strangers_[thread];
      return true;
    }
    if (!masks_.contains(thread)) {
      return false;
    }
    mask = masks_[thread];
    return true;
  }

  SetResult setMask(pid_t thread, const AffinityMask& mask) override {
    ++setsOf_[thread];
    if (strangers_.contains(thread)) {
      strangers_[thread] = mask;
      return SetResult::Set;
    }
    if (!masks_.contains(thread)) {
      return SetResult::Gone;
    }
    if (refusing_.contains(thread)) {
      return SetResult::Refused;
    }
    masks_[thread] = narrowed(thread, mask);
    if (fighting_.contains(thread)) {
      revertAtNextListing_.push_back(thread);
    }
    return SetResult::Set;
  }

  void wait(int milliseconds) override {
    waits_.push_back(milliseconds);
    waited_ += milliseconds;
  }

  // Live threads that do not have what setting them to `mask` gives, refusing ones aside.
  std::vector<pid_t> threadsWithout(const AffinityMask& mask) {
    std::vector<pid_t> wrong;
    for (pid_t thread : order_) {
      if (!refusing_.contains(thread) && masks_[thread] != narrowed(thread, mask)) {
        wrong.push_back(thread);
      }
    }
    return wrong;
  }

  // The masks of the other processes' threads that took over identifiers.
  const std::map<pid_t, AffinityMask>& strangers() const { return strangers_; }
  int opens() const { return opens_; }
  int memberships() const { return memberships_; }
  int listings() const { return listings_; }
  int reads() const { return reads_; }
  const std::vector<int>& waits() const { return waits_; }
  int setsOf(pid_t thread) { return setsOf_[thread]; }
  int sets() const {
    return std::accumulate(setsOf_.begin(), setsOf_.end(), 0,
                           [](int sum, const auto& entry) { return sum + entry.second; });
  }

 private:
  // What the kernel gives a thread that is set to `mask`.
  AffinityMask narrowed(pid_t thread, AffinityMask mask) {
    if (cpusets_.contains(thread)) {
      mask.intersect(cpusets_[thread]);
    }
    return mask;
  }

  void appear(pid_t thread, const AffinityMask& mask) {
    if (!masks_.contains(thread)) {
      order_.push_back(thread);
    }
    masks_[thread] = mask;
  }

  void disappear(pid_t thread) {
    std::erase(order_, thread);
    masks_.erase(thread);
  }

  std::vector<pid_t> order_;
  std::map<pid_t, AffinityMask> masks_;
  std::vector<Event> events_;
  std::set<pid_t> refusing_;
  std::set<pid_t> fighting_;
  std::map<pid_t, AffinityMask> cpusets_;
  std::vector<pid_t> revertAtNextListing_;
  std::vector<pid_t> endOnceListed_;
  std::vector<pid_t> takenOverOnceListed_;
  std::map<pid_t, AffinityMask> strangers_;
  pid_t takenOverOnOpen_ = 0;
  int opens_ = 0;
  int memberships_ = 0;
  int listings_ = 0;
  int waited_ = 0;
  int reads_ = 0;
  std::vector<int> waits_;
  std::map<pid_t, int> setsOf_;
};

const std::vector<int> kFullConfirmation{1, 2, 4, 8};

std::vector<int> concat(std::vector<int> first, const std::vector<int>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

struct ScriptCase {
  const char* name;
  std::vector<pid_t> threads;  // the first is the main thread
  std::vector<Event> events;
  std::vector<int> waits;  // the confirmation waits expected
};

void PrintTo(const ScriptCase& test, std::ostream* out) {
  *out << test.name;
}

class ScriptedThreads : public testing::TestWithParam<ScriptCase> {};

// The change succeeds and leaves no listed thread with the old mask, waiting only as expected.
TEST_P(ScriptedThreads, EveryThreadEndsWithTheMask) {
  const ScriptCase& test = GetParam();
  ScriptedProcess process(test.threads);
  for (const Event& event : test.events) {
    process.add(event);
  }
  EXPECT_TRUE(setEveryThread(process, test.threads.front(), kNew));
  EXPECT_EQ(process.threadsWithout(kNew), std::vector<pid_t>{});
  EXPECT_EQ(process.waits(), test.waits);
}

// A thread of a process that has started threads since the first listing (`kGrowth`) may
// appear late, while the confirming passes wait.
const Event kGrowth{.listing = 1, .thread = 600, .mask = kNew};

INSTANTIATE_TEST_SUITE_P(
    Table, ScriptedThreads,
    testing::Values(
        ScriptCase{"main_thread_alone", {100}, {}, {}},
        ScriptCase{"list_never_grows", {100, 101, 102}, {}, {}},
        // Started by a thread not yet set, it shows only after the first pass.
        ScriptCase{"old_thread_appears_after_the_first_pass",
                   {100, 101},
                   {{.listing = 1, .thread = 102}},
                   kFullConfirmation},
        ScriptCase{"old_threads_appear_pass_after_pass",
                   {100, 101},
                   {{.listing = 1, .thread = 102}, {.listing = 2, .thread = 103}},
                   kFullConfirmation},
        // Started by threads already set: a process that keeps starting threads does not keep
        // the passes going.
        ScriptCase{"new_threads_with_the_mask_at_every_listing",
                   {100, 101},
                   {{.listing = 1, .thread = 102, .mask = kNew},
                    {.listing = 2, .thread = 103, .mask = kNew},
                    {.listing = 3, .thread = 104, .mask = kNew},
                    {.listing = 4, .thread = 105, .mask = kNew},
                    {.listing = 5, .thread = 106, .mask = kNew},
                    {.listing = 6, .thread = 107, .mask = kNew}},
                   kFullConfirmation},
        // Late threads restart the confirmation: they may have started threads of their own.
        ScriptCase{"old_thread_appears_during_the_waits",
                   {100, 101},
                   {kGrowth, {.afterMs = 6, .thread = 102}},
                   concat({1, 2, 4}, kFullConfirmation)},
        ScriptCase{"old_thread_appears_during_the_last_wait",
                   {100, 101},
                   {kGrowth, {.afterMs = 14, .thread = 102}},
                   concat({1, 2, 4, 8}, kFullConfirmation)},
        ScriptCase{"old_thread_with_a_lower_identifier_than_earlier_ones",
                   {500, 501},
                   {kGrowth, {.afterMs = 2, .thread = 90}},
                   concat({1, 2}, kFullConfirmation)},
        // A thread set earlier ends and a new one, started with the old mask, gets its
        // identifier: only looking at every listed thread finds it.
        ScriptCase{"identifier_reused_by_a_thread_with_the_old_mask",
                   {100, 101, 102},
                   {kGrowth,
                    {.afterMs = 1, .thread = 101, .what = Event::What::Ends},
                    {.afterMs = 1, .thread = 101}},
                   concat({1}, kFullConfirmation)},
        ScriptCase{
            "old_thread_and_a_thread_it_started",
            {100, 101},
            {kGrowth, {.afterMs = 3, .thread = 102}, {.listing = 4, .afterMs = 3, .thread = 103}},
            concat({1, 2}, kFullConfirmation)},
        // A thread that ends between being listed and being set refuses nothing.
        ScriptCase{"thread_ends_before_the_first_pass_sets_it",
                   {100, 101, 102},
                   {{.thread = 102, .what = Event::What::EndsOnceListed}},
                   {}},
        ScriptCase{"thread_ends_before_a_confirming_pass_looks_at_it",
                   {100, 101, 102},
                   {kGrowth, {.listing = 2, .thread = 101, .what = Event::What::EndsOnceListed}},
                   kFullConfirmation}),
    [](const testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });

// Each thread is read once, for the mask to give back should its identifier turn out to be
// another process's, set once and confirmed once.
TEST(EveryThread, AProcessWhoseListNeverGrowsCostsOneSetPerThreadAndTwoListings) {
  ScriptedProcess process({100, 101, 102, 103});
  EXPECT_TRUE(setEveryThread(process, 100, kNew));
  EXPECT_EQ(process.sets(), 4);
  EXPECT_EQ(process.listings(), 2);
  EXPECT_EQ(process.reads(), 4);
  EXPECT_EQ(process.memberships(), 4);
  EXPECT_TRUE(process.waits().empty());
}

// A process that still lives after the change still holds its identifier: nothing more to ask.
TEST(EveryThread, ALoneMainThreadIsSetWithoutAListing) {
  ScriptedProcess process({100});
  EXPECT_TRUE(setEveryThread(process, 100, kNew));
  EXPECT_EQ(process.opens(), 1);
  EXPECT_EQ(process.sets(), 1);
  EXPECT_EQ(process.listings(), 0);
  EXPECT_EQ(process.memberships(), 0);
}

// --- Identifiers that another process took over ----------------------------------------------

struct TakeOverCase {
  const char* name;
  std::vector<pid_t> threads;  // the first is the main thread
  std::vector<Event> events;
  bool succeeds;
};

void PrintTo(const TakeOverCase& test, std::ostream* out) {
  *out << test.name;
}

class TakenOverIdentifiers : public testing::TestWithParam<TakeOverCase> {};

// A thread of another process that took over a listed identifier before it was set keeps the
// mask it had; every thread of the process gets the new one.
TEST_P(TakenOverIdentifiers, LeaveTheOtherProcessAsItWas) {
  const TakeOverCase& test = GetParam();
  ScriptedProcess process(test.threads);
  for (const Event& event : test.events) {
    process.add(event);
  }
  EXPECT_EQ(setEveryThread(process, test.threads.front(), kNew), test.succeeds);
  ASSERT_FALSE(process.strangers().empty());
  for (const auto& [thread, mask] : process.strangers()) {
    EXPECT_EQ(mask, kStranger) << thread;
  }
  EXPECT_EQ(process.threadsWithout(kNew), std::vector<pid_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Table, TakenOverIdentifiers,
    testing::Values(TakeOverCase{"in_the_first_pass",
                                 {100, 101, 102},
                                 {{.thread = 101, .what = Event::What::TakenOverOnceListed}},
                                 true},
                    TakeOverCase{
                        "in_a_confirming_pass",
                        {100, 101, 102},
                        {kGrowth,
                         {.listing = 2, .thread = 101, .what = Event::What::TakenOverOnceListed}},
                        true},
                    TakeOverCase{"every_thread_but_the_main_one",
                                 {100, 101, 102},
                                 {{.thread = 101, .what = Event::What::TakenOverOnceListed},
                                  {.thread = 102, .what = Event::What::TakenOverOnceListed}},
                                 true}),
    [](const testing::TestParamInfo<TakeOverCase>& info) { return std::string(info.param.name); });

// The process ended after it was opened, and another one got its identifier before the change:
// that one keeps its mask, and the change fails as for any process that has ended.
TEST(EveryThread, AProcessWhoseIdentifierWasTakenOverIsLeftAsItWas) {
  for (const std::vector<pid_t>& threads : {std::vector<pid_t>{100}, {100, 101, 102}}) {
    ScriptedProcess process(threads);
    process.takeOverOnOpen(100);
    EXPECT_FALSE(setEveryThread(process, 100, kNew));
    EXPECT_EQ(process.strangers().at(100), kStranger);
  }
}

TEST(EveryThread, AThreadThatRefusesFailsTheChangeButNotTheOthers) {
  ScriptedProcess process({100, 101, 102});
  process.add(kGrowth);
  process.refuse(101);
  EXPECT_FALSE(setEveryThread(process, 100, kNew));
  EXPECT_EQ(process.setsOf(101), 1) << "asked again";
  EXPECT_EQ(process.threadsWithout(kNew), std::vector<pid_t>{});
  EXPECT_EQ(process.waits(), kFullConfirmation);
}

TEST(EveryThread, AMainThreadThatRefusesFailsTheChange) {
  ScriptedProcess process({100});
  process.refuse(100);
  EXPECT_FALSE(setEveryThread(process, 100, kNew));
  EXPECT_TRUE(process.waits().empty());
}

TEST(EveryThread, AnEndedProcessFailsTheChange) {
  ScriptedProcess process({100, 101});
  process.end();
  EXPECT_FALSE(setEveryThread(process, 100, kNew));
  EXPECT_TRUE(process.waits().empty());
}

// A process that puts the old mask back must not hold the run: the change gives up at the pass
// limit and says so, after a bounded wait.
TEST(EveryThread, AFightOverAMaskEndsInFailureAtThePassLimit) {
  ScriptedProcess process({100, 101, 102});
  process.add(kGrowth);
  process.fightFor(101);
  EXPECT_FALSE(setEveryThread(process, 100, kNew));
  EXPECT_EQ(process.listings(), kPassLimit);
  int waited = std::accumulate(process.waits().begin(), process.waits().end(), 0);
  EXPECT_LE(waited, kPassLimit * 8);
}

// A mask of a wide machine reaches every thread whole, processors above 63 included, also a
// thread that appears during the change with the old mask.
TEST(EveryThread, AWideMaskReachesEveryThreadWhole) {
  AffinityMask wide;
  wide.setRange(60, 70);
  wide.set(127);
  ScriptedProcess process({100, 101, 102});
  process.add(kGrowth);
  EXPECT_TRUE(setEveryThread(process, 100, wide));
  EXPECT_EQ(process.threadsWithout(wide), std::vector<pid_t>{});
}

// The kernel narrows a mask to the thread's cpuset: setting such a thread again changes nothing
// and must not keep the passes going until the limit.
TEST(EveryThread, AThreadInANarrowerCpusetEndsTheConfirmation) {
  ScriptedProcess process({100, 101, 102});
  process.add(kGrowth);
  process.confine(101, 0x2);
  EXPECT_TRUE(setEveryThread(process, 100, kNew));
  EXPECT_EQ(process.threadsWithout(kNew), std::vector<pid_t>{});
  EXPECT_EQ(process.waits(), kFullConfirmation);
}

// --- A real process that starts threads during the change -----------------------------------

// A process of the test's own whose main thread starts a thread when told: 'n' with the main
// thread's own mask, 'o' with the mask `old` (as a thread started by a creator not yet changed
// gets it). Answers each order once the thread is listed in its task directory.
class ThreadPool {
 public:
  explicit ThreadPool(std::uint64_t old) {
    if (pipe2(orders_, O_CLOEXEC) != 0 || pipe2(answers_, O_CLOEXEC) != 0) {
      return;
    }
    child_.emplace(linux_test::ChildProcess::run([this, old] {
      char order;
      while (read(orders_[0], &order, 1) == 1) {
        cpu_set_t own;
        sched_getaffinity(0, sizeof own, &own);
        if (order == 'o') {
          cpu_set_t set;
          CPU_ZERO(&set);
          for (int cpu = 0; cpu < 64; ++cpu) {
            if ((old >> cpu) & 1) {
              CPU_SET(cpu, &set);
            }
          }
          sched_setaffinity(0, sizeof set, &set);
        }
        pthread_t thread;
        pthread_create(
            &thread, nullptr,
            [](void*) -> void* {
              pause();
              return nullptr;
            },
            nullptr);
        sched_setaffinity(0, sizeof own, &own);
        (void)!write(answers_[1], &order, 1);
      }
      _exit(0);
    }));
  }
  ~ThreadPool() {
    child_.reset();
    for (int fd : {orders_[0], orders_[1], answers_[0], answers_[1]}) {
      close(fd);
    }
  }

  pid_t pid() const { return child_ ? child_->pid() : -1; }
  bool started() const { return child_ && child_->started(); }
  // Has the pool start a thread, and returns once it is listed.
  bool start(char order) {
    const std::size_t before = linux_test::threadsOf(pid()).size();
    char answer;
    if (write(orders_[1], &order, 1) != 1 || read(answers_[0], &answer, 1) != 1) {
      return false;
    }
    while (linux_test::threadsOf(pid()).size() == before) {
      usleep(100);
    }
    return true;
  }

 private:
  int orders_[2] = {-1, -1};
  int answers_[2] = {-1, -1};
  std::optional<linux_test::ChildProcess> child_;
};

// The real task directory of the pool, with the pool starting threads at set points of the
// change: one with the new mask before the second listing (the process is seen to start
// threads), and one with the old mask during confirmation wait number `lateAt`.
class StartingThreads : public ProcessThreads {
 public:
  StartingThreads(TaskDirectory& tasks, ThreadPool& pool, int lateAt)
      : tasks_(tasks), pool_(pool), lateAt_(lateAt) {}

  bool open() override { return tasks_.open(); }
  bool isSingleThreaded() override { return tasks_.isSingleThreaded(); }
  bool isMember(pid_t thread) override { return tasks_.isMember(thread); }
  bool list(std::vector<pid_t>& threads) override {
    if (listings_++ == 1) {
      started_ += pool_.start('n') ? 1 : 0;
    }
    return tasks_.list(threads);
  }
  bool readMask(pid_t thread, AffinityMask& mask) override { return tasks_.readMask(thread, mask); }
  SetResult setMask(pid_t thread, const AffinityMask& mask) override {
    return tasks_.setMask(thread, mask);
  }
  void wait(int milliseconds) override {
    if (waits_++ == lateAt_) {
      started_ += pool_.start('o') ? 1 : 0;
    }
    tasks_.wait(milliseconds);
  }

  int started() const { return started_; }

 private:
  TaskDirectory& tasks_;
  ThreadPool& pool_;
  int lateAt_;
  int listings_ = 0;
  int waits_ = 0;
  int started_ = 0;
};

class LateThreads : public testing::TestWithParam<int> {};

// A thread with the old mask that shows in the task directory only while the change confirms
// itself is found and changed: every thread of the process ends on the new mask.
TEST_P(LateThreads, OfARealProcessGetTheMask) {
  const std::uint64_t online = linux_test::onlineMask();
  if (std::popcount(online) < 2 || linux_test::threadMask(getpid()) != online) {
    GTEST_SKIP() << "needs two processors and every one of them";
  }
  ThreadPool pool(online);
  ASSERT_TRUE(pool.started());
  ASSERT_TRUE(pool.start('n'));
  const UniqueFd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ClosingBatch closing;
  TaskDirectory tasks(proc.get(), pool.pid(), closing);
  StartingThreads process(tasks, pool, GetParam());
  const std::uint64_t lowest = online & -online;
  EXPECT_TRUE(setEveryThread(process, pool.pid(), AffinityMask(lowest)));
  EXPECT_EQ(process.started(), 2) << "the pool started its threads";
  const std::vector<pid_t> threads = linux_test::threadsOf(pool.pid());
  EXPECT_EQ(threads.size(), 4u);
  for (pid_t thread : threads) {
    EXPECT_EQ(linux_test::threadMask(thread), lowest) << thread;
  }
}

INSTANTIATE_TEST_SUITE_P(ConfirmationWaits, LateThreads,
                         testing::Range(0, static_cast<int>(std::size(kConfirmationWaits))));

}  // namespace
}  // namespace vellicor::linux_platform
