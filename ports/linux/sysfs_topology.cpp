#include "ports/linux/sysfs_topology.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "ports/linux/cpu_list.h"
#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {

namespace {

// The one buffer every file of a scan is read into, and the descriptors of the files read,
// closed together at the end of the scan.
struct FileReader {
  std::string contents;
  ClosingBatch closing;
  // A file or directory could not be opened or read for want of descriptors or memory: what the
  // scan found lacks it, and a processor or node would be missing in silence.
  bool starved = false;

  // Reads `path` (relative to `directory`) and returns its bytes through `text`, which stays
  // valid until the next read. An attribute is generated whole, so the usual one shorter than a
  // page costs one read(2). False when the file is missing, unreadable or absurdly long.
  bool read(int directory, const char* path, std::string_view& text) {
    // The default limit leaves room for a list of every other CPU below kCpuLimit, the longest
    // set text worth reading.
    if (!readRecordAt(directory, path, contents, closing)) {
      starved = starved || lackedResources(errno);
      return false;
    }
    text = contents;
    return true;
  }

  // Opens the directory `path` below `directory`; invalid when it is not there.
  UniqueFd openDirectory(int directory, const char* path) {
    UniqueFd opened(openat(directory, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.valid() && (errno == EMFILE || errno == ENFILE)) {
      closing.closeAll();
      opened.reset(openat(directory, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    starved = starved || (!opened.valid() && lackedResources(errno));
    return opened;
  }
};

// Builds "<prefix><number><middle><leaf>" in a fixed buffer: the paths are short and this runs
// once per CPU, so it avoids an allocation each time. Overlong parts are cut, which only makes
// the open fail.
class PathBuilder {
 public:
  const char* make(std::string_view prefix, unsigned number, std::string_view middle,
                   std::string_view leaf = {}) {
    char* const end = text_ + sizeof(text_) - 1;
    char* out = append(text_, end, prefix);
    out = std::to_chars(out, end, number).ptr;
    out = append(out, end, middle);
    out = append(out, end, leaf);
    *out = '\0';
    return text_;
  }

 private:
  static char* append(char* out, char* end, std::string_view part) {
    const std::size_t room = static_cast<std::size_t>(end - out);
    return std::copy_n(part.begin(), std::min(room, part.size()), out);
  }

  char text_[128] = {};
};

// The numbers N of the entries named "<prefix>N" in `directory`, in ascending order. The
// descriptor's position does not matter to the openat calls made through it.
std::vector<unsigned> entryNumbers(int directory, std::string_view prefix) {
  std::vector<NumberedEntry> entries;
  // A directory that cannot be read to its end still offers what was listed.
  listNumberedEntries(directory, prefix, entries);
  std::vector<unsigned> numbers;
  for (const NumberedEntry& entry : entries) {
    if (static_cast<unsigned>(entry.number) < kCpuLimit) {
      numbers.push_back(static_cast<unsigned>(entry.number));
    }
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::vector<unsigned> members(const AffinityMask& cpus) {
  std::vector<unsigned> result;
  for (std::size_t word = 0; word < cpus.wordCount(); ++word) {
    std::uint64_t bits = cpus.word(word);
    while (bits != 0) {
      result.push_back(static_cast<unsigned>(word * 64) +
                       static_cast<unsigned>(std::countr_zero(bits)));
      bits &= bits - 1;
    }
  }
  return result;
}

// A CPU whose own "online" file is missing cannot be taken offline (usually cpu0), so it counts
// as online; only an explicit 0 means offline.
bool cpuIsOnline(int cpuDirectory, unsigned cpu, FileReader& reader) {
  PathBuilder path;
  std::string_view text;
  if (!reader.read(cpuDirectory, path.make("cpu", cpu, "/online"), text)) {
    return true;
  }
  const std::string_view state = text.substr(0, text.find_first_of(std::string_view("\n\0", 2)));
  return state != "0";
}

AffinityMask readOnlineCpus(int cpuDirectory, FileReader& reader) {
  AffinityMask online;
  std::string_view text;
  if (reader.read(cpuDirectory, "online", text) && parseCpuList(text, online) && !online.none()) {
    return online;
  }
  // Old kernels lack the summary file: ask every CPU directory instead.
  online.clear();
  for (unsigned cpu : entryNumbers(cpuDirectory, "cpu")) {
    if (cpuIsOnline(cpuDirectory, cpu, reader)) {
      online.set(cpu);
    }
  }
  return online;
}

// The two names under which kernels publish one sibling mask, newest first.
struct SiblingFiles {
  const char* names[2];
  // Which name this kernel uses, learnt from the first CPU so the others open one file only.
  int preferred = 0;
};

bool readSiblingMask(int cpuDirectory, unsigned cpu, SiblingFiles& files, FileReader& reader,
                     AffinityMask& siblings) {
  PathBuilder path;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int choice = (files.preferred + attempt) % 2;
    std::string_view text;
    if (reader.read(cpuDirectory, path.make("cpu", cpu, "/topology/", files.names[choice]), text) &&
        parseCpuMask(text, siblings)) {
      files.preferred = choice;
      return true;
    }
  }
  siblings.clear();
  return false;
}

// Groups the online CPUs by one sibling mask. Each group starts at its lowest CPU, so the groups
// come out in order of their lowest CPU and only that CPU's file is read. Masks are trusted over
// ids: ids repeat across dies and packages, while the masks say what the kernel groups together.
// A CPU without the mask joins no group unless `ownGroupWhenUnknown` makes it a group of its own.
std::vector<AffinityMask> groupBySiblings(int cpuDirectory, const AffinityMask& online,
                                          const AffinityMask& withDirectory, SiblingFiles files,
                                          bool ownGroupWhenUnknown, FileReader& reader) {
  std::vector<AffinityMask> groups;
  AffinityMask placed;
  for (unsigned cpu : members(online)) {
    if (placed.test(cpu)) {
      continue;
    }
    AffinityMask siblings;
    const bool known =
        withDirectory.test(cpu) && readSiblingMask(cpuDirectory, cpu, files, reader, siblings);
    if (!known && !ownGroupWhenUnknown) {
      continue;
    }
    if (!known) {
      placed.set(cpu);
      AffinityMask alone;
      alone.set(cpu);
      groups.push_back(std::move(alone));
      continue;
    }
    // Offline siblings stay out, and a CPU already placed stays in its first group, so that
    // inconsistent masks still give disjoint groups that hold their starting CPU.
    AffinityMask group = siblings;
    group.intersect(online);
    group.subtract(placed);
    group.set(cpu);
    placed.unite(group);
    groups.push_back(std::move(group));
  }
  return groups;
}

bool readNodeCpus(int nodeDirectory, unsigned node, FileReader& reader, AffinityMask& cpus) {
  PathBuilder path;
  std::string_view text;
  if (reader.read(nodeDirectory, path.make("node", node, "/cpumap"), text) &&
      parseCpuMask(text, cpus)) {
    return true;
  }
  return reader.read(nodeDirectory, path.make("node", node, "/cpulist"), text) &&
         parseCpuList(text, cpus);
}

// NUMA nodes in index order. A node keeps its place even without CPUs. A node that claims a CPU
// an earlier node already holds comes from broken firmware tables: it is dropped, so every CPU
// sits in one node at most. Without any node information the machine is one node.
std::vector<AffinityMask> readNumaNodes(int rootDirectory, const AffinityMask& online,
                                        FileReader& reader) {
  std::vector<AffinityMask> nodes;
  const UniqueFd nodeDirectory = reader.openDirectory(rootDirectory, "sys/devices/system/node");
  const std::vector<unsigned> indexes =
      nodeDirectory.valid() ? entryNumbers(nodeDirectory.get(), "node") : std::vector<unsigned>();
  if (indexes.empty()) {
    nodes.push_back(online);
    return nodes;
  }
  AffinityMask claimed;
  for (unsigned node : indexes) {
    AffinityMask cpus;
    if (!readNodeCpus(nodeDirectory.get(), node, reader, cpus)) {
      cpus.clear();
    }
    cpus.intersect(online);
    if (cpus.overlaps(claimed)) {
      continue;
    }
    claimed.unite(cpus);
    nodes.push_back(std::move(cpus));
  }
  return nodes;
}

void appendRecords(std::vector<AffinityMask>& groups, std::uint32_t relationship,
                   std::vector<TopologyRecord>& records) {
  for (AffinityMask& group : groups) {
    records.push_back(TopologyRecord{std::move(group), relationship});
  }
}

}  // namespace

bool readSysfsTopology(const std::string& rootDirectory, std::vector<TopologyRecord>& records) {
  records.clear();
  const UniqueFd root(open(rootDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) {
    return false;
  }
  const UniqueFd cpuDirectory(
      openat(root.get(), "sys/devices/system/cpu", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!cpuDirectory.valid()) {
    return false;
  }
  FileReader reader;
  const AffinityMask online = readOnlineCpus(cpuDirectory.get(), reader);
  if (online.none()) {
    return false;
  }

  lseek(cpuDirectory.get(), 0, SEEK_SET);
  AffinityMask withDirectory;
  for (unsigned cpu : entryNumbers(cpuDirectory.get(), "cpu")) {
    withDirectory.set(cpu);
  }
  std::vector<AffinityMask> cores = groupBySiblings(cpuDirectory.get(), online, withDirectory,
                                                    SiblingFiles{{"core_cpus", "thread_siblings"}},
                                                    /*ownGroupWhenUnknown=*/true, reader);
  std::vector<AffinityMask> packages = groupBySiblings(
      cpuDirectory.get(), online, withDirectory, SiblingFiles{{"package_cpus", "core_siblings"}},
      /*ownGroupWhenUnknown=*/false, reader);
  std::vector<AffinityMask> nodes = readNumaNodes(root.get(), online, reader);

  if (reader.starved) {
    return false;
  }
  records.reserve(cores.size() + packages.size() + nodes.size());
  appendRecords(cores, RelationProcessorCore, records);
  appendRecords(packages, RelationProcessorPackage, records);
  appendRecords(nodes, RelationNumaNode, records);
  return true;
}

}  // namespace vellicor::linux_platform
