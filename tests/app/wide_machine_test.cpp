// Machines with processor numbers beyond 63: masks as wide as the machine, from the request to the
// lines printed, on the simulated platform.

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
using simulated::SimulatedProcess;

AffinityMask processors(std::uint32_t first, std::uint32_t last) {
  AffinityMask mask;
  mask.setRange(first, last);
  return mask;
}

class WideMachine : public testing::Test {
 protected:
  // Processors 0 to `count` - 1 in cores of two, one package and one node.
  void useProcessors(std::uint32_t count) {
    platform.topologyRecords.clear();
    platform.useSimpleTopology(count / 2, 2);
    all = processors(0, count - 1);
  }

  void SetUp() override {
    useProcessors(96);
    platform.processes = {
        {7, L"wide.exe", all, all},
        {8, L"high.exe", processors(64, 95), all},
        {9, L"other.exe", all, all},
    };
  }

  int run(std::vector<std::wstring> words) {
    words.insert(words.begin(), L"vellicor");
    arguments = std::move(words);
    return runAffinityRequest(platform, output, arguments);
  }

  SimulatedPlatform platform;
  CapturedOutput output;
  std::vector<std::wstring> arguments;
  AffinityMask all;
};

TEST_F(WideMachine, SetsAProcessorAboveSixtyThreeAndPrintsEveryDigit) {
  EXPECT_EQ(run({L"/x:400000000000000000", L"wide.exe"}), 0);
  EXPECT_EQ(output.text,
            L"wide.exe, pid:7, mask:ffffffffffffffffffffffff -> 000000400000000000000000\n");
  EXPECT_EQ(platform.find(7)->processMask, processors(70, 70));
}

TEST_F(WideMachine, SetsAMaskThatStraddlesBitSixtyThree) {
  EXPECT_EQ(run({L"/x:ff000000000000000", L"/p", L"9"}), 0);
  EXPECT_EQ(output.text,
            L"other.exe, pid:9, mask:ffffffffffffffffffffffff -> 0000000ff000000000000000\n");
  EXPECT_EQ(platform.callsStartingWith("SetProcessAffinityMask"),
            std::vector<std::string>{"SetProcessAffinityMask 9 ff000000000000000"});
}

TEST_F(WideMachine, ShowsAProcessAllowedOnlyAboveSixtyThree) {
  EXPECT_EQ(run({L"/p", L"8"}), 0);
  EXPECT_EQ(output.text, std::wstring(32, L'*') + std::wstring(64, L'-') +
                             L"  mask:ffffffff0000000000000000, pid:8, high.exe\n");
}

// Every way of writing a mask reaches the processors above 63; what lies beyond the machine is
// narrowed away like any processor the system does not offer.
TEST_F(WideMachine, RequestsReachEveryProcessor) {
  struct Row {
    std::wstring option;
    AffinityMask set;
  };
  const std::vector<Row> rows = {
      {L"/n:96", all},
      {L"/n:100", all},
      {L"/d:-1", all},
      {L"/x:" + std::wstring(40, L'f'), all},
      {L"/x:-2", processors(1, 95)},
      {L"/b:1" + std::wstring(95, L'0'), processors(95, 95)},
      {L"/o:1" + std::wstring(31, L'0'), processors(93, 93)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.option));
    platform.processes[0].processMask = all;
    output.text.clear();
    EXPECT_EQ(run({row.option, L"wide.exe"}), 0);
    EXPECT_EQ(platform.find(7)->processMask, row.set);
  }
}

TEST_F(WideMachine, ARequestBeyondTheMachineOrItsWidthShowsInstead) {
  EXPECT_EQ(run({L"/n:129", L"wide.exe"}), 0);  // beyond the 128 bits masks are read at
  EXPECT_EQ(run({L"/x:100000000000000000000000000", L"wide.exe"}), 0);  // processor 100
  EXPECT_TRUE(platform.callsStartingWith("SetProcessAffinityMask").empty());
  const std::wstring shown =
      std::wstring(96, L'*') + L"  mask:ffffffffffffffffffffffff, pid:7, wide.exe\n";
  EXPECT_EQ(output.text, shown + shown);
}

// A platform whose masks are one 64-bit group, on the same machine: a request above it is
// narrowed away, and the narrowed mask carries over to the processes after it.
TEST_F(WideMachine, NarrowSystemMasksNarrowTheWideRequestForLaterProcesses) {
  platform.processes[0].systemMask = processors(0, 63);
  EXPECT_EQ(run({L"/x:3000000000000000f", L"wide.exe", L"other.exe"}), 0);
  EXPECT_EQ(output.text,
            L"wide.exe, pid:7, mask:ffffffffffffffffffffffff -> 00000000000000000000000f\n"
            L"other.exe, pid:9, mask:ffffffffffffffffffffffff -> 00000000000000000000000f\n");
}

// With processors missing from the numbering (taken offline, say), a bar still shows every number
// up to the highest processor, so that a mark always stands for the same processor.
TEST_F(WideMachine, NumberingWithHolesShowsEveryNumberUpToTheHighest) {
  platform.topologyRecords.clear();
  platform.addTopologyRecord(0x1, RelationProcessorCore);
  platform.addTopologyRecord(0xc, RelationProcessorCore);
  platform.addTopologyRecord(0xd, RelationProcessorPackage);
  platform.processes[0].processMask = 0x9;
  EXPECT_EQ(run({L"/c", L"wide.exe"}), 0);
  EXPECT_NE(output.text.find(L"Number of Logical Processor: 3\n"), std::wstring::npos);
  EXPECT_NE(output.text.find(L"---*  Physical Processor 0\n**--  Physical Processor 1\n"),
            std::wstring::npos);
  EXPECT_NE(output.text.find(L"**-*  Socket 0\n"), std::wstring::npos);
  EXPECT_NE(output.text.find(L"*--*  mask:9, pid:7, wide.exe\n"), std::wstring::npos);
}

class WideMachineOfWidth : public WideMachine, public testing::WithParamInterface<std::uint32_t> {};

TEST_P(WideMachineOfWidth, ListsAndSetsAtTheMachinesWidth) {
  const std::uint32_t count = GetParam();
  useProcessors(count);
  platform.processes = {{7, L"wide.exe", all, all}};
  const std::wstring digits(count / 4, L'f');
  EXPECT_EQ(run({L"/l"}), 0);
  EXPECT_EQ(output.text,
            L"\n" + std::wstring(count, L'*') + L"  mask:" + digits + L", pid:7, wide.exe\n");
  output.text.clear();
  EXPECT_EQ(run({L"/n:" + std::to_wstring(count - 1), L"wide.exe"}), 0);
  EXPECT_EQ(output.text, L"wide.exe, pid:7, mask:" + digits + L" -> 7" + digits.substr(1) + L"\n");
  EXPECT_EQ(platform.find(7)->processMask, processors(0, count - 2));
}

INSTANTIATE_TEST_SUITE_P(Processors, WideMachineOfWidth, testing::Values(96u, 256u, 1024u));

}  // namespace
}  // namespace vellicor
