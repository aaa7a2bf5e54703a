#include "app/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ports/simulated/captured_output.h"
#include "ports/simulated/simulated_platform.h"

namespace vellicor {
namespace {

using simulated::CapturedOutput;
using simulated::SimulatedPlatform;
using simulated::SimulatedProcess;

const std::wstring kUsage =
    L"Vellicor version 0.7.0 (x64) by Quennet\n"
    L"usage: vellicor.exe [/?:mask] [n:number] [/g] [/p] [/l] [/c] [/e] process ...\n"
    L"    /b bianry form\n"
    L"    /o octed form\n"
    L"    /d decimal form\n"
    L"    /x hexadecimal form\n"
    L"    /n Set by Number\n"
    L"    /g Use regular expression\n"
    L"    /p Specify by PID\n"
    L"    /l List process\n"
    L"    /c Print Processor Information\n"
    L"    /e command ...\n"
    L" ex. vellicor.exe /x:03fc /g \"TMPGEnc.*\"\n"
    L"     vellicor.exe /l\n";

class Run : public testing::Test {
 protected:
  void SetUp() override {
    platform.useSimpleTopology(4, 2);  // 8 logical processors: masks print with two digits
    platform.processes = {
        {0, L"[System Process]", 0xff, 0xff}, {4, L"System", 0xff, 0xff, true},
        {4242, L"notepad.exe", 0xff, 0xff},   {4243, L"calc.exe", 0x0f, 0xff},
        {4244, L"NotePad.EXE", 0xff, 0x0f},
    };
  }

  int run(std::vector<std::wstring> words) {
    words.insert(words.begin(), L"vellicor.exe");
    arguments = std::move(words);
    return runAffinityRequest(platform, output, arguments);
  }

  SimulatedPlatform platform;
  CapturedOutput output;
  std::vector<std::wstring> arguments;
};

TEST_F(Run, SetsTheMaskOfEveryProcessNamedInAnyLetterCase) {
  EXPECT_EQ(run({L"/x:3", L"NOTEPAD.exe"}), 0);
  EXPECT_EQ(output.text,
            L"notepad.exe, pid:4242, mask:ff -> 03\n"
            L"NotePad.EXE, pid:4244, mask:ff -> 03\n");
  EXPECT_EQ(platform.find(4242)->processMask, 0x3u);
  EXPECT_EQ(platform.find(4243)->processMask, 0x0fu);
  EXPECT_TRUE(platform.openHandles.empty());
}

TEST_F(Run, NameMustMatchWholeIncludingExtension) {
  EXPECT_EQ(run({L"/x:3", L"notepad", L"notepad.ex", L"otepad.exe"}), 0);
  EXPECT_EQ(output.text, L"");
  EXPECT_TRUE(platform.callsStartingWith("OpenProcess").empty());
}

TEST_F(Run, ShowsTheMaskWhenNoneIsRequested) {
  EXPECT_EQ(run({L"calc.exe"}), 0);
  EXPECT_EQ(output.text, L"----****  mask:0f, pid:4243, calc.exe\n");
  EXPECT_TRUE(platform.callsStartingWith("SetProcessAffinityMask").empty());
}

TEST_F(Run, WorkingMaskNarrowsAndCarriesOverToLaterProcesses) {
  platform.processes[2].systemMask = 0x0f;  // notepad.exe
  platform.processes[4].systemMask = 0xf0;  // NotePad.EXE: nothing left in common
  EXPECT_EQ(run({L"/x:ff", L"notepad.exe", L"calc.exe"}), 0);
  EXPECT_EQ(output.text,
            L"notepad.exe, pid:4242, mask:ff -> 0f\n"
            L"calc.exe, pid:4243, mask:0f -> 0f\n"
            L"********  mask:ff, pid:4244, NotePad.EXE\n");
}

TEST_F(Run, RequestedMaskOutsideTheSystemMaskShowsInstead) {
  EXPECT_EQ(run({L"/x:100", L"notepad.exe"}), 0);
  EXPECT_EQ(output.text,
            L"********  mask:ff, pid:4242, notepad.exe\n"
            L"********  mask:ff, pid:4244, NotePad.EXE\n");
  EXPECT_TRUE(platform.callsStartingWith("SetProcessAffinityMask").empty());
}

TEST_F(Run, TargetMatchingNothingPrintsNothing) {
  EXPECT_EQ(run({L"/x:1", L"missing.exe"}), 0);
  EXPECT_EQ(output.text, L"");
}

TEST_F(Run, TwoTargetsMatchingOneProcessHandleItOnce) {
  EXPECT_EQ(run({L"/x:1", L"calc.exe", L"CALC.EXE"}), 0);
  EXPECT_EQ(output.text, L"calc.exe, pid:4243, mask:0f -> 01\n");
  EXPECT_EQ(platform.callsStartingWith("SetProcessAffinityMask").size(), 1u);
}

TEST_F(Run, ProcessIdTargetsAreDecimalNumbers) {
  EXPECT_EQ(run({L"/p", L"/x:1", L"4243", L"4242abc", L" +4244", L"4294971539"}), 0);
  // 4294971539 is 2^32 + 4243: only its low 32 bits count.
  EXPECT_EQ(output.text,
            L"notepad.exe, pid:4242, mask:ff -> 01\n"
            L"calc.exe, pid:4243, mask:0f -> 01\n"
            L"NotePad.EXE, pid:4244, mask:ff -> 01\n");
}

// A run by identifier asks the platform for its identifiers' entries only; every other run
// reads the whole table.
TEST_F(Run, SelectionByIdentifierLooksUpOnlyTheIdentifiersNamed) {
  EXPECT_EQ(run({L"/p", L"/x:1", L"4244", L"4242abc", L"4294971539", L"77"}), 0);
  EXPECT_EQ(platform.callsStartingWith("lookUpProcesses"),
            (std::vector<std::string>{"lookUpProcesses 4244 4242 4243 77"}));
  EXPECT_TRUE(platform.callsStartingWith("WTSEnumerateProcessesW").empty());
  // Table order, not target order.
  EXPECT_EQ(output.text,
            L"notepad.exe, pid:4242, mask:ff -> 01\n"
            L"calc.exe, pid:4243, mask:0f -> 01\n"
            L"NotePad.EXE, pid:4244, mask:ff -> 01\n");

  for (const std::vector<std::wstring>& words : {std::vector<std::wstring>{L"/p", L"/l", L"4242"},
                                                 std::vector<std::wstring>{L"/x:1", L"calc.exe"},
                                                 std::vector<std::wstring>{L"/g", L"calc.*"}}) {
    platform.calls.clear();
    EXPECT_EQ(run(words), 0);
    EXPECT_TRUE(platform.callsStartingWith("lookUpProcesses").empty());
    EXPECT_EQ(platform.callsStartingWith("WTSEnumerateProcessesW").size(), 1u);
  }
}

TEST_F(Run, SelectionByIdentifierReportsATableThatCannotBeHad) {
  platform.enumerationFails = true;
  EXPECT_EQ(run({L"/x:1", L"/p", L"4242"}), 0);
  EXPECT_EQ(output.text, L"Fail WTSEnumerateProcesses!\n");
  EXPECT_TRUE(platform.callsStartingWith("OpenProcess").empty());
}

// What a platform without a lookup of its own (Windows) does: the whole table, filtered.
TEST_F(Run, TheDefaultLookupFiltersTheWholeTableInItsOrder) {
  std::vector<ProcessEntry> table;
  ASSERT_TRUE(platform.Platform::lookUpProcesses({4244, 0, 4242, 4242, 9}, table));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].ProcessId, 0u);
  EXPECT_EQ(table[1].ProcessId, 4242u);
  EXPECT_EQ(table[2].pProcessName, L"NotePad.EXE");
  EXPECT_EQ(platform.calls, (std::vector<std::string>{"WTSEnumerateProcessesW"}));
  platform.enumerationFails = true;
  EXPECT_FALSE(platform.Platform::lookUpProcesses({4242}, table));
}

TEST_F(Run, ProcessIdTargetThatIsNoNumberReadsAsZero) {
  EXPECT_EQ(run({L"/p", L"notepad.exe"}), 0);
  EXPECT_EQ(output.text, L"********  mask:ff, pid:0, [System Process]\n");
}

TEST_F(Run, ListModeShowsEveryProcessAndIgnoresTargetsAndMask) {
  platform.processes[3].cannotReadMasks = true;
  EXPECT_EQ(run({L"/x:1", L"/l", L"calc.exe"}), 0);
  EXPECT_EQ(output.text,
            L"\n"
            L"********  mask:ff, pid:0, [System Process]\n"
            L"********  mask:ff, pid:4242, notepad.exe\n"
            L"calc.exe, Fail GetProcessAffinityMask!\n"
            L"********  mask:ff, pid:4244, NotePad.EXE\n");
  EXPECT_TRUE(platform.callsStartingWith("SetProcessAffinityMask").empty());
  EXPECT_TRUE(platform.openHandles.empty());
}

TEST_F(Run, NoAccessIsReportedOutsideListModeForNamedProcessesOnly) {
  platform.processes[0].cannotOpen = true;  // "[System Process]"
  platform.processes[0].imageName = L"";
  platform.processes[2].cannotOpen = true;
  EXPECT_EQ(run({L"/p", L"/x:1", L"0", L"4242", L"4"}), 0);
  EXPECT_EQ(output.text,
            L"System, No access right!\n"
            L"notepad.exe, No access right!\n");
}

// A process may let its mask be read and not set (a protected process, or one whose security
// descriptor grants no more): it is opened for no more than the run needs of it.
TEST_F(Run, AProcessIsOpenedForNoMoreThanTheRunNeeds) {
  platform.processes[2].cannotOpenForSetting = true;  // notepad.exe
  struct Row {
    const char* name;
    std::vector<std::wstring> words;
    std::wstring text;
    std::vector<std::string> opened;
  };
  const Row rows[] = {
      {"shown",
       {L"/p", L"4242"},
       L"********  mask:ff, pid:4242, notepad.exe\n",
       {"OpenProcess 4242 to read"}},
      {"listed",
       {L"/l", L"/x:1"},
       L"\n"
       L"********  mask:ff, pid:0, [System Process]\n"
       L"********  mask:ff, pid:4242, notepad.exe\n"
       L"----****  mask:0f, pid:4243, calc.exe\n"
       L"********  mask:ff, pid:4244, NotePad.EXE\n",
       {"OpenProcess 0 to read", "OpenProcess 4 to read failed", "OpenProcess 4242 to read",
        "OpenProcess 4243 to read", "OpenProcess 4244 to read"}},
      {"set",
       {L"/p", L"/x:1", L"4242", L"4243"},
       L"notepad.exe, No access right!\ncalc.exe, pid:4243, mask:0f -> 01\n",
       {"OpenProcess 4242 failed", "OpenProcess 4243"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    platform.calls.clear();
    output.text.clear();
    EXPECT_EQ(run(row.words), 0);
    EXPECT_EQ(output.text, row.text);
    EXPECT_EQ(platform.callsStartingWith("OpenProcess"), row.opened);
  }
}

// On Windows 11 and Server 2022 with more than 64 processors, a multi-threaded process spans
// processor groups, and its masks come back empty. Taken as they are, they would leave the rest
// of the run nothing to set.
TEST_F(Run, AProcessWhoseMasksNameNoProcessorChangesNothingElse) {
  platform.processes = {{10, L"svc.exe", 0x0f, 0xff},
                        {11, L"svc.exe", 0, 0},
                        {12, L"svc.exe", 0xff, 0xff},
                        {13, L"svc.exe", 0xf0, 0xff}};
  EXPECT_EQ(run({L"/x:1", L"svc.exe"}), 0);
  EXPECT_EQ(output.text,
            L"svc.exe, pid:10, mask:0f -> 01\n"
            L"svc.exe, Spans several processor groups!\n"
            L"svc.exe, pid:12, mask:ff -> 01\n"
            L"svc.exe, pid:13, mask:f0 -> 01\n");
  EXPECT_EQ(platform.callsStartingWith("SetProcessAffinityMask"),
            (std::vector<std::string>{"SetProcessAffinityMask 10 1", "SetProcessAffinityMask 12 1",
                                      "SetProcessAffinityMask 13 1"}));
  EXPECT_TRUE(platform.openHandles.empty());

  output.text.clear();
  EXPECT_EQ(run({L"/l"}), 0);
  EXPECT_EQ(output.text,
            L"\n"
            L"-------*  mask:01, pid:10, svc.exe\n"
            L"svc.exe, Spans several processor groups!\n"
            L"-------*  mask:01, pid:12, svc.exe\n"
            L"-------*  mask:01, pid:13, svc.exe\n");
}

TEST_F(Run, MaskFailuresAreReportedEvenForAnEmptyName) {
  platform.processes[2].imageName = L"";
  platform.processes[2].cannotSetMask = true;
  platform.processes[3].cannotReadMasks = true;
  EXPECT_EQ(run({L"/p", L"/x:1", L"4242", L"4243"}), 0);
  EXPECT_EQ(output.text,
            L", Fail SetProcessAffinityMask!\n"
            L"calc.exe, Fail GetProcessAffinityMask!\n");
  EXPECT_TRUE(platform.openHandles.empty());
  EXPECT_EQ(platform.callsStartingWith("CloseHandle").size(), 2u);
}

TEST_F(Run, EnumerationFailureRunsOnWithNoProcesses) {
  platform.enumerationFails = true;
  EXPECT_EQ(run({L"/x:1", L"notepad.exe"}), 0);
  EXPECT_EQ(output.text, L"Fail WTSEnumerateProcesses!\n");
}

TEST_F(Run, OutputThatCannotBeWrittenEndsWithStatusOneAfterTheWork) {
  output.refuseWrites = true;
  EXPECT_EQ(run({L"/x:3", L"notepad.exe"}), 1);
  EXPECT_EQ(platform.find(4242)->processMask, 0x3u);
  EXPECT_EQ(run({L"/l"}), 1);
  EXPECT_TRUE(platform.openHandles.empty());
}

TEST_F(Run, WithoutTargetsPrintsUsageAndFails) {
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(output.text, kUsage);
  EXPECT_TRUE(platform.callsStartingWith("WTSEnumerateProcessesW").empty());
  output.text.clear();
  EXPECT_EQ(run({L"/x:3", L"/p"}), 1);
  EXPECT_EQ(output.text, kUsage);
}

TEST_F(Run, ReportWithoutTargetsPrintsNoUsageAndFails) {
  EXPECT_EQ(run({L"/c"}), 1);
  EXPECT_EQ(output.text,
            L"Vellicor version 0.7.0 (x64) by Quennet\n"
            L"\nLogical Processor Information\n"
            L"Number of Logical Processor: 8\n"
            L"\nLogical to Physical Processor Map\n"
            L"------**  Physical Processor 0\n"
            L"----**--  Physical Processor 1\n"
            L"--**----  Physical Processor 2\n"
            L"**------  Physical Processor 3\n"
            L"\nLogical Processor to Socket Map\n"
            L"********  Socket 0\n"
            L"\nLogical Processor to NUMA Node Map\n"
            L"********  NUMA Node 0\n");
  EXPECT_TRUE(platform.callsStartingWith("WTSEnumerateProcessesW").empty());
}

TEST_F(Run, ReportComesBeforeTheProcessLines) {
  EXPECT_EQ(run({L"/c", L"/x:1", L"calc.exe"}), 0);
  EXPECT_EQ(output.text.rfind(L"Vellicor version 0.7.0 (x64) by Quennet\n", 0), 0u);
  EXPECT_NE(output.text.find(L"NUMA Node 0\ncalc.exe, pid:4243, mask:0f -> 01\n"),
            std::wstring::npos);
}

TEST_F(Run, FailedTopologyQueryEndsTheRunBeforeAnythingElse) {
  platform.queryMissing = true;
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(output.text, L"GetLogicalProcessorInformation is not supported.\n");
  EXPECT_EQ(platform.calls.size(), 1u);
}

TEST_F(Run, TwelveProcessorsPrintThreeDigits) {
  platform.topologyRecords.clear();
  platform.useSimpleTopology(12, 1);
  platform.processes[3].processMask = 0xfff;
  EXPECT_EQ(run({L"/x:3", L"calc.exe"}), 0);
  EXPECT_EQ(output.text, L"calc.exe, pid:4243, mask:fff -> 003\n");
}

TEST_F(Run, ImageNamesCannotDriveTheTerminal) {
  platform.processes[3].imageName = L"evil\x1b]0;owned\x07%s.exe";
  EXPECT_EQ(run({L"/p", L"/x:1", L"4243"}), 0);
  EXPECT_EQ(output.text, L"evil?]0;owned?%s.exe, pid:4243, mask:0f -> 01\n");
}

}  // namespace
}  // namespace vellicor
