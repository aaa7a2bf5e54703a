#include "ports/windows/held_command.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "ports/windows/write_watch.h"
#include "tests/windows/test_processes.h"

namespace vellicor::windows_platform {
namespace {

using windows_tests::ChildProcess;
using windows_tests::helperExe;
using windows_tests::startSuspended;

constexpr std::uint64_t kNever = 10ull * 60 * 1000;
constexpr DWORD kPollMilliseconds = 20;
constexpr DWORD kLongestWait = 60 * 1000;

HANDLE duplicate(HANDLE handle) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

// How often the thread is suspended now; it stays so.
DWORD suspendCount(HANDLE thread) {
  DWORD before = SuspendThread(thread);
  ResumeThread(thread);
  return before;
}

// The helper idles once let go; ChildProcess ends it.
ChildProcess startHeldHelper() {
  return startSuspended(L"\"" + helperExe() + L"\" sleep 300000");
}

// ResumeThread counts: a second call would let go a thread something else suspended meanwhile.
TEST(HeldCommand, LetsTheCommandGoOnceWhoeverAsks) {
  ChildProcess child = startHeldHelper();
  ASSERT_TRUE(child.started());
  WriteWatch writes;
  {
    HeldCommand held(duplicate(child.thread()), writes, kNever);
    EXPECT_EQ(suspendCount(child.thread()), 1u);
    EXPECT_TRUE(held.resume());
    EXPECT_EQ(suspendCount(child.thread()), 0u);
    SuspendThread(child.thread());  // a debugger, say
    EXPECT_TRUE(held.resume());
    EXPECT_EQ(suspendCount(child.thread()), 1u);
  }
  EXPECT_EQ(suspendCount(child.thread()), 1u);
}

TEST(HeldCommand, LetsTheCommandGoWhenItEnds) {
  ChildProcess child = startHeldHelper();
  ASSERT_TRUE(child.started());
  WriteWatch writes;
  { HeldCommand held(duplicate(child.thread()), writes, kNever); }
  EXPECT_EQ(suspendCount(child.thread()), 0u);
}

// Only a write that stalls lets the command go before its line is out; time alone does not.
TEST(HeldCommand, LetsTheCommandGoWhenAWriteStalls) {
  ChildProcess child = startHeldHelper();
  ASSERT_TRUE(child.started());
  WriteWatch writes;
  HeldCommand held(duplicate(child.thread()), writes, 100);
  Sleep(500);
  EXPECT_EQ(suspendCount(child.thread()), 1u);
  {
    const WriteWatch::Write stalled(&writes, GetTickCount64());
    for (DWORD waited = 0; suspendCount(child.thread()) != 0 && waited < kLongestWait;
         waited += kPollMilliseconds) {
      Sleep(kPollMilliseconds);
    }
    EXPECT_EQ(suspendCount(child.thread()), 0u);
  }
}

TEST(HeldCommand, AWriteThatEndsInTimeLetsNothingGo) {
  ChildProcess child = startHeldHelper();
  ASSERT_TRUE(child.started());
  WriteWatch writes;
  HeldCommand held(duplicate(child.thread()), writes, 100);
  { const WriteWatch::Write quick(&writes, GetTickCount64()); }
  Sleep(500);
  EXPECT_EQ(suspendCount(child.thread()), 1u);
}

}  // namespace
}  // namespace vellicor::windows_platform
