#include "ports/linux/sysfs_topology.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
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

// One list per relationship: each core's, package's or node's mask in hexadecimal, and its
// processors.
struct Lists {
  std::vector<std::string> cores;
  std::vector<std::string> packages;
  std::vector<std::string> nodes;
  std::vector<std::vector<unsigned>> corePus;
  std::vector<std::vector<unsigned>> packagePus;
  std::vector<std::vector<unsigned>> nodePus;
  unsigned count = 0;  // processors over the core records, as the topology query counts
};

std::string hex(const AffinityMask& mask) {
  std::ostringstream text;
  text << "0x" << mask;
  return text.str();
}

std::vector<unsigned> processorsOf(const AffinityMask& mask) {
  std::vector<unsigned> processors;
  for (unsigned processor = 0; processor < mask.wordCount() * 64; ++processor) {
    if (mask.test(processor)) {
      processors.push_back(processor);
    }
  }
  return processors;
}

Lists listsOf(const std::vector<TopologyRecord>& records) {
  Lists lists;
  for (const TopologyRecord& record : records) {
    if (record.Relationship == RelationProcessorCore) {
      lists.cores.push_back(hex(record.ProcessorMask));
      lists.corePus.push_back(processorsOf(record.ProcessorMask));
      lists.count += record.ProcessorMask.count();
    } else if (record.Relationship == RelationProcessorPackage) {
      lists.packages.push_back(hex(record.ProcessorMask));
      lists.packagePus.push_back(processorsOf(record.ProcessorMask));
    } else if (record.Relationship == RelationNumaNode) {
      lists.nodes.push_back(hex(record.ProcessorMask));
      lists.nodePus.push_back(processorsOf(record.ProcessorMask));
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

// A list of processor lists ("[[0, 1], [2]]"), one inner list per entry.
std::vector<std::vector<unsigned>> processorLists(const std::string& text) {
  std::vector<std::vector<unsigned>> lists;
  for (std::size_t open = text.find('[', 1); open != std::string::npos;
       open = text.find('[', open + 1)) {
    const std::size_t close = text.find(']', open);
    lists.push_back(numbersIn(text.substr(open, close - open)));
  }
  return lists;
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

  // A machine with processors numbered 64 and up lists them by number; its 64-bit masks in the
  // corpus leave them out.
  if (jsonValue(json, "cores_pus").empty()) {
    EXPECT_EQ(actual.cores, maskTexts(json, "cores"));
    EXPECT_EQ(actual.packages, maskTexts(json, "packages"));
    EXPECT_EQ(actual.nodes, maskTexts(json, "numa_nodes"));
  } else {
    EXPECT_EQ(actual.corePus, processorLists(jsonValue(json, "cores_pus")));
    EXPECT_EQ(actual.packagePus, processorLists(jsonValue(json, "packages_pus")));
    EXPECT_EQ(actual.nodePus, processorLists(jsonValue(json, "numa_nodes_pus")));
  }
  const auto processors = static_cast<unsigned>(std::stoul(jsonValue(json, "logical_processors")));
  EXPECT_EQ(actual.count, processors);
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
  AffinityMask seen[4];
  for (const TopologyRecord& record : records) {
    ASSERT_LT(record.Relationship, 4u);
    EXPECT_FALSE(seen[record.Relationship].overlaps(record.ProcessorMask))
        << "overlap in relationship " << record.Relationship;
    seen[record.Relationship].unite(record.ProcessorMask);
  }
  EXPECT_EQ(listsOf(records).count, static_cast<unsigned>(online));
  EXPECT_TRUE(seen[RelationProcessorCore].includes(seen[RelationNumaNode]));
  EXPECT_TRUE(seen[RelationProcessorCore].includes(seen[RelationProcessorPackage]));
}

}  // namespace
}  // namespace vellicor::linux_platform
