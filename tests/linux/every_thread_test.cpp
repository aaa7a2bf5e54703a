#include "ports/linux/every_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <numeric>
#include <ostream>
#include <set>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace vellicor::linux_platform
