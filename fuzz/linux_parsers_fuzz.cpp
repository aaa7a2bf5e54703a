// The Linux platform's readers of kernel text, on arbitrary file contents: CPU lists and masks,
// /proc stat lines, executable links, command lines, mountinfo and UTF-8 names, and whole sysfs and
// /proc trees written from the input into a scratch directory. Besides never crashing, every
// reader must keep what it promises: a refused text leaves an empty set, a read set writes back
// to the same set, topology groups never share a processor, the process table stays in identifier
// order, and no name carries a character UTF-8 cannot hold.
//
// Input: one byte that picks the reader, then fields separated by the byte 0x1e. In the tree modes
// a field's first byte picks the file it is written to and the rest is the file's contents, so
// seeds can be written by hand (see fuzz/corpus/linux_parsers/).

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "platform/platform.h"
#include "ports/linux/cpu_list.h"
#include "ports/linux/linux_files.h"
#include "ports/linux/process_affinity.h"
#include "ports/linux/process_table.h"
#include "ports/linux/sysfs_topology.h"

namespace {

namespace fs = std::filesystem;
using namespace vellicor;
using namespace vellicor::linux_platform;

constexpr char kFieldSeparator = '\x1e';

// A broken promise is a finding: abort so the fuzzer keeps the input.
void require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

std::vector<std::string_view> splitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = std::min(text.find(kFieldSeparator, start), text.size());
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

std::string_view field(const std::vector<std::string_view>& fields, std::size_t index) {
  return index < fields.size() ? fields[index] : std::string_view();
}

// --- CPU sets ---------------------------------------------------------------------------------

// The kernel's list form of a set: ascending ranges, a single CPU where a range has one.
std::string writeCpuList(const AffinityMask& cpus) {
  std::string text;
  const unsigned end = cpus.span();
  unsigned cpu = 0;
  while (cpu < end) {
    if (!cpus.test(cpu)) {
      ++cpu;
      continue;
    }
    unsigned last = cpu;
    while (last + 1 < end && cpus.test(last + 1)) {
      ++last;
    }
    if (!text.empty()) {
      text.push_back(',');
    }
    text += std::to_string(cpu);
    if (last != cpu) {
      text += '-' + std::to_string(last);
    }
    cpu = last + 1;
  }
  return text + "\n";
}

// The kernel's mask form: 32-bit words of eight digits, highest first.
std::string writeCpuMask(const AffinityMask& cpus) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  const std::size_t halves = std::max<std::size_t>(1, cpus.wordCount() * 2);
  for (std::size_t half = halves; half-- > 0;) {
    const auto value = static_cast<std::uint32_t>(cpus.word(half / 2) >> (32 * (half % 2)));
    for (int shift = 28; shift >= 0; shift -= 4) {
      text.push_back(kDigits[(value >> shift) & 0xf]);
    }
    text.push_back(half == 0 ? '\n' : ',');
  }
  return text;
}

void checkParsedSet(bool parsed, const AffinityMask& cpus) {
  if (!parsed) {
    require(cpus.wordCount() == 0);
    return;
  }
  require(cpus.span() <= kCpuLimit);
  // A parsed set holds no more words than its highest CPU needs.
  require(cpus.wordCount() == (cpus.span() + 63) / 64);
}

void checkSetAlgebra(const AffinityMask& a, const AffinityMask& b) {
  AffinityMask both = a;
  both.intersect(b);
  AffinityMask onlyA = a;
  onlyA.subtract(b);
  AffinityMask either = a;
  either.unite(b);
  require(both.count() + onlyA.count() == a.count());
  require(either.count() == a.count() + b.count() - both.count());
  require(a.overlaps(b) == !both.none());
  require(!onlyA.overlaps(b));
  require(either.includes(a) && either.includes(b) && a.includes(both) && !(onlyA.overlaps(both)));
  require(both.word(0) == (a.word(0) & b.word(0)));
}

void checkCpuSets(std::string_view text) {
  AffinityMask list;
  list.set(7);  // whatever a set held before must not survive a parse
  const bool listParsed = parseCpuList(text, list);
  checkParsedSet(listParsed, list);
  AffinityMask mask;
  mask.set(7);
  const bool maskParsed = parseCpuMask(text, mask);
  checkParsedSet(maskParsed, mask);

  for (const AffinityMask* cpus : {&list, &mask}) {
    AffinityMask again;
    require(parseCpuList(writeCpuList(*cpus), again) && again == *cpus);
    require(parseCpuMask(writeCpuMask(*cpus), again) && again == *cpus);
  }
  checkSetAlgebra(list, mask);
}

// --- Lines of /proc -----------------------------------------------------------------------------

bool isUtf8Character(wchar_t character) {
  const auto code = static_cast<std::uint32_t>(character);
  return code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
}

bool isByteEscape(wchar_t character) {
  const auto code = static_cast<std::uint32_t>(character);
  return code >= 0xDC80 && code <= 0xDCFF;
}

void checkUtf8(std::string_view bytes) {
  const std::wstring text = decodeUtf8(bytes);
  require(std::all_of(text.begin(), text.end(),
                      [](wchar_t c) { return isUtf8Character(c) || isByteEscape(c); }));
  require(text.size() <= bytes.size());
  // Every byte comes back, well-formed or not.
  require(encodeUtf8(text, Unencodable::RestoreBytes) == bytes);
  // Output is always well-formed: it decodes without an escape and encodes back the same.
  const std::string shown = encodeUtf8(text, Unencodable::Replace);
  const std::wstring shownText = decodeUtf8(shown);
  require(std::all_of(shownText.begin(), shownText.end(), isUtf8Character));
  require(encodeUtf8(shownText, Unencodable::RestoreBytes) == shown);
}

void checkStatLine(std::string_view line) {
  std::uint64_t startTime = 0;
  if (!parseStartTime(line, startTime)) {
    return;
  }
  // The time is the value of a whole word among the fields after the name.
  std::string_view fields = line.substr(line.rfind(')') + 1);
  while (!fields.empty()) {
    const std::size_t end = std::min(fields.find(' '), fields.size());
    const std::string_view word = fields.substr(0, end);
    std::uint64_t value = 0;
    const auto [last, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (!word.empty() && error == std::errc() && last == word.data() + word.size() &&
        value == startTime) {
      return;
    }
    fields.remove_prefix(std::min(end + 1, fields.size()));
  }
  require(false);
}

void checkNames(std::string_view exeTarget, std::string_view commandLine,
                std::string_view kernelName) {
  const std::string_view executable = executableFileName(exeTarget);
  require(executable.find('/') == std::string_view::npos);
  require(exeTarget.find(executable) != std::string_view::npos);
  const std::string_view command = commandFileName(commandLine);
  require(command.find('/') == std::string_view::npos);
  require(command.find('\0') == std::string_view::npos);
  const std::string_view name = completeKernelName(kernelName, executable, command);
  require(name == kernelName || name == executable || name == command);
  require(name.starts_with(kernelName));
}

void checkMountInfo(std::string_view mountInfo) {
  bool unified = false;
  std::string mountPoint;
  std::string mountRoot;
  if (findCpusetMount(mountInfo, unified, mountPoint, mountRoot)) {
    require(mountInfo.find(unified ? "cgroup2" : "cpuset") != std::string_view::npos);
  }
}

void checkProcText(std::string_view input) {
  const std::vector<std::string_view> fields = splitFields(input);
  checkStatLine(field(fields, 0));
  checkNames(field(fields, 1), field(fields, 2), field(fields, 3));
  checkMountInfo(field(fields, 4));
  checkUtf8(field(fields, 5));
}

// --- Trees written from the input --------------------------------------------------------------

// A scratch directory for one input, removed afterwards.
class ScratchTree {
 public:
  ScratchTree() {
    std::string pattern = (fs::temp_directory_path() / "vellicor-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      root_ = pattern;
    }
  }
  ~ScratchTree() {
    std::error_code ignored;
    if (!root_.empty()) {
      fs::remove_all(root_, ignored);
    }
  }
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;

  bool ready() const { return !root_.empty(); }
  const fs::path& root() const { return root_; }

  void writeFile(const std::string& relative, std::string_view contents) {
    const fs::path path = root_ / relative;
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  }
  // A directory where a reader expects a file.
  void makeDirectory(const std::string& relative) {
    std::error_code error;
    fs::create_directories(root_ / relative, error);
  }
  void makeLink(const std::string& relative, std::string_view target) {
    if (target.empty() || target.find('\0') != std::string_view::npos) {
      return;
    }
    const fs::path path = root_ / relative;
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    fs::remove(path, error);
    fs::create_symlink(fs::path(std::string(target)), path, error);
  }

 private:
  fs::path root_;
};

// Topology files of eight CPUs and four NUMA nodes, and the entries an odd kernel might list.
std::vector<std::string> sysfsFiles() {
  std::vector<std::string> files = {
      "sys/devices/system/cpu/online", "sys/devices/system/cpu/cpu00/online",
      "sys/devices/system/cpu/cpu4294967296/online", "sys/devices/system/node/node01/cpulist"};
  for (int cpu = 0; cpu < 8; ++cpu) {
    const std::string directory = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/";
    files.push_back(directory + "online");
    for (const char* leaf : {"core_cpus", "thread_siblings", "package_cpus", "core_siblings"}) {
      files.push_back(directory + "topology/" + leaf);
    }
  }
  for (int node : {0, 1, 2, 70}) {
    const std::string directory = "sys/devices/system/node/node" + std::to_string(node) + "/";
    files.push_back(directory + "cpumap");
    files.push_back(directory + "cpulist");
  }
  return files;
}

void checkSysfsTree(std::string_view input) {
  static const std::vector<std::string> kFiles = sysfsFiles();
  ScratchTree tree;
  if (!tree.ready()) {
    return;
  }
  for (std::string_view part : splitFields(input)) {
    if (part.empty()) {
      continue;
    }
    const auto selector = static_cast<unsigned char>(part[0]);
    const std::string& file = kFiles[selector % kFiles.size()];
    if (selector >= 0xf0) {
      tree.makeDirectory(file);
    } else {
      tree.writeFile(file, part.substr(1));
    }
  }

  std::vector<TopologyRecord> records(1);
  if (!readSysfsTopology(tree.root().string(), records)) {
    require(records.empty());
    return;
  }
  // Cores, then packages, then nodes; within each kind no processor twice; and every processor
  // of a package or node belongs to some core.
  const std::uint32_t order[] = {RelationProcessorCore, RelationProcessorPackage, RelationNumaNode};
  std::size_t kind = 0;
  AffinityMask seen;
  AffinityMask cores;
  for (const TopologyRecord& record : records) {
    while (kind < 3 && record.Relationship != order[kind]) {
      ++kind;
      seen.clear();
    }
    require(kind < 3);
    require(!seen.overlaps(record.ProcessorMask));
    seen.unite(record.ProcessorMask);
    if (kind == 0) {
      cores.unite(record.ProcessorMask);
    } else {
      require(cores.includes(record.ProcessorMask));
    }
  }
  require(!records.empty() && records.front().Relationship == RelationProcessorCore);
}

// The files of a few processes in a /proc of our own making, and a cpuset hierarchy mounted
// inside the tree. Nothing here refers to a real process: the readers only see the tree.
constexpr pid_t kFakePids[] = {1, 2, 300, 4242, 4194304};
constexpr std::string_view kProcessFiles[] = {"comm", "cmdline", "stat", "status", "cpuset", "exe"};
constexpr uid_t kCaller = 4242;

struct ProcFile {
  std::string path;
  bool link = false;
};

std::vector<ProcFile> procFiles() {
  std::vector<ProcFile> files;
  for (pid_t pid : kFakePids) {
    for (std::string_view leaf : kProcessFiles) {
      files.push_back({procPath(pid, leaf), leaf == "exe"});
    }
  }
  files.push_back({"cgroups/grp/cpuset.effective_cpus"});
  files.push_back({"cgroups/grp/cpuset.cpus"});
  files.push_back({"cgroups/cpuset.effective_cpus"});
  files.push_back({"0300/comm"});  // not a process: a leading zero
  files.push_back({"-5/comm"});
  return files;
}

// mountinfo names the mount point with spaces, tabs, line feeds and backslashes escaped.
std::string escapeMountField(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      static constexpr char kOctal[] = "01234567";
      const auto value = static_cast<unsigned char>(c);
      escaped += {'\\', kOctal[value >> 6], kOctal[(value >> 3) & 7], kOctal[value & 7]};
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

std::string readWhole(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void checkProcTree(std::string_view input) {
  static const std::vector<ProcFile> kFiles = procFiles();
  ScratchTree tree;
  if (!tree.ready()) {
    return;
  }
  std::string mountRoot = "/";
  for (std::string_view part : splitFields(input)) {
    if (part.empty()) {
      continue;
    }
    const auto selector = static_cast<unsigned char>(part[0]);
    if (selector == 0xff) {
      mountRoot = escapeMountField(part.substr(1));
      continue;
    }
    const ProcFile& file = kFiles[selector % kFiles.size()];
    if (file.link) {
      tree.makeLink(file.path, part.substr(1));
    } else {
      tree.writeFile(file.path, part.substr(1));
    }
  }
  tree.writeFile("self/mountinfo", "30 20 0:30 " + mountRoot + " " +
                                       escapeMountField((tree.root() / "cgroups").string()) +
                                       " rw - cgroup cgroup rw,cpuset\n");

  const UniqueFd proc(open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc.valid()) {
    return;
  }
  std::vector<ProcessEntry> table(1);
  std::vector<ProcessIdentity> identities;
  require(readProcessTable(proc.get(), table, identities));
  require(table.size() == identities.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    require(std::find(std::begin(kFakePids), std::end(kFakePids), identities[i].pid) !=
            std::end(kFakePids));
    require(table[i].ProcessId == static_cast<std::uint32_t>(identities[i].pid));
    require(i == 0 || identities[i - 1].pid < identities[i].pid);
    const std::wstring& name = table[i].pProcessName;
    require(std::all_of(name.begin(), name.end(),
                        [](wchar_t c) { return isUtf8Character(c) || isByteEscape(c); }));
  }

  // Another user without CAP_SYS_NICE, so the owner of the tree (us) is not the caller and the
  // status file decides; a changed inode sends the check to the stat file as well.
  const CallerRights rights{kCaller, false};
  ProcessAffinity affinity(proc.get());
  AffinityMask everyProcessor;
  everyProcessor.setRange(0, kCpuLimit - 1);
  AffinityMask online;
  affinity.systemMask(getpid(), everyProcessor, online);
  AffinityMask offered;
  for (const ProcessIdentity& identity : identities) {
    ProcessIdentity moved = identity;
    moved.procInode += 1;
    const ProcessIdentity* const candidates[] = {&identity, &moved};
    for (const ProcessIdentity* enumerated : candidates) {
      const AccessCheck access =
          checkProcessAccess(proc.get(), identity.pid, enumerated, rights, ProcessAccess::SetMask);
      if (access == AccessCheck::Allowed) {
        const std::string status = readWhole(tree.root() / procPath(identity.pid, "status"));
        require(status.find("\nUid:\t" + std::to_string(kCaller)) != std::string::npos);
      }
      // Reading a mask asks for no right: only the identity can refuse it.
      const AccessCheck reading = checkProcessAccess(proc.get(), identity.pid, enumerated, rights,
                                                     ProcessAccess::ReadMasks);
      require(reading == (access == AccessCheck::Gone ? AccessCheck::Gone : AccessCheck::Allowed));
    }
    // Only the processors of this machine are ever offered.
    affinity.systemMask(identity.pid, AffinityMask(), offered);
    require(online.includes(offered));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      checkCpuSets(input);
      break;
    case 1:
      checkProcText(input);
      break;
    case 2:
      checkSysfsTree(input);
      break;
    default:
      checkProcTree(input);
      break;
  }
  return 0;
}
