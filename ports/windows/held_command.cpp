#include "ports/windows/held_command.h"

namespace vellicor::windows_platform {

namespace {

constexpr DWORD kWatchdogPollMilliseconds = 50;
constexpr DWORD kResumeFailed = static_cast<DWORD>(-1);

// A console control handler gets no context: the command it lets go is this one. The lock keeps
// a handler that is running from outliving the command's owner.
SRWLOCK registrationLock = SRWLOCK_INIT;
HeldCommand* registered = nullptr;

}  // namespace

HeldCommand::HeldCommand(HANDLE thread, const WriteWatch& writes, std::uint64_t stallMilliseconds)
    : thread_(thread), writes_(writes), stallMilliseconds_(stallMilliseconds) {
  AcquireSRWLockExclusive(&registrationLock);
  registered = this;
  ReleaseSRWLockExclusive(&registrationLock);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);

  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stop_ != nullptr) {
    watchdog_ = CreateThread(nullptr, 0, watch, this, 0, nullptr);
  }
}

HeldCommand::~HeldCommand() {
  resume();
  SetConsoleCtrlHandler(onConsoleEvent, FALSE);
  AcquireSRWLockExclusive(&registrationLock);
  if (registered == this) {
    registered = nullptr;
  }
  ReleaseSRWLockExclusive(&registrationLock);
  if (watchdog_ != nullptr) {
    SetEvent(stop_);
    WaitForSingleObject(watchdog_, INFINITE);
    CloseHandle(watchdog_);
  }
  if (stop_ != nullptr) {
    CloseHandle(stop_);
  }
}

bool HeldCommand::resume() {
  AcquireSRWLockExclusive(&lock_);
  if (thread_ != nullptr) {
    resumed_ = ResumeThread(thread_) != kResumeFailed;
    // Let go, the thread is none of this object's business: its handle would only keep the
    // command's identifier from being freed after it ends.
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  const bool resumed = resumed_;
  ReleaseSRWLockExclusive(&lock_);
  return resumed;
}

DWORD WINAPI HeldCommand::watch(void* self) {
  auto* command = static_cast<HeldCommand*>(self);
  while (WaitForSingleObject(command->stop_, kWatchdogPollMilliseconds) == WAIT_TIMEOUT) {
    // The same write must still be under way once the time is read.
    const std::uint64_t since = command->writes_.writingSince();
    if (since != 0 && GetTickCount64() - since >= command->stallMilliseconds_ &&
        command->writes_.writingSince() == since) {
      command->resume();
      break;
    }
  }
  return 0;
}

BOOL WINAPI HeldCommand::onConsoleEvent(DWORD) {
  AcquireSRWLockShared(&registrationLock);
  if (registered != nullptr) {
    registered->resume();
  }
  ReleaseSRWLockShared(&registrationLock);
  // The next handler, in the end Windows' own, still ends Vellicor as the event asks.
  return FALSE;
}

}  // namespace vellicor::windows_platform
