#include "ports/windows/windows_platform.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/windows/test_processes.h"

namespace vellicor::windows_platform {
namespace {

using windows_tests::ChildProcess;
using windows_tests::helperExe;
using windows_tests::lowestBit;
using windows_tests::processorCount;
using windows_tests::readFile;
using windows_tests::ScratchFolder;
using windows_tests::startIdleHelper;
using windows_tests::utf8;

const ProcessEntry* findProcess(const std::vector<ProcessEntry>& table, std::uint32_t processId) {
  for (const ProcessEntry& entry : table) {
    if (entry.ProcessId == processId) {
      return &entry;
    }
  }
  return nullptr;
}

std::string hexText(std::uint64_t value) {
  char text[16];
  return std::string(text, std::to_chars(text, text + sizeof text, value, 16).ptr);
}

// The process table

TEST(WindowsProcessTable, ListsThisProcessUnderItsImageName) {
  WindowsPlatform platform;
  std::vector<ProcessEntry> table;
  ASSERT_TRUE(platform.enumerateProcesses(table));
  const ProcessEntry* self = findProcess(table, GetCurrentProcessId());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->pProcessName, L"vellicor_windows_tests.exe");
}

TEST(WindowsProcessTable, KeepsWholeNonAsciiImageNames) {
  ScratchFolder scratch;
  const std::wstring name = L"Z\u00e4hlwerk_\u03a9\u65e5\xd83d\xde00.exe";
  ChildProcess helper = startIdleHelper(scratch.helperNamed(name));
  ASSERT_TRUE(helper.started());
  WindowsPlatform platform;
  std::vector<ProcessEntry> table;
  ASSERT_TRUE(platform.enumerateProcesses(table));
  const ProcessEntry* entry = findProcess(table, helper.id());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->pProcessName, name);
}

// Process handles and affinity masks

TEST(WindowsAffinity, ReadsMasksOfThisProcess) {
  WindowsPlatform platform;
  OsHandle self = platform.openProcess(GetCurrentProcessId(), ProcessAccess::ReadMasks);
  ASSERT_NE(self, kNoHandle);
  AffinityMask processMask;
  AffinityMask systemMask;
  EXPECT_TRUE(platform.getProcessAffinityMask(self, processMask, systemMask));
  platform.closeHandle(self);
  EXPECT_FALSE(processMask.none());
  EXPECT_TRUE(systemMask.includes(processMask));
  EXPECT_EQ(systemMask.wordCount(), 1u) << "a Windows mask is one processor group";
  if (processorCount() <= 64) {
    EXPECT_EQ(systemMask.count(), processorCount());
  }
}

TEST(WindowsAffinity, SetsMaskOfAnotherProcess) {
  ChildProcess helper = startIdleHelper(helperExe());
  ASSERT_TRUE(helper.started());
  WindowsPlatform platform;
  OsHandle process = platform.openProcess(helper.id(), ProcessAccess::SetMask);
  ASSERT_NE(process, kNoHandle);
  AffinityMask processMask;
  AffinityMask systemMask;
  ASSERT_TRUE(platform.getProcessAffinityMask(process, processMask, systemMask));
  const std::uint64_t wanted = lowestBit(systemMask.word(0));
  EXPECT_TRUE(platform.setProcessAffinityMask(process, wanted));
  ASSERT_TRUE(platform.getProcessAffinityMask(process, processMask, systemMask));
  platform.closeHandle(process);
  EXPECT_EQ(processMask, AffinityMask(wanted));
  EXPECT_EQ(windows_tests::affinityOf(helper.handle()), wanted);
}

TEST(WindowsAffinity, RefusesMaskOutsideTheSystemMask) {
  const std::uint64_t outside = ~windows_tests::systemMask();
  if (outside == 0) {
    GTEST_SKIP() << "every processor bit is in the system mask";
  }
  ChildProcess helper = startIdleHelper(helperExe());
  ASSERT_TRUE(helper.started());
  WindowsPlatform platform;
  OsHandle process = platform.openProcess(helper.id(), ProcessAccess::SetMask);
  ASSERT_NE(process, kNoHandle);
  EXPECT_FALSE(platform.setProcessAffinityMask(process, outside));
  platform.closeHandle(process);
}

// A mask of processors beyond the group the process runs in would be cut, not set.
TEST(WindowsAffinity, RefusesAMaskBeyondOneProcessorGroup) {
  ChildProcess helper = startIdleHelper(helperExe());
  ASSERT_TRUE(helper.started());
  const std::uint64_t before = windows_tests::affinityOf(helper.handle());
  WindowsPlatform platform;
  OsHandle process = platform.openProcess(helper.id(), ProcessAccess::SetMask);
  ASSERT_NE(process, kNoHandle);
  AffinityMask wide(lowestBit(windows_tests::systemMask()));
  wide.set(64);
  EXPECT_FALSE(platform.setProcessAffinityMask(process, wide));
  EXPECT_EQ(platform.getLastError(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
  platform.closeHandle(process);
  EXPECT_EQ(windows_tests::affinityOf(helper.handle()), before);
}

TEST(WindowsAffinity, CannotOpenAnEndedProcess) {
  ChildProcess helper = startIdleHelper(helperExe());
  ASSERT_TRUE(helper.started());
  std::uint32_t endedId = helper.id();
  helper.end();
  WindowsPlatform platform;
  EXPECT_EQ(platform.openProcess(endedId, ProcessAccess::SetMask), kNoHandle);
}

// A process grants what its security descriptor says (and a protected one lets others read its
// mask and not much more, whoever they are): each is opened for what the run needs of it.
TEST(WindowsAffinity, OpensAProcessForWhatItGrants) {
  struct Row {
    const char* mode;
    bool read;
    bool set;
  };
  const Row rows[] = {
      {"grant-read", true, false}, {"grant-set", true, true}, {"guard", false, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    const std::wstring mode(row.mode, row.mode + std::strlen(row.mode));
    ChildProcess helper = startIdleHelper(helperExe(), mode);
    ASSERT_TRUE(helper.started());
    WindowsPlatform platform;
    OsHandle reading = platform.openProcess(helper.id(), ProcessAccess::ReadMasks);
    ASSERT_EQ(reading != kNoHandle, row.read);
    if (reading != kNoHandle) {
      AffinityMask processMask;
      AffinityMask systemMask;
      EXPECT_TRUE(platform.getProcessAffinityMask(reading, processMask, systemMask));
      EXPECT_EQ(processMask, AffinityMask(windows_tests::affinityOf(helper.handle())));
      platform.closeHandle(reading);
    }
    OsHandle setting = platform.openProcess(helper.id(), ProcessAccess::SetMask);
    ASSERT_EQ(setting != kNoHandle, row.set);
    if (setting != kNoHandle) {
      const std::uint64_t wanted = lowestBit(windows_tests::systemMask());
      EXPECT_TRUE(platform.setProcessAffinityMask(setting, AffinityMask(wanted)));
      EXPECT_EQ(windows_tests::affinityOf(helper.handle()), wanted);
      platform.closeHandle(setting);
    }
  }
}

TEST(WindowsAffinity, CannotOpenAProcessThatShutsOthersOut) {
  ChildProcess helper = startIdleHelper(helperExe(), L"guard");
  ASSERT_TRUE(helper.started());
  WindowsPlatform platform;
  EXPECT_EQ(platform.openProcess(helper.id(), ProcessAccess::SetMask), kNoHandle);
}

// The logical-processor query, used the way the topology query uses it

TEST(WindowsTopologyQuery, AsksForALargerBufferFirst) {
  WindowsPlatform platform;
  ASSERT_TRUE(platform.hasLogicalProcessorInformation());
  std::uint32_t length = 0;
  EXPECT_FALSE(platform.getLogicalProcessorInformation(nullptr, length));
  EXPECT_EQ(platform.getLastError(), kErrorInsufficientBuffer);
  EXPECT_GE(length, kLogicalProcessorRecordSize);
  EXPECT_EQ(length % kLogicalProcessorRecordSize, 0u);
}

TEST(WindowsTopologyQuery, CoreRecordsCountEveryLogicalProcessor) {
  WindowsPlatform platform;
  ASSERT_TRUE(platform.hasLogicalProcessorInformation());
  std::uint32_t length = 0;
  platform.getLogicalProcessorInformation(nullptr, length);
  std::unique_ptr<std::byte[]> buffer = platform.allocateBuffer(length);
  ASSERT_NE(buffer, nullptr);
  ASSERT_TRUE(platform.getLogicalProcessorInformation(buffer.get(), length));

  std::uint32_t counted = 0;
  std::uint64_t inCores = 0;
  std::uint64_t inPackages = 0;
  for (std::uint32_t offset = 0; offset + kLogicalProcessorRecordSize <= length;
       offset += kLogicalProcessorRecordSize) {
    std::uint64_t mask = 0;
    std::uint32_t relationship = 0;
    std::uint32_t groupFields = 0;
    std::memcpy(&mask, buffer.get() + offset + kProcessorMaskOffset, sizeof mask);
    std::memcpy(&relationship, buffer.get() + offset + kRelationshipOffset, sizeof relationship);
    std::memcpy(&groupFields, buffer.get() + offset + kProcessorGroupOffset, sizeof groupFields);
    // The query covers the caller's own group: every record is group 0, complete in itself.
    EXPECT_EQ(groupFields, 0u) << "record at " << offset;
    if (relationship == RelationProcessorCore) {
      counted += static_cast<std::uint32_t>(std::popcount(mask));
      inCores |= mask;
    } else if (relationship == RelationProcessorPackage) {
      inPackages |= mask;
    }
  }
  EXPECT_EQ(counted, processorCount());
  EXPECT_EQ(inPackages, inCores);
}

// Starting a command suspended

class WindowsLaunch : public testing::Test {
 protected:
  std::wstring helperCommand(std::wstring_view mode, const std::wstring& report) const {
    return L"\"" + helperExe() + L"\" " + std::wstring(mode) + L" \"" + report + L"\"";
  }

  WindowsPlatform platform_;
  ScratchFolder scratch_;
};

TEST_F(WindowsLaunch, CommandRunsFirstUnderTheMaskSetWhileSuspended) {
  const std::wstring report = scratch_.file(L"mask.txt");
  LaunchedProcess launched;
  ASSERT_TRUE(platform_.createSuspendedProcess(helperCommand(L"report-mask", report), launched));
  ChildProcess child(PROCESS_INFORMATION{reinterpret_cast<HANDLE>(launched.hProcess),
                                         reinterpret_cast<HANDLE>(launched.hThread),
                                         launched.dwProcessId, 0});
  // Suspending once more reports how often the thread was suspended before: once, at creation.
  EXPECT_EQ(SuspendThread(reinterpret_cast<HANDLE>(launched.hThread)), 1u);
  ResumeThread(reinterpret_cast<HANDLE>(launched.hThread));

  OsHandle process = platform_.openProcess(launched.dwProcessId, ProcessAccess::SetMask);
  ASSERT_NE(process, kNoHandle);
  AffinityMask processMask;
  AffinityMask systemMask;
  ASSERT_TRUE(platform_.getProcessAffinityMask(process, processMask, systemMask));
  const std::uint64_t wanted = lowestBit(systemMask.word(0));
  ASSERT_TRUE(platform_.setProcessAffinityMask(process, wanted));
  platform_.closeHandle(process);

  platform_.resumeThread(launched.hThread);
  EXPECT_EQ(child.waitForExit(), 0u);
  EXPECT_EQ(readFile(report), hexText(wanted));
}

TEST_F(WindowsLaunch, PassesTheCommandLineVerbatim) {
  const std::wstring report = scratch_.file(L"command line.txt");
  const std::wstring command =
      L"\"" + helperExe() + L"\"   report-command-line \"" + report + L"\"  ";
  LaunchedProcess launched;
  ASSERT_TRUE(platform_.createSuspendedProcess(command, launched));
  ChildProcess child(PROCESS_INFORMATION{reinterpret_cast<HANDLE>(launched.hProcess),
                                         reinterpret_cast<HANDLE>(launched.hThread),
                                         launched.dwProcessId, 0});
  platform_.resumeThread(launched.hThread);
  EXPECT_EQ(child.waitForExit(), 0u);
  EXPECT_EQ(readFile(report), utf8(command));
}

TEST_F(WindowsLaunch, FailsForAProgramThatDoesNotExist) {
  LaunchedProcess launched;
  EXPECT_FALSE(platform_.createSuspendedProcess(L"vellicor-no-such-program.exe /x", launched));
}

}  // namespace
}  // namespace vellicor::windows_platform
