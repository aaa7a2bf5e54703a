#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/run.h"
#include "ports/simulated/captured_output.h"
#include "ports/simulated/simulated_platform.h"

namespace vellicor {
namespace {

using simulated::CapturedOutput;
using simulated::SimulatedPlatform;

class PatternSelection : public testing::Test {
 protected:
  void SetUp() override {
    platform.useSimpleTopology(4, 2);
    platform.processes = {{100, L"svchost.exe"},
                          {200, L"notepad.exe"},
                          {300, L"svchost.exe"},
                          {400, L""},
                          {500, L"Notepad++.exe"}};
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

TEST_F(PatternSelection, MatchesTheWholeNameWithCaseCounting) {
  EXPECT_EQ(run({L"/g", L"/x:1", L"note.*", L"NOTEPAD.EXE", L"svc"}), 0);
  EXPECT_EQ(output.text, L"notepad.exe, pid:200, mask:ff -> 01\n");
}

TEST_F(PatternSelection, EmptyPatternMatchesOnlyAnEmptyName) {
  EXPECT_EQ(run({L"/g", L"/x:1", L""}), 0);
  EXPECT_EQ(output.text, L", pid:400, mask:ff -> 01\n");
}

TEST_F(PatternSelection, InvalidPatternEndsTheRunBeforeAnyMaskIsSet) {
  EXPECT_EQ(run({L"/g", L"/x:1", L"svchost\\.exe", L"["}), 1);
  EXPECT_EQ(output.text, L"Invalid regex string!\n");
  EXPECT_TRUE(platform.callsStartingWith("OpenProcess").empty());
  EXPECT_TRUE(platform.callsStartingWith("SetProcessAffinityMask").empty());
}

TEST_F(PatternSelection, LargeCountsAreOrdinaryPatterns) {
  EXPECT_EQ(run({L"/g", L"/x:1", L"x{6000}y{6000}", L"a{10001}", L"[a-z]{0,10000}\\.exe"}), 0);
  EXPECT_EQ(output.text,
            L"svchost.exe, pid:100, mask:ff -> 01\n"
            L"notepad.exe, pid:200, mask:ff -> 01\n"
            L"svchost.exe, pid:300, mask:ff -> 01\n");
}

TEST_F(PatternSelection, PatternTooCostlyToBuildEndsTheRunLikeAnInvalidOne) {
  EXPECT_EQ(run({L"/g", L"/x:1", L"notepad\\.exe", L"(?:(?:ab){3000}){3000}"}), 1);
  EXPECT_EQ(output.text, L"Invalid regex string!\n");
  EXPECT_TRUE(platform.callsStartingWith("SetProcessAffinityMask").empty());
}

// A pattern that costs each name a fifth of the run's steps passes a few processes and ends a
// run over many, before any mask is set.
TEST_F(PatternSelection, StepsAreCountedForTheWholeRun) {
  const std::wstring name(17, L'a');
  platform.processes = {{100, name}, {200, L"notepad.exe"}};
  EXPECT_EQ(run({L"/g", L"/x:1", L"(a|a)*[bc]", L"notepad\\.exe"}), 0);
  EXPECT_EQ(output.text, L"notepad.exe, pid:200, mask:ff -> 01\n");

  output.text.clear();
  platform.processes.clear();
  for (std::uint32_t pid = 100; pid < 120; ++pid) {
    platform.processes.push_back({pid, name});
  }
  platform.processes.push_back({200, L"notepad.exe"});
  const std::size_t masksSet = platform.callsStartingWith("SetProcessAffinityMask").size();
  EXPECT_EQ(run({L"/g", L"/x:1", L"(a|a)*[bc]", L"notepad\\.exe"}), 1);
  EXPECT_EQ(output.text, L"Invalid regex string!\n");
  EXPECT_EQ(platform.callsStartingWith("SetProcessAffinityMask").size(), masksSet);
}

// Image names hold what the platform read, bytes that are not UTF-8 included (as U+DC80 + byte):
// they are matched like any other character and never make a pattern fail.
TEST_F(PatternSelection, NamesWithEscapedBytesMatchAsText) {
  const std::wstring escaped = std::wstring(L"caf") + static_cast<wchar_t>(0xDCE9);
  platform.processes = {{100, escaped}, {200, L"cafe"}};
  EXPECT_EQ(run({L"/g", L"/x:1", L"caf."}), 0);
  EXPECT_EQ(output.text, escaped + L", pid:100, mask:ff -> 01\ncafe, pid:200, mask:ff -> 01\n");
  output.text.clear();
  platform.processes = {{100, escaped}, {200, L"cafe"}};
  EXPECT_EQ(run({L"/g", L"/x:1", L"caf\\uDCE9"}), 0);
  EXPECT_EQ(output.text, escaped + L", pid:100, mask:ff -> 01\n");
}

TEST_F(PatternSelection, LaterPatternIsOnlyTestedForEntriesNoEarlierOneMatched) {
  platform.processes = {{100, L"svchost.exe"}, {300, L"svchost.exe"}};
  EXPECT_EQ(run({L"/g", L"/x:1", L"svchost\\.exe", L"["}), 0);
  EXPECT_EQ(output.text,
            L"svchost.exe, pid:100, mask:ff -> 01\n"
            L"svchost.exe, pid:300, mask:ff -> 01\n");
}

TEST_F(PatternSelection, NothingIsValidatedForAnEmptyTable) {
  platform.processes.clear();
  EXPECT_EQ(run({L"/g", L"/x:1", L"("}), 0);
  EXPECT_EQ(output.text, L"");
}

TEST_F(PatternSelection, ProcessIdAndListModeTakePrecedence) {
  EXPECT_EQ(run({L"/g", L"/p", L"("}), 0);  // reads as identifier 0: nothing there
  EXPECT_EQ(output.text, L"");
  EXPECT_EQ(run({L"/g", L"/l", L"("}), 0);
  EXPECT_EQ(output.text.substr(0, 1), L"\n");
  EXPECT_EQ(output.text.find(L"Invalid"), std::wstring::npos);
}

TEST_F(PatternSelection, ReportLinesPrintedBeforeTheErrorStay) {
  EXPECT_EQ(run({L"/c", L"/g", L"/x:1", L"(a"}), 1);
  EXPECT_NE(output.text.find(L"NUMA Node 0\nInvalid regex string!\n"), std::wstring::npos);
}

}  // namespace
}  // namespace vellicor
