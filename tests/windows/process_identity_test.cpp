#include "ports/windows/process_identity.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "ports/windows/windows_platform.h"
#include "tests/windows/test_processes.h"

namespace vellicor::windows_platform {
namespace {

using windows_tests::ChildProcess;
using windows_tests::ScratchFolder;
using windows_tests::startIdleHelper;

// Windows hands out identifiers again at once, which Wine does not: a process that took over a
// listed identifier is described here as Windows would describe it.
TEST(ListedProcess, IsTheOneCreatedBeforeTheTableFromTheListedImage) {
  constexpr std::uint64_t kTable = 133'000'000'000'000'000;
  const std::wstring listed = L"svchost.exe";
  struct Row {
    const char* name;
    ProcessIdentity identity;
    const std::wstring* listedName;
    bool isListed;
  };
  const Row rows[] = {
      {"the listed process",
       {true, kTable - 1, true, L"C:\\Windows\\System32\\svchost.exe"},
       &listed,
       true},
      {"its image file in another letter case",
       {true, kTable - 1, true, L"C:\\WINDOWS\\System32\\SVCHOST.EXE"},
       &listed,
       true},
      {"Windows' own System process, whose image it cannot tell",
       {true, kTable - 1, false, L""},
       &listed,
       true},
      {"created at the very moment of the table",
       {true, kTable, true, L"C:\\svchost.exe"},
       &listed,
       false},
      {"created after the table, under the same name",
       {true, kTable + 1, true, L"C:\\Windows\\System32\\svchost.exe"},
       &listed,
       false},
      {"created after the table, its image unknown",
       {true, kTable + 1, false, L""},
       &listed,
       false},
      {"another program under the identifier",
       {true, kTable - 1, true, L"C:\\Tools\\evil.exe"},
       &listed,
       false},
      {"a name that only ends like the listed one",
       {true, kTable - 1, true, L"C:\\Tools\\my-svchost.exe"},
       &listed,
       false},
      {"a creation time that cannot be read", {false, 0, true, L"C:\\svchost.exe"}, &listed, false},
      {"an identifier the table did not list, older",
       {true, kTable - 1, true, L"C:\\a.exe"},
       nullptr,
       true},
      {"an identifier the table did not list, newer",
       {true, kTable + 1, true, L"C:\\a.exe"},
       nullptr,
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(createdBefore(row.identity, kTable) && runsListedImage(row.identity, row.listedName),
              row.isListed);
  }
}

TEST(ListedProcess, IdentityOfARealProcess) {
  ScratchFolder scratch;
  ChildProcess helper = startIdleHelper(scratch.helperNamed(L"Identified.exe"));
  ASSERT_TRUE(helper.started());
  const std::uint64_t after = currentMoment();
  ProcessIdentity identity = readProcessIdentity(helper.handle());
  ASSERT_TRUE(identity.creationKnown);
  EXPECT_LE(identity.creation, after);
  ASSERT_TRUE(identity.imageKnown);
  EXPECT_EQ(imageFileName(identity.imagePath), L"Identified.exe");
}

const ProcessEntry* findProcess(const std::vector<ProcessEntry>& table, std::uint32_t processId) {
  for (const ProcessEntry& entry : table) {
    if (entry.ProcessId == processId) {
      return &entry;
    }
  }
  return nullptr;
}

// A process started after the table was read is not opened, although nothing else tells it from
// a process the table listed under its identifier; once a table lists it, it is.
TEST(ListedProcess, AProcessStartedAfterTheTableIsNotOpened) {
  ScratchFolder scratch;
  ChildProcess before = startIdleHelper(scratch.helperNamed(L"BeforeTheTable.exe"));
  ASSERT_TRUE(before.started());
  WindowsPlatform platform;
  std::vector<ProcessEntry> table;
  ASSERT_TRUE(platform.enumerateProcesses(table));
  ChildProcess after = startIdleHelper(scratch.helperNamed(L"AfterTheTable.exe"));
  ASSERT_TRUE(after.started());
  ASSERT_EQ(findProcess(table, after.id()), nullptr);

  OsHandle listed = platform.openProcess(before.id(), ProcessAccess::SetMask);
  EXPECT_NE(listed, kNoHandle);
  platform.closeHandle(listed);
  EXPECT_EQ(platform.openProcess(after.id(), ProcessAccess::SetMask), kNoHandle);

  ASSERT_TRUE(platform.enumerateProcesses(table));
  OsHandle listedNow = platform.openProcess(after.id(), ProcessAccess::SetMask);
  EXPECT_NE(listedNow, kNoHandle);
  platform.closeHandle(listedNow);
}

}  // namespace
}  // namespace vellicor::windows_platform
