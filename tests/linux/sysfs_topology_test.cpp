#include "ports/linux/sysfs_topology.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vellicor::linux_platform {
namespace {

namespace fs = std::filesystem;

struct Lists {
  std::vector<std::string> cores;
  std::vector<std::string> packages;
  std::vector<std::string> nodes;
  unsigned count = 0;  // set bits over the core records, as the topology query counts
};

std::string hex(std::uint64_t mask) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, mask);
  return text;
}

Lists listsOf(const std::vector<TopologyRecord>& records) {
  Lists lists;
  for (const TopologyRecord& record : records) {
    if (record.Relationship == RelationProcessorCore) {
      lists.cores.push_back(hex(record.ProcessorMask));
      lists.count += static_cast<unsigned>(std::popcount(record.ProcessorMask));
    } else if (record.Relationship == RelationProcessorPackage) {
      lists.packages.push_back(hex(record.ProcessorMask));
    } else if (record.Relationship == RelationNumaNode) {
      lists.nodes.push_back(hex(record.ProcessorMask));
    } else {
      ADD_FAILURE() << "unexpected relationship " << record.Relationship;
    }
  }
  return lists;
}

std::string readText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// expected.json holds numbers, strings and lists (of lists) of them: the value of a key is the
// text up to the matching bracket, or up to the next comma for a number.
std::string jsonValue(const std::string& json, const std::string& key) {
  std::size_t at = json.find("\"" + key + "\"");
  if (at == std::string::npos) {
    return "";
  }
  at = json.find_first_not_of(" :", at + key.size() + 2);
  if (at == std::string::npos) {
    return "";
  }
  if (json[at] != '[') {
    return json.substr(at, json.find_first_of(",}\n", at) - at);
  }
  int depth = 0;
  for (std::size_t end = at; end < json.size(); ++end) {
    depth += json[end] == '[' ? 1 : json[end] == ']' ? -1 : 0;
    if (depth == 0) {
      return json.substr(at, end + 1 - at);
    }
  }
  return "";
}

std::vector<unsigned> numbersIn(const std::string& text) {
  std::vector<unsigned> numbers;
  const char* const digits = "0123456789";
  for (std::size_t at = text.find_first_of(digits); at != std::string::npos;) {
    const std::size_t end = text.find_first_not_of(digits, at);
    numbers.push_back(static_cast<unsigned>(std::stoul(text.substr(at, end - at))));
    at = text.find_first_of(digits, end);
  }
  return numbers;
}

std::vector<std::string> maskTexts(const std::string& json, const std::string& key) {
  const std::string list = jsonValue(json, key);
  std::vector<std::string> masks;
  for (std::size_t at = list.find("0x"); at != std::string::npos; at = list.find("0x", at)) {
    const std::size_t end = list.find_first_not_of("0123456789abcdef", at + 2);
    masks.push_back(list.substr(at, end - at));
    at = end;
  }
  return masks;
}

std::vector<std::string> corpusMachines() {
  // Runs before main: a missing corpus must not throw here, it leaves the suite without
  // machines, which GoogleTest reports as a failure.
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(VELLICOR_SYSFS_TESTDATA, error)) {
    if (fs::exists(entry.path() / "expected.json")) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SysfsCorpus : public testing::TestWithParam<std::string> {};

TEST_P(SysfsCorpus, MatchesTheExpectedTopology) {
  const fs::path machine = fs::path(VELLICOR_SYSFS_TESTDATA) / GetParam();
  const std::string json = readText(machine / "expected.json");
  std::vector<TopologyRecord> records;
  ASSERT_TRUE(readSysfsTopology(machine.string(), records));
  const Lists actual = listsOf(records);

  EXPECT_EQ(actual.cores, maskTexts(json, "cores"));
  EXPECT_EQ(actual.packages, maskTexts(json, "packages"));
  EXPECT_EQ(actual.nodes, maskTexts(json, "numa_nodes"));

  const auto processors = static_cast<unsigned>(std::stoul(jsonValue(json, "logical_processors")));
  const std::string corePus = jsonValue(json, "cores_pus");
  if (corePus.empty()) {
    EXPECT_EQ(actual.count, processors);
  } else {
    // Processors numbered 64 and up lie beyond what a 64-bit mask addresses, so only the ones
    // below 64 can be counted.
    const std::vector<unsigned> pus = numbersIn(corePus);
    ASSERT_EQ(pus.size(), processors);
    const auto reachable =
        std::count_if(pus.begin(), pus.end(), [](unsigned pu) { return pu < 64; });
    EXPECT_EQ(actual.count, static_cast<unsigned>(reachable));
  }
}

INSTANTIATE_TEST_SUITE_P(Machines, SysfsCorpus, testing::ValuesIn(corpusMachines()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace_if(
                               name.begin(), name.end(), [](char c) { return !std::isalnum(c); },
                               '_');
                           return name;
                         });

// A sysfs tree built by the test, removed afterwards.
class TreeBuilder {
 public:
  TreeBuilder() {
    std::string pattern = testing::TempDir() + "vellicor-sysfs-XXXXXX";
    root_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TreeBuilder() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  void write(const std::string& relative, const std::string& content) {
    const fs::path path = fs::path(root_) / "sys/devices/system" / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  const std::string& root() const { return root_; }

  Lists read() const {
    std::vector<TopologyRecord> records;
    EXPECT_TRUE(readSysfsTopology(root_, records));
    return listsOf(records);
  }

 private:
  std::string root_;
};

using Masks = std::vector<std::string>;

TEST(SysfsTree, RefusesATreeWithoutProcessors) {
  std::vector<TopologyRecord> records(1);
  EXPECT_FALSE(readSysfsTopology("/nonexistent/vellicor", records));
  EXPECT_TRUE(records.empty());
  TreeBuilder tree;
  tree.write("cpu/possible", "0-3\n");
  records.resize(1);
  EXPECT_FALSE(readSysfsTopology(tree.root(), records));
  EXPECT_TRUE(records.empty());
}

TEST(SysfsTree, FallsBackToEachProcessorsOnlineFile) {
  TreeBuilder tree;
  tree.write("cpu/online", "garbage\n");
  tree.write("cpu/cpufreq/policy0", "");
  tree.write("cpu/cpu0/topology/core_cpus", "1\n");  // no online file: cannot go offline
  tree.write("cpu/cpu1/online", "0\n");
  tree.write("cpu/cpu1/topology/core_cpus", "2\n");
  tree.write("cpu/cpu10/online", "1\n");
  tree.write("cpu/cpu10/topology/core_cpus", "400\n");
  const Lists lists = tree.read();
  EXPECT_EQ(lists.cores, (Masks{"0x1", "0x400"}));
  EXPECT_EQ(lists.nodes, Masks{"0x401"});
  EXPECT_EQ(lists.count, 2u);
}

TEST(SysfsTree, KeepsGroupsDisjointWhenSiblingMasksDisagree) {
  TreeBuilder tree;
  tree.write("cpu/online", "0-3\n");
  tree.write("cpu/cpu0/topology/thread_siblings", "6\n");  // leaves out cpu0 itself
  tree.write("cpu/cpu3/topology/thread_siblings", "f\n");  // claims cpus already placed
  tree.write("cpu/cpu0/topology/core_siblings", "3\n");
  tree.write("cpu/cpu2/topology/core_siblings", "c\n");
  tree.write("node/online", "0\n");  // node information without any node
  const Lists lists = tree.read();
  EXPECT_EQ(lists.cores, (Masks{"0x7", "0x8"}));
  EXPECT_EQ(lists.packages, (Masks{"0x3", "0xc"}));
  EXPECT_EQ(lists.nodes, Masks{"0xf"});
  EXPECT_EQ(lists.count, 4u);
}

TEST(SysfsTree, ReadsMasksLongerThanOnePage) {
  TreeBuilder tree;
  std::string wide;
  for (int word = 0; word < 1023; ++word) {
    wide += "00000000,";
  }
  tree.write("cpu/online", "0-1\n");
  tree.write("cpu/cpu0/topology/core_cpus", wide + "00000003\n");
  tree.write("cpu/cpu0/topology/package_cpus", wide + "00000003\n");
  const Lists lists = tree.read();
  EXPECT_EQ(lists.cores, Masks{"0x3"});
  EXPECT_EQ(lists.packages, Masks{"0x3"});
}

TEST(SysfsTree, OrdersNodesByIndexAndDropsOverlappingOnes) {
  TreeBuilder tree;
  tree.write("cpu/online", "0-3\n");
  tree.write("node/has_cpu", "2,10\n");
  tree.write("node/node10/cpumap", "c\n");
  tree.write("node/node2/cpumap", "3\n");
  tree.write("node/node3/cpumap", "0\n");
  tree.write("node/node4/cpumap", "2\n");
  tree.write("node/node5/cpulist", "\n");
  const Lists lists = tree.read();
  EXPECT_EQ(lists.nodes, (Masks{"0x3", "0x0", "0x0", "0xc"}));
}

TEST(SysfsThisMachine, CountsEveryOnlineProcessorOnce) {
  std::vector<TopologyRecord> records;
  ASSERT_TRUE(readSysfsTopology("/", records));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  std::uint64_t seen[4] = {};
  for (const TopologyRecord& record : records) {
    ASSERT_LT(record.Relationship, 4u);
    EXPECT_EQ(seen[record.Relationship] & record.ProcessorMask, 0u)
        << "overlap in relationship " << record.Relationship;
    seen[record.Relationship] |= record.ProcessorMask;
  }
  const unsigned count = listsOf(records).count;
  if (online <= 64) {
    EXPECT_EQ(count, static_cast<unsigned>(online));
  } else {
    EXPECT_GE(count, 1u);  // only the processors numbered below 64 fit the masks
  }
  EXPECT_EQ(seen[RelationNumaNode] & ~seen[RelationProcessorCore], 0u);
  EXPECT_EQ(seen[RelationProcessorPackage] & ~seen[RelationProcessorCore], 0u);
}

}  // namespace
}  // namespace vellicor::linux_platform
