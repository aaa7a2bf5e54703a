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
  EXPECT_EQ(topology.coreMasks, (std::vector<AffinityMask>{0x3, 0xc, 0x30, 0xc0}));
  EXPECT_EQ(topology.packageMasks, (std::vector<AffinityMask>{0xff}));
  EXPECT_EQ(topology.numaNodeMasks, (std::vector<AffinityMask>{0xff}));
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
  EXPECT_EQ(topology.coreMasks, (std::vector<AffinityMask>{0x3, 0xc}));
  EXPECT_TRUE(topology.packageMasks.empty());
  EXPECT_EQ(topology.numaNodeMasks, (std::vector<AffinityMask>{0xf}));
}

TEST_F(TopologyQuery, CountIsTheSetBitsOfCoreRecordsOnly) {
  platform.addTopologyRecord(0xffffffffffffffff, RelationProcessorCore);
  platform.addTopologyRecord(0x5, RelationProcessorCore);
  platform.addTopologyRecord(0xff, RelationProcessorPackage);
  EXPECT_EQ(query().logicalProcessorCount, 66u);
}

TEST_F(TopologyQuery, RecordsOfLaterGroupsAndTheirContinuationsBuildWideMasks) {
  platform.addTopologyRecord(0x3, RelationProcessorCore, 1);        // processors 64 and 65
  platform.addTopologyRecord(0x1ull << 63, RelationProcessorCore);  // 63, and on into group 1
  platform.addTopologyRecord(0x1, RelationProcessorCore, 1, true);  // 64: shared, counted twice
  platform.addTopologyRecord(0xf, RelationProcessorPackage, 2);     // 128-131
  platform.addTopologyRecord(0x1, RelationProcessorPackage, 3, true);
  platform.addTopologyRecord(0x0, RelationNumaNode);  // a node without processors
  ProcessorTopology topology = query();
  AffinityMask first;
  first.setRange(64, 65);
  AffinityMask second;
  second.setRange(63, 64);
  AffinityMask package;
  package.setRange(128, 131);
  package.set(192);
  EXPECT_EQ(topology.coreMasks, (std::vector<AffinityMask>{first, second}));
  EXPECT_EQ(topology.packageMasks, (std::vector<AffinityMask>{package}));
  EXPECT_EQ(topology.numaNodeMasks, (std::vector<AffinityMask>{0}));
  EXPECT_EQ(topology.logicalProcessorCount, 4u);
  EXPECT_EQ(processorSpan(topology), 66u);  // packages and nodes do not widen the bars
}

// A continuation belongs to the record just before it: after a record that made no entry, or one
// of another relationship, it has nothing to continue. A group beyond any machine is not read.
TEST_F(TopologyQuery, ContinuationsWithNothingToContinueAndGroupsBeyondTheLimitAreSkipped) {
  platform.addTopologyRecord(0x1, RelationProcessorCore, 0, true);  // first of all
  platform.addTopologyRecord(0x2, RelationProcessorCore);
  platform.addTopologyRecord(0x0, RelationCache);
  platform.addTopologyRecord(0x4, RelationProcessorCore, 0, true);  // after a cache
  platform.addTopologyRecord(0x8, RelationNumaNode);
  platform.addTopologyRecord(0x10, RelationProcessorCore, 0, true);  // after a node
  platform.addTopologyRecord(0x20, RelationProcessorCore, kProcessorGroupLimit);
  platform.addTopologyRecord(0x40, RelationProcessorCore, kProcessorGroupLimit - 1);
  ProcessorTopology topology = query();
  AffinityMask last;
  last.setWord(kProcessorGroupLimit - 1, 0x40);
  EXPECT_EQ(topology.coreMasks, (std::vector<AffinityMask>{0x2, last}));
  EXPECT_EQ(topology.numaNodeMasks, (std::vector<AffinityMask>{0x8}));
  EXPECT_EQ(topology.logicalProcessorCount, 2u);
}

TEST_F(TopologyQuery, TrailingPartialRecordIsIgnored) {
  platform.addTopologyRecord(0x1, RelationProcessorCore);
  platform.topologyRecords.resize(40, std::byte{0});
  ProcessorTopology topology = query();
  EXPECT_EQ(topology.coreMasks, (std::vector<AffinityMask>{0x1}));
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
  EXPECT_EQ(query().coreMasks, (std::vector<AffinityMask>{0x1, 0x2, 0x4}));
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

TEST(TopologyReport, EmptySectionsPrintOnlyTheirHeading) {
  CapturedOutput output;
  ProcessorTopology topology;
  topology.logicalProcessorCount = 2;
  topology.coreMasks = {0x3};
  printTopologyReport(output, topology);
  EXPECT_EQ(output.text,
            L"Vellicor version 0.7.0 (x64) by Quennet\n"
            L"\nLogical Processor Information\n"
            L"Number of Logical Processor: 2\n"
            L"\nLogical to Physical Processor Map\n"
            L"**  Physical Processor 0\n"
            L"\nLogical Processor to Socket Map\n"
            L"\nLogical Processor to NUMA Node Map\n");
}

// Processors named by a row of `span` characters: `*` for `first` to `last`, highest first.
std::wstring barOf(std::uint32_t span, std::uint32_t first, std::uint32_t last) {
  return std::wstring(span - 1 - last, L'-') + std::wstring(last - first + 1, L'*') +
         std::wstring(first, L'-');
}

// A machine of two sockets, each its own NUMA node, of two-thread cores: the report draws every
// processor of every core, socket and node, however many there are.
class WideReport : public testing::TestWithParam<std::uint32_t> {};

TEST_P(WideReport, DrawsEveryProcessorOfEveryCoreSocketAndNode) {
  const std::uint32_t processors = GetParam();
  const std::uint32_t half = processors / 2;
  SimulatedPlatform platform;
  for (std::uint32_t core = 0; core < processors / 2; ++core) {
    AffinityMask threads;
    threads.setRange(2 * core, 2 * core + 1);
    platform.addWideTopologyRecord(threads, RelationProcessorCore);
  }
  for (std::uint32_t socket = 0; socket < 2; ++socket) {
    AffinityMask cpus;
    cpus.setRange(socket * half, socket * half + half - 1);
    platform.addWideTopologyRecord(cpus, RelationProcessorPackage);
    platform.addWideTopologyRecord(cpus, RelationNumaNode);
  }
  CapturedOutput output;
  const ProcessorTopology topology = queryProcessorTopology(platform, output);
  ASSERT_EQ(topology.logicalProcessorCount, processors);
  printTopologyReport(output, topology);

  std::wstring expected =
      L"Vellicor version 0.7.0 (x64) by Quennet\n\nLogical Processor Information\n"
      L"Number of Logical Processor: " +
      std::to_wstring(processors) + L"\n\nLogical to Physical Processor Map\n";
  for (std::uint32_t core = 0; core < processors / 2; ++core) {
    expected += barOf(processors, 2 * core, 2 * core + 1) + L"  Physical Processor " +
                std::to_wstring(core) + L"\n";
  }
  expected += L"\nLogical Processor to Socket Map\n";
  expected += barOf(processors, 0, half - 1) + L"  Socket 0\n";
  expected += barOf(processors, half, processors - 1) + L"  Socket 1\n";
  expected += L"\nLogical Processor to NUMA Node Map\n";
  expected += barOf(processors, 0, half - 1) + L"  NUMA Node 0\n";
  expected += barOf(processors, half, processors - 1) + L"  NUMA Node 1\n";
  EXPECT_EQ(output.text, expected);
}

INSTANTIATE_TEST_SUITE_P(Processors, WideReport, testing::Values(96u, 256u, 1024u));

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
