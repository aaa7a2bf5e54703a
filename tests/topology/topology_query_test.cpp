#include "topology/topology_query.h"

#include <gtest/gtest.h>

#include <vector>

#include "ports/simulated/captured_output.h"
#include "ports/simulated/simulated_platform.h"
#include "topology/topology_report.h"

namespace vellicor {
namespace {

using simulated::CapturedOutput;
using simulated::QueryAnswer;
using simulated::SimulatedPlatform;

class TopologyQuery : public testing::Test {
 protected:
  ProcessorTopology query() { return queryProcessorTopology(platform, output); }

  SimulatedPlatform platform;
  CapturedOutput output;
};

TEST_F(TopologyQuery, CondensesCorePackageAndNodeRecords) {
  platform.useSimpleTopology(4, 2);
  ProcessorTopology topology = query();
  EXPECT_EQ(topology.logicalProcessorCount, 8u);
  EXPECT_EQ(topology.coreMasks, (std::vector<std::uint64_t>{0x3, 0xc, 0x30, 0xc0}));
  EXPECT_EQ(topology.packageMasks, (std::vector<std::uint64_t>{0xff}));
  EXPECT_EQ(topology.numaNodeMasks, (std::vector<std::uint64_t>{0xff}));
  EXPECT_EQ(output.text, L"");
}

TEST_F(TopologyQuery, CacheAndUnknownRecordsChangeNothing) {
  platform.addTopologyRecord(0x3, RelationCache);
  platform.addTopologyRecord(0x3, RelationProcessorCore);
  platform.addTopologyRecord(0xf, 7);
  platform.addTopologyRecord(0xc, RelationProcessorCore);
  platform.addTopologyRecord(0xf, RelationCache);
  platform.addTopologyRecord(0xf, RelationNumaNode);
  ProcessorTopology topology = query();
  EXPECT_EQ(topology.logicalProcessorCount, 4u);
  EXPECT_EQ(topology.coreMasks, (std::vector<std::uint64_t>{0x3, 0xc}));
  EXPECT_TRUE(topology.packageMasks.empty());
  EXPECT_EQ(topology.numaNodeMasks, (std::vector<std::uint64_t>{0xf}));
}

TEST_F(TopologyQuery, CountIsTheSetBitsOfCoreRecordsOnly) {
  platform.addTopologyRecord(0xffffffffffffffff, RelationProcessorCore);
  platform.addTopologyRecord(0x5, RelationProcessorCore);
  platform.addTopologyRecord(0xff, RelationProcessorPackage);
  EXPECT_EQ(query().logicalProcessorCount, 66u);
}

TEST_F(TopologyQuery, TrailingPartialRecordIsIgnored) {
  platform.addTopologyRecord(0x1, RelationProcessorCore);
  platform.topologyRecords.resize(40, std::byte{0});
  ProcessorTopology topology = query();
  EXPECT_EQ(topology.coreMasks, (std::vector<std::uint64_t>{0x1}));
  EXPECT_EQ(topology.logicalProcessorCount, 1u);
}

TEST_F(TopologyQuery, RetriesWithTheReportedLengthAFewTimes) {
  platform.useSimpleTopology(2, 1);  // 4 records, 128 bytes
  platform.scriptedAnswers = {{false, kErrorInsufficientBuffer, 32},
                              {false, kErrorInsufficientBuffer, 64},
                              {false, kErrorInsufficientBuffer, 96}};
  ProcessorTopology topology = query();
  EXPECT_EQ(topology.logicalProcessorCount, 2u);
  EXPECT_EQ(
      platform.callsStartingWith("allocate"),
      (std::vector<std::string>{"allocate 32", "allocate 64", "allocate 96", "allocate 128"}));
  EXPECT_EQ(platform.callsStartingWith("GetLogicalProcessorInformation "),
            (std::vector<std::string>{
                "GetLogicalProcessorInformation 0", "GetLogicalProcessorInformation 32",
                "GetLogicalProcessorInformation 64", "GetLogicalProcessorInformation 96",
                "GetLogicalProcessorInformation 128"}));
}

TEST_F(TopologyQuery, ReadsOnlyTheLengthTheSuccessfulCallReports) {
  platform.useSimpleTopology(4, 1);
  // Needs 96 bytes, then succeeds saying it wrote 96: three records, the fourth unread.
  platform.scriptedAnswers = {{false, kErrorInsufficientBuffer, 96}};
  std::vector<std::byte> records = platform.topologyRecords;
  platform.topologyRecords.assign(records.begin(), records.begin() + 96);
  EXPECT_EQ(query().coreMasks, (std::vector<std::uint64_t>{0x1, 0x2, 0x4}));
}

struct FailureCase {
  const char* name;
  bool missing;
  bool allocationFails;
  std::vector<QueryAnswer> answers;
  std::wstring message;
};

class TopologyQueryFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(TopologyQueryFailure, PrintsItsMessageAndCountsNothing) {
  SimulatedPlatform platform;
  CapturedOutput output;
  platform.useSimpleTopology(2, 2);
  platform.queryMissing = GetParam().missing;
  platform.allocationFails = GetParam().allocationFails;
  platform.scriptedAnswers = GetParam().answers;
  ProcessorTopology topology = queryProcessorTopology(platform, output);
  EXPECT_EQ(output.text, GetParam().message);
  EXPECT_EQ(topology.logicalProcessorCount, 0u);
  EXPECT_TRUE(topology.coreMasks.empty());
  EXPECT_TRUE(topology.packageMasks.empty());
  EXPECT_TRUE(topology.numaNodeMasks.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TopologyQueryFailure,
    testing::Values(
        FailureCase{
            "Missing", true, false, {}, L"GetLogicalProcessorInformation is not supported.\n"},
        FailureCase{"OtherError", false, false, {{false, 87, 0}}, L"\nError 87\n"},
        FailureCase{"ErrorAfterARetry",
                    false,
                    false,
                    {{false, kErrorInsufficientBuffer, 64}, {false, 5, 0}},
                    L"\nError 5\n"},
        FailureCase{
            "LargeErrorCode", false, false, {{false, 0x80070005, 0}}, L"\nError -2147024891\n"},
        FailureCase{"AllocationFails", false, true, {}, L"\nError: Allocation failure\n"},
        FailureCase{"SucceedsWithNothing", false, false, {{true, 0, 0}}, L""},
        // An answer that keeps asking for more is given up after eight calls, with its error.
        FailureCase{"AsksAgainForTheSameLength", false, false,
                    std::vector<QueryAnswer>(100, {false, kErrorInsufficientBuffer, 64}),
                    L"\nError 122\n"},
        FailureCase{"AsksAgainForNothing", false, false,
                    std::vector<QueryAnswer>(100, {false, kErrorInsufficientBuffer, 0}),
                    L"\nError 122\n"},
        FailureCase{"AsksForMoreEveryTime",
                    false,
                    false,
                    {{false, kErrorInsufficientBuffer, 32},
                     {false, kErrorInsufficientBuffer, 64},
                     {false, kErrorInsufficientBuffer, 96},
                     {false, kErrorInsufficientBuffer, 128},
                     {false, kErrorInsufficientBuffer, 160},
                     {false, kErrorInsufficientBuffer, 192},
                     {false, kErrorInsufficientBuffer, 224},
                     {false, kErrorInsufficientBuffer, 256}},
                    L"\nError 122\n"},
        FailureCase{"NoCoreRecord",
                    false,
                    false,
                    {{false, kErrorInsufficientBuffer, 0}, {true, 0, 0}},
                    L""}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(TopologyReport, EmptySectionsPrintOnlyTheirHeadingAndWideCountsNoBar) {
  CapturedOutput output;
  ProcessorTopology topology;
  topology.logicalProcessorCount = 65;
  topology.coreMasks = {0x1};
  printTopologyReport(output, topology);
  EXPECT_EQ(output.text,
            L"Vellicor version 0.7.0 (x64) by Quennet\n"
            L"\nLogical Processor Information\n"
            L"Number of Logical Processor: 65\n"
            L"\nLogical to Physical Processor Map\n"
            L"  Physical Processor 0\n"
            L"\nLogical Processor to Socket Map\n"
            L"\nLogical Processor to NUMA Node Map\n");
}

TEST(TopologyReport, SingleProcessorDrawsOneCharacterPerLine) {
  CapturedOutput output;
  ProcessorTopology topology{1, {0x1}, {0x3}, {0x1, 0x0}};
  printTopologyReport(output, topology);
  EXPECT_NE(output.text.find(L"Map\n*  Physical Processor 0\n"), std::wstring::npos);
  EXPECT_NE(output.text.find(L"Map\n*  Socket 0\n"), std::wstring::npos);
  EXPECT_NE(output.text.find(L"Map\n*  NUMA Node 0\n-  NUMA Node 1\n"), std::wstring::npos);
}

}  // namespace
}  // namespace vellicor
