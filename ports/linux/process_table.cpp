#include "ports/linux/process_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <ctime>
#include <string_view>

#include "common/utf8.h"
#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {

namespace {

// Counted from the state field, the first one after the name.
constexpr std::size_t kStartTimeField = 19;

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
  if (text.empty()) {
    return false;
  }
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

std::string_view fileNameOf(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The executable's file name, or the first word of the command line, when the kernel cut the
// name at its limit. Costs two or three system calls, so only such names pay for it. False, with
// errno set, when the command line could not be read for want of resources.
bool completeName(int procDirectory, pid_t pid, std::string& name, ClosingBatch& closing) {
  std::string exeTarget(PATH_MAX, '\0');
  ssize_t length =
      readlinkat(procDirectory, procPath(pid, "exe").c_str(), exeTarget.data(), exeTarget.size());
  exeTarget.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  std::string_view completed = completeKernelName(name, executableFileName(exeTarget), {});
  std::string word;  // outlives `completed`, which may point into it
  if (completed.size() == name.size()) {
    // Not ours to read (another user's process) or a different file: the command line is
    // readable by all.
    if (!readFirstCommandWord(procDirectory, pid, word, closing) && lackedResources(errno)) {
      return false;
    }
    completed = completeKernelName(name, {}, commandFileName(word));
  }
  name = std::string(completed);
  return true;
}

// Where the first number of the line "FIELD:" of a /proc/PID/status text stands.
bool parseStatusNumber(std::string_view status, std::string_view field, std::uint64_t& value) {
  std::string line = "\n" + std::string(field) + ":\t";
  std::size_t at = status.find(line);
  if (at == std::string::npos) {
    return false;
  }
  const char* begin = status.data() + at + line.size();
  auto [end, error] = std::from_chars(begin, status.data() + status.size(), value);
  return error == std::errc() && end != begin;
}

// Now, in the clock of the start times in /proc/PID/stat: every process started before this
// moment has a start time at or below it.
std::uint64_t bootClockTicks() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const auto ticksPerSecond = static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
  const std::uint64_t nanosecondsPerTick =
      1'000'000'000 / (ticksPerSecond > 0 ? ticksPerSecond : 100);
  const std::uint64_t nanoseconds = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 +
                                    static_cast<std::uint64_t>(now.tv_nsec);
  return nanoseconds / nanosecondsPerTick;
}

// What a look at one process came to. A read that failed for want of descriptors or memory fails
// the whole table: a process must never be left out in silence.
enum class Found { Yes, No, Unknown };

Found failedRead() {
  return lackedResources(errno) ? Found::Unknown : Found::No;
}

// Whether `pid` is a process rather than one of its other threads: /proc answers a lookup of any
// thread's identifier, although its listing shows processes only.
Found isProcessLeader(int procDirectory, pid_t pid, ClosingBatch& closing) {
  std::string status;
  if (!readFileAt(procDirectory, procPath(pid, "status").c_str(), status, closing)) {
    return failedRead();
  }
  std::uint64_t group = 0;
  return parseStatusNumber(status, "Tgid", group) && group == static_cast<std::uint64_t>(pid)
             ? Found::Yes
             : Found::No;
}

// Adds the process `pid` to the table; No when it has ended. `listed` is a moment by which it had
// started.
Found addProcess(int procDirectory, pid_t pid, ino_t procInode, std::uint64_t listed,
                 std::string& name, ClosingBatch& closing, std::vector<ProcessEntry>& table,
                 std::vector<ProcessIdentity>& identities) {
  if (!readRecordAt(procDirectory, procPath(pid, "comm").c_str(), name, closing)) {
    return failedRead();
  }
  if (name.empty()) {
    return Found::No;
  }
  name.pop_back();  // the line feed the kernel adds
  if (name.size() == kKernelNameLength && !completeName(procDirectory, pid, name, closing)) {
    return Found::Unknown;
  }
  table.push_back(ProcessEntry{static_cast<std::uint32_t>(pid), decodeUtf8(name)});
  identities.push_back(ProcessIdentity{pid, procInode, listed});
  return Found::Yes;
}

}  // namespace

UniqueFd openOwnProc(const char* path) {
  UniqueFd proc(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc.valid()) {
    return proc;
  }
  // "self" names this process by its number in the namespace the mount belongs to.
  char self[16];
  const ssize_t length = readlinkat(proc.get(), "self", self, sizeof self);
  pid_t named = 0;
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof self ||
      !parseNumber(std::string_view(self, static_cast<std::size_t>(length)), named) ||
      named != getpid()) {
    proc.reset();
  }
  return proc;
}

std::string procPath(pid_t pid, std::string_view file) {
  char digits[16];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, pid);
  std::string path(digits, end);
  if (!file.empty()) {
    path.push_back('/');
    path.append(file);
  }
  return path;
}

bool parseStartTime(std::string_view statLine, std::uint64_t& startTime) {
  // The fields start after the name's closing parenthesis, the last one on the line: the name
  // may hold parentheses and spaces itself.
  std::size_t close = statLine.rfind(')');
  if (close == std::string_view::npos) {
    return false;
  }
  std::string_view rest = statLine.substr(close + 1);
  std::size_t field = 0;
  while (!rest.empty()) {
    std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(start);
    std::size_t end = std::min(rest.find(' '), rest.size());
    std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    if (field == kStartTimeField) {
      return parseNumber(word, startTime);
    }
    ++field;
  }
  return false;
}

bool readStatusNumber(int procDirectory, pid_t pid, std::string_view field, std::uint64_t& value) {
  std::string status;
  return readFileAt(procDirectory, procPath(pid, "status").c_str(), status) &&
         parseStatusNumber(status, field, value);
}

bool readFirstCommandWord(int procDirectory, pid_t pid, std::string& word, ClosingBatch& closing) {
  word.clear();
  const UniqueFd file(openForReadingAt(procDirectory, procPath(pid, "cmdline").c_str(), closing));
  if (!file.valid()) {
    return false;
  }
  // The kernel reads the command line from the process's memory, where the arguments may run to
  // megabytes: only the first word is wanted, and no path is longer than a page.
  char page[kCommandWordLimit];
  std::size_t held = 0;
  while (held < sizeof page) {
    const ssize_t got = read(file.get(), page + held, sizeof page - held);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    const std::string_view read(page + held, static_cast<std::size_t>(got));
    held += static_cast<std::size_t>(got);
    if (got == 0 || read.find('\0') != std::string_view::npos) {
      break;
    }
  }
  const std::string_view text(page, held);
  const std::size_t end = text.find('\0');
  if (end != std::string_view::npos || held < sizeof page) {
    word.assign(text.substr(0, end));
  }
  return true;
}

std::string_view executableFileName(std::string_view exeTarget) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (exeTarget.ends_with(kDeleted)) {
    exeTarget.remove_suffix(kDeleted.size());
  }
  return fileNameOf(exeTarget);
}

std::string_view commandFileName(std::string_view commandLine) {
  return fileNameOf(commandLine.substr(0, commandLine.find('\0')));
}

std::string_view completeKernelName(std::string_view kernelName, std::string_view executableName,
                                    std::string_view commandName) {
  if (kernelName.size() != kKernelNameLength) {
    return kernelName;
  }
  for (std::string_view candidate : {executableName, commandName}) {
    if (candidate.size() > kernelName.size() && candidate.starts_with(kernelName)) {
      return candidate;
    }
  }
  return kernelName;
}

bool readProcessTable(int procDirectory, std::vector<ProcessEntry>& table,
                      std::vector<ProcessIdentity>& identities) {
  table.clear();
  identities.clear();
  // A descriptor of its own, so every scan starts at the beginning of the directory.
  UniqueFd listing(openat(procDirectory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing.valid()) {
    return false;
  }
  std::vector<NumberedEntry> processes;
  if (!listNumberedEntries(listing.get(), processes)) {
    return false;
  }
  // /proc lists processes in identifier order already; the sort only guards that promise.
  std::sort(processes.begin(), processes.end(),
            [](const NumberedEntry& a, const NumberedEntry& b) { return a.number < b.number; });
  // Every process listed had started by now.
  const std::uint64_t listed = bootClockTicks();
  std::string name;
  ClosingBatch closing;
  for (const NumberedEntry& process : processes) {
    if (addProcess(procDirectory, process.number, process.inode, listed, name, closing, table,
                   identities) == Found::Unknown) {
      table.clear();
      identities.clear();
      return false;
    }
  }
  return true;
}

bool readProcessesById(int procDirectory, const std::vector<std::uint32_t>& processIds,
                       std::vector<ProcessEntry>& table, std::vector<ProcessIdentity>& identities) {
  table.clear();
  identities.clear();
  if (procDirectory < 0) {
    return false;
  }
  std::vector<std::uint32_t> wanted(processIds);
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  // Every process found had started by now.
  const std::uint64_t listed = bootClockTicks();
  std::string name;
  ClosingBatch closing;
  for (std::uint32_t processId : wanted) {
    // Identifiers no process can have are never looked up (0 would name no directory at all).
    if (processId == 0 || processId > static_cast<std::uint32_t>(INT_MAX)) {
      continue;
    }
    const auto pid = static_cast<pid_t>(processId);
    struct stat directory {};
    // Only a process has a directory of its own by that name; a thread's is hidden in listings
    // but answers a lookup, and it is no process of the table.
    Found found = fstatat(procDirectory, procPath(pid).c_str(), &directory, 0) == 0
                      ? isProcessLeader(procDirectory, pid, closing)
                      : failedRead();
    if (found == Found::Yes) {
      found = addProcess(procDirectory, pid, directory.st_ino, listed, name, closing, table,
                         identities);
    }
    if (found == Found::Unknown) {
      table.clear();
      identities.clear();
      return false;
    }
  }
  return true;
}

}  // namespace vellicor::linux_platform
