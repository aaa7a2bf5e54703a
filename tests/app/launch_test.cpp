#include "app/launch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run.h"
#include "ports/simulated/captured_output.h"
#include "ports/simulated/simulated_platform.h"

namespace vellicor {
namespace {

using simulated::CapturedOutput;
using simulated::SimulatedPlatform;

TEST(FindCommandTail, TakesTheTextAfterTheFirstSlashEAndSpaceVerbatim) {
  EXPECT_EQ(findCommandTail(L"v.exe /x:1 /e app.exe  \"a b\" /l"), L"app.exe  \"a b\" /l");
  EXPECT_EQ(findCommandTail(L"v.exe -e app.exe"), L"app.exe");
  EXPECT_EQ(findCommandTail(L"v.exe /e one -e two"), L"one -e two");
  EXPECT_EQ(findCommandTail(L"v.exe \"x/e y\" /e app.exe"), L"y\" /e app.exe");
  EXPECT_EQ(findCommandTail(L"C:\\tools/e x\\v.exe /e app"), L"x\\v.exe /e app");
  EXPECT_EQ(findCommandTail(L"v.exe /e "), L"");
}

// `vellicor /x:1 -e cmd /c echo /e probe.exe` starts cmd, never probe.exe: a "/e " that is a word
// of the command does not take the option's place. Only a "/e " ahead of the option, such as one
// inside a quoted argument or the program path, comes first and is taken.
TEST(FindCommandTail, TakesWhicheverFormComesFirst) {
  struct Row {
    const char* name;
    std::wstring_view raw;
    std::wstring_view command;
  };
  const Row rows[] = {
      {"slash e among the command's words", L"v.exe /x:1 -e cmd /c echo /e probe.exe",
       L"cmd /c echo /e probe.exe"},
      {"dash e among the command's words", L"v.exe /e cmd /c echo -e probe.exe",
       L"cmd /c echo -e probe.exe"},
      {"slash e in a quoted argument before dash e", L"v.exe \"x /e y\" -e app.exe",
       L"y\" -e app.exe"},
      {"dash e in the program path", L"C:\\my-e tools\\v.exe /e app.exe",
       L"tools\\v.exe /e app.exe"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(findCommandTail(row.raw), row.command);
  }
}

TEST(FindCommandTail, NeedsOnePlainSpaceAfterTheOption) {
  EXPECT_FALSE(findCommandTail(L"v.exe /e"));
  EXPECT_FALSE(findCommandTail(L"v.exe /e\tapp.exe"));
  EXPECT_FALSE(findCommandTail(L"v.exe /E app.exe"));
  EXPECT_FALSE(findCommandTail(L""));
}

class Launch : public testing::Test {
 protected:
  void SetUp() override {
    platform.useSimpleTopology(4, 2);
    platform.processes = {{4242, L"notepad.exe", 0xff, 0xff}, {4243, L"calc.exe", 0xff, 0x0f}};
    platform.launchedProcess = {5000, L"app.exe", 0xff, 0xff};
  }

  // The raw command line, and the words the platform split it into.
  int run(const std::wstring& commandLine, std::vector<std::wstring> words) {
    platform.commandLine = commandLine;
    words.insert(words.begin(), L"vellicor.exe");
    arguments = std::move(words);
    return runAffinityRequest(platform, output, arguments);
  }

  // The calls that tell the launch's story, in order.
  std::vector<std::string> story() const {
    std::vector<std::string> kept;
    for (const std::string& call : platform.calls) {
      if (call.rfind("GetProcAddress", 0) != 0 && call.rfind("GetLogicalProcessor", 0) != 0 &&
          call.rfind("allocate", 0) != 0) {
        kept.push_back(call);
      }
    }
    return kept;
  }

  SimulatedPlatform platform;
  CapturedOutput output;
  std::vector<std::wstring> arguments;
};

TEST_F(Launch, SetsTheMaskOfTheNewProcessOnlyAndThenResumesIt) {
  EXPECT_EQ(run(L"vellicor.exe notepad.exe /x:1 /e app.exe arg",
                {L"notepad.exe", L"/x:1", L"/e", L"app.exe", L"arg"}),
            0);
  EXPECT_EQ(output.text, L"app.exe, pid:5000, mask:ff -> 01\n");
  EXPECT_EQ(story(), (std::vector<std::string>{"GetCommandLineW", "CreateProcessW app.exe arg",
                                               "CloseHandle 5000", "lookUpProcesses 5000",
                                               "OpenProcess 5000", "GetProcessAffinityMask 5000",
                                               "SetProcessAffinityMask 5000 1", "CloseHandle 5000",
                                               "ResumeThread", "CloseHandle thread"}));
  EXPECT_EQ(platform.find(4242)->processMask, 0xffu);
  EXPECT_TRUE(platform.openHandles.empty());
}

TEST_F(Launch, WithoutAMaskShowsTheNewProcessThenResumes) {
  EXPECT_EQ(run(L"vellicor.exe /e app.exe", {L"/e", L"app.exe"}), 0);
  EXPECT_EQ(output.text, L"********  mask:ff, pid:5000, app.exe\n");
  EXPECT_EQ(story().back(), "CloseHandle thread");
}

TEST_F(Launch, DashEWorksWhenNoSlashEIsPresent) {
  EXPECT_EQ(run(L"vellicor.exe /x:2 -e app.exe", {L"/x:2", L"-e", L"app.exe"}), 0);
  EXPECT_EQ(platform.callsStartingWith("CreateProcessW"),
            (std::vector<std::string>{"CreateProcessW app.exe"}));
  EXPECT_EQ(output.text, L"app.exe, pid:5000, mask:ff -> 02\n");
}

TEST_F(Launch, ASlashEAmongTheCommandsWordsStartsNothingElse) {
  EXPECT_EQ(run(L"vellicor.exe /x:1 -e cmd /c echo /e probe.exe",
                {L"/x:1", L"-e", L"cmd", L"/c", L"echo", L"/e", L"probe.exe"}),
            0);
  EXPECT_EQ(platform.callsStartingWith("CreateProcessW"),
            (std::vector<std::string>{"CreateProcessW cmd /c echo /e probe.exe"}));
}

TEST_F(Launch, OptionsInsideTheCommandStillCount) {
  EXPECT_EQ(run(L"vellicor.exe /x:1 /e app.exe /x:3", {L"/x:1", L"/e", L"app.exe", L"/x:3"}), 0);
  EXPECT_EQ(output.text, L"app.exe, pid:5000, mask:ff -> 03\n");
}

// `ls -l`, `findstr /l`, `robocopy a b /l`: a word of the command that reads as /l must not
// reach every process on the machine.
TEST_F(Launch, ListModeSelectsNothingButTheNewProcess) {
  EXPECT_EQ(
      run(L"vellicor.exe /x:3 /e ls -l /dev/null", {L"/x:3", L"/e", L"ls", L"-l", L"/dev/null"}),
      0);
  // No empty line and no cleared mask in launch mode.
  EXPECT_EQ(output.text, L"app.exe, pid:5000, mask:ff -> 03\n");
  EXPECT_EQ(platform.callsStartingWith("SetProcessAffinityMask"),
            (std::vector<std::string>{"SetProcessAffinityMask 5000 3"}));
  EXPECT_EQ(platform.find(4242)->processMask, 0xffu);
  EXPECT_EQ(platform.find(4243)->processMask, 0xffu);
  EXPECT_TRUE(platform.callsStartingWith("OpenProcess 4242").empty());
}

TEST_F(Launch, ListModeStillKeepsTheNoAccessMessageQuiet) {
  platform.launchedProcess.cannotOpen = true;
  EXPECT_EQ(run(L"vellicor.exe /x:1 /l /e app.exe", {L"/x:1", L"/l", L"/e", L"app.exe"}), 0);
  EXPECT_EQ(output.text, L"");
  EXPECT_EQ(platform.callsStartingWith("ResumeThread").size(), 1u);
}

TEST_F(Launch, OutputThatCannotBeWrittenEndsWithStatusOneAfterTheWork) {
  output.refuseWrites = true;
  EXPECT_EQ(run(L"vellicor.exe /x:1 /e app.exe", {L"/x:1", L"/e", L"app.exe"}), 1);
  EXPECT_EQ(platform.callsStartingWith("SetProcessAffinityMask"),
            (std::vector<std::string>{"SetProcessAffinityMask 5000 1"}));
  EXPECT_EQ(story().back(), "CloseHandle thread");
  EXPECT_EQ(output.text, L"");
}

TEST_F(Launch, NewProcessIsResumedEvenWhenItCannotBeOpened) {
  platform.launchedProcess.cannotOpen = true;
  EXPECT_EQ(run(L"vellicor.exe /x:1 /e app.exe", {L"/x:1", L"/e", L"app.exe"}), 0);
  EXPECT_EQ(output.text, L"app.exe, No access right!\n");
  EXPECT_EQ(platform.callsStartingWith("ResumeThread"), (std::vector<std::string>{"ResumeThread"}));
  EXPECT_TRUE(platform.openHandles.empty());
}

TEST_F(Launch, NewProcessIsResumedWhenItsMaskCannotBeSet) {
  platform.launchedProcess.cannotSetMask = true;
  EXPECT_EQ(run(L"vellicor.exe /x:1 /e app.exe", {L"/x:1", L"/e", L"app.exe"}), 0);
  EXPECT_EQ(output.text, L"app.exe, Fail SetProcessAffinityMask!\n");
  EXPECT_EQ(platform.callsStartingWith("ResumeThread").size(), 1u);
}

// Windows' ResumeThread can refuse; a command left suspended is no success.
TEST_F(Launch, ACommandThatCannotBeLetGoEndsTheRunWithStatusOne) {
  platform.resumeFails = true;
  EXPECT_EQ(run(L"vellicor.exe /x:1 /e app.exe", {L"/x:1", L"/e", L"app.exe"}), 1);
  EXPECT_EQ(output.text, L"app.exe, pid:5000, mask:ff -> 01\n");
  EXPECT_EQ(story().back(), "CloseHandle thread");
}

TEST_F(Launch, FailedCreationPrintsNotFoundWithoutLineEnd) {
  platform.creationFails = true;
  EXPECT_EQ(
      run(L"vellicor.exe /x:1 /e  missing.exe \"a b\"", {L"/x:1", L"/e", L"missing.exe", L"a b"}),
      1);
  EXPECT_EQ(output.text, L"Not found:  missing.exe \"a b\"");
  EXPECT_TRUE(platform.callsStartingWith("WTSEnumerateProcessesW").empty());
}

// A platform that learns only on resumption that the program cannot run: the line about the
// process it held stays, the failure follows it, and the run ends with status 1.
TEST_F(Launch, ACommandThatTurnsOutNotToStartIsReportedAfterItsLine) {
  platform.startFailsOnResumption = true;
  EXPECT_EQ(run(L"vellicor.exe /x:1 /e  app.exe \"a b\"", {L"/x:1", L"/e", L"app.exe", L"a b"}), 1);
  EXPECT_EQ(output.text, L"app.exe, pid:5000, mask:ff -> 01\nNot found:  app.exe \"a b\"");
  EXPECT_EQ(story().back(), "CloseHandle thread");
  EXPECT_TRUE(platform.openHandles.empty());
}

TEST_F(Launch, OptionGivenLastPrintsUsageAfterTheReport) {
  EXPECT_EQ(run(L"vellicor.exe /c /e", {L"/c", L"/e"}), 1);
  EXPECT_EQ(output.text.rfind(L"Vellicor version 0.7.0 (x64) by Quennet\n\nLogical", 0), 0u);
  EXPECT_NE(output.text.find(L"NUMA Node 0\nVellicor version 0.7.0 (x64) by Quennet\nusage: "),
            std::wstring::npos);
  EXPECT_TRUE(platform.callsStartingWith("CreateProcessW").empty());
}

TEST_F(Launch, UppercaseEDoesNotLaunch) {
  EXPECT_EQ(run(L"vellicor.exe /x:1 /E calc.exe", {L"/x:1", L"/E", L"calc.exe"}), 0);
  EXPECT_EQ(output.text, L"calc.exe, pid:4243, mask:ff -> 01\n");
  EXPECT_TRUE(platform.callsStartingWith("CreateProcessW").empty());
}

}  // namespace
}  // namespace vellicor
