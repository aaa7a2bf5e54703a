#include "ports/linux/process_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>

#include "child_process.h"
#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {
namespace {

using linux_test::ChildProcess;
using linux_test::TemporaryDirectory;

struct StatCase {
  const char* label;
  std::string line;
  bool valid;
  std::uint64_t startTime;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const StatCase& row, std::ostream* out) {
  *out << row.label;
}

class StatLines : public testing::TestWithParam<StatCase> {};

TEST_P(StatLines, GiveTheStartTime) {
  const StatCase& row = GetParam();
  std::uint64_t startTime = 0;
  ASSERT_EQ(parseStartTime(row.line, startTime), row.valid) << row.label;
  if (row.valid) {
    EXPECT_EQ(startTime, row.startTime) << row.label;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatLines,
    testing::Values(
        StatCase{"kernel thread",
                 "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 18 0 0 "
                 "18446744073709551615 0 0 0 0 0 0 0 2147483647 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 "
                 "0 0 0\n",
                 true, 18},
        StatCase{"name with parentheses and spaces",
                 "4242 (a) b (c) d) R 1 4242 4242 0 -1 4194560 99 0 0 0 1 2 0 0 20 0 1 0 "
                 "123456789 1000 50\n",
                 true, 123456789},
        StatCase{"name that looks like fields",
                 "7 (S 1 7 7 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 99) S "
                 "1 7 7 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 0 0\n",
                 true, 5},
        StatCase{"cut before the start time", "7 (sleep) S 1 7 7 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0",
                 false, 0},
        StatCase{"no closing parenthesis", "7 (sleep S 1 7 7 0 -1 0 0", false, 0},
        StatCase{"not a number", "7 (x) S 1 7 7 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 x5 0 0", false, 0},
        StatCase{"empty", "", false, 0}));

struct NameCase {
  const char* label;
  std::string kernelName;
  std::string exeTarget;
  std::string commandLine;
  std::string name;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const NameCase& row, std::ostream* out) {
  *out << row.label;
}

class NameCompletion : public testing::TestWithParam<NameCase> {};

TEST_P(NameCompletion, RestoresTheNameTheKernelCut) {
  const NameCase& row = GetParam();
  EXPECT_EQ(completeKernelName(row.kernelName, executableFileName(row.exeTarget),
                               commandFileName(row.commandLine)),
            row.name)
      << row.label;
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Table, NameCompletion,
    testing::Values(NameCase{"short names are whole", "sh", "/usr/bin/dash", "sh\0-c\0"s, "sh"},
                    NameCase{"from the executable", "Vellicor-Sleepe",
                             "/tmp/x/Vellicor-Sleeper.bin",
                             "sleep\0"s
                             "1000\0"s,
                             "Vellicor-Sleeper.bin"},
                    NameCase{"deleted executable", "Vellicor-Sleepe",
                             "/tmp/Vellicor-Sleeper.bin (deleted)", "", "Vellicor-Sleeper.bin"},
                    NameCase{"from the command line through a link", "Vellicor-Long-L",
                             "/usr/lib/real-binary", "/usr/bin/Vellicor-Long-Link-Name\0--flag\0"s,
                             "Vellicor-Long-Link-Name"},
                    NameCase{"executable first", "abcdefghijklmno", "/bin/abcdefghijklmnoEXE",
                             "abcdefghijklmnoCMD\0"s, "abcdefghijklmnoEXE"},
                    NameCase{"neither begins with it", "Vellicor-Long-L", "/usr/lib/real-binary",
                             "other\0"s, "Vellicor-Long-L"},
                    NameCase{"exactly fifteen, nothing longer", "exactly15chars!",
                             "/bin/exactly15chars!", "exactly15chars!\0"s, "exactly15chars!"},
                    NameCase{"nothing to read", "kworker/u8:2-ev", "", "", "kworker/u8:2-ev"},
                    NameCase{"cut inside a character", "Vellicor-Schla\xC3",
                             "/opt/Vellicor-Schla\xC3\xA4"
                             "fer",
                             "",
                             "Vellicor-Schla\xC3\xA4"
                             "fer"}));

class ProcessTable : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(proc_.valid());
    ASSERT_FALSE(directory_.path().empty());
  }

  // The table's name for `pid`, or "(absent)"; a lookup of the identifier alone agrees.
  std::wstring nameOf(pid_t pid) {
    std::vector<ProcessEntry> table;
    std::vector<ProcessIdentity> identities;
    EXPECT_TRUE(readProcessTable(proc_.get(), table, identities));
    std::wstring name = L"(absent)";
    for (const ProcessEntry& entry : table) {
      if (entry.ProcessId == static_cast<std::uint32_t>(pid)) {
        name = entry.pProcessName;
      }
    }
    EXPECT_TRUE(
        readProcessesById(proc_.get(), {static_cast<std::uint32_t>(pid)}, table, identities));
    EXPECT_EQ(table.empty() ? L"(absent)" : table[0].pProcessName, name);
    return name;
  }

  ChildProcess sleeper(const std::string& fileName) {
    std::filesystem::path copy = directory_.path() / fileName;
    if (!linux_test::copySleepProgram(copy)) {
      return ChildProcess();
    }
    return ChildProcess::execute(copy.string(), {"sleep", "1000"});
  }

  UniqueFd proc_{open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  TemporaryDirectory directory_;
};

struct ChildNameCase {
  const char* fileName;
  const wchar_t* shown;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const ChildNameCase& row, std::ostream* out) {
  *out << row.fileName;
}

class ProcessTableNames : public ProcessTable, public testing::WithParamInterface<ChildNameCase> {};

TEST_P(ProcessTableNames, ShowTheProgramsFileName) {
  ChildProcess child = sleeper(GetParam().fileName);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(nameOf(child.pid()), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    RealChildren, ProcessTableNames,
    testing::Values(ChildNameCase{"VSleep", L"VSleep"},
                    ChildNameCase{"Vellicor-Sleeper.bin", L"Vellicor-Sleeper.bin"},
                    ChildNameCase{"Schl\xC3\xA4"
                                  "fer-\xE2\x82\xAC",
                                  L"Schl\u00E4fer-\u20AC"},
                    ChildNameCase{"Vellicor-Schla\xC3\xA4"
                                  "fer",
                                  L"Vellicor-Schla\u00E4fer"},
                    ChildNameCase{"with space (and) parens", L"with space (and) parens"}));

TEST_F(ProcessTable, ALinkedProgramIsShownUnderTheLinksName) {
  std::filesystem::path real = directory_.path() / "real-sleeper";
  ASSERT_TRUE(linux_test::copySleepProgram(real));
  std::filesystem::path link = directory_.path() / "Vellicor-Long-Link-Name";
  std::filesystem::create_symlink(real, link);

  ChildProcess named = ChildProcess::execute(link.string(), {link.string(), "1000"});
  ASSERT_TRUE(named.started());
  EXPECT_EQ(nameOf(named.pid()), L"Vellicor-Long-Link-Name");

  // With neither the file nor the first word to go by, the kernel's name is all there is.
  ChildProcess anonymous = ChildProcess::execute(link.string(), {"other", "1000"});
  ASSERT_TRUE(anonymous.started());
  EXPECT_EQ(nameOf(anonymous.pid()), L"Vellicor-Long-L");
}

// A child of two threads, both listed in `threads` once they exist.
ChildProcess twoThreadedChild(std::vector<pid_t>& threads) {
  ChildProcess threaded = ChildProcess::run([] {
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void*) -> void* {
          pause();
          return nullptr;
        },
        nullptr);
    pause();
  });
  for (int attempt = 0; threaded.started() && attempt < 500 && threads.size() < 2; ++attempt) {
    usleep(2000);
    threads = linux_test::threadsOf(threaded.pid());
  }
  return threaded;
}

TEST_F(ProcessTable, ListsProcessesInAscendingOrderWithoutTheirThreads) {
  std::vector<pid_t> threads;
  ChildProcess threaded = twoThreadedChild(threads);
  ASSERT_TRUE(threaded.started());
  ASSERT_EQ(threads.size(), 2u);

  std::vector<ProcessEntry> table;
  std::vector<ProcessIdentity> identities;
  ASSERT_TRUE(readProcessTable(proc_.get(), table, identities));
  ASSERT_EQ(identities.size(), table.size());
  EXPECT_TRUE(std::is_sorted(table.begin(), table.end(), [](const auto& a, const auto& b) {
    return a.ProcessId < b.ProcessId;
  }));
  auto listed = [&](pid_t pid) {
    return std::count_if(table.begin(), table.end(), [&](const ProcessEntry& entry) {
      return entry.ProcessId == static_cast<std::uint32_t>(pid);
    });
  };
  EXPECT_EQ(listed(getpid()), 1);
  for (pid_t thread : threads) {
    EXPECT_EQ(listed(thread), thread == threaded.pid() ? 1 : 0) << thread;
  }
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(static_cast<std::uint32_t>(identities[i].pid), table[i].ProcessId);
  }
}

// What a run by identifier reads: the processes named, once each and in identifier order, with
// the same names and identities as the whole table gives them; never a thread.
TEST_F(ProcessTable, LooksUpTheProcessesOfGivenIdentifiersAlone) {
  std::vector<pid_t> threads;
  ChildProcess threaded = twoThreadedChild(threads);
  ASSERT_TRUE(threaded.started());
  ASSERT_EQ(threads.size(), 2u);
  const pid_t otherThread = threads[0] == threaded.pid() ? threads[1] : threads[0];
  // The kernel hands out identifiers below pid_max only: this one names no process, now or later
  // (an ended child's identifier could be handed out again meanwhile).
  const auto noProcess =
      static_cast<std::uint32_t>(std::stoul(linux_test::readWholeFile("/proc/sys/kernel/pid_max")));

  const auto self = static_cast<std::uint32_t>(getpid());
  const auto child = static_cast<std::uint32_t>(threaded.pid());
  std::vector<ProcessEntry> table;
  std::vector<ProcessIdentity> identities;
  ASSERT_TRUE(readProcessesById(
      proc_.get(),
      {child, static_cast<std::uint32_t>(otherThread), self, 0, 0xFFFFFFFFu, noProcess, self},
      table, identities));
  ASSERT_EQ(table.size(), 2u);
  ASSERT_EQ(identities.size(), 2u);
  EXPECT_EQ(table[0].ProcessId, std::min(self, child));
  EXPECT_EQ(table[1].ProcessId, std::max(self, child));

  std::vector<ProcessEntry> whole;
  std::vector<ProcessIdentity> wholeIdentities;
  ASSERT_TRUE(readProcessTable(proc_.get(), whole, wholeIdentities));
  for (std::size_t i = 0; i < table.size(); ++i) {
    auto same = std::find_if(whole.begin(), whole.end(), [&](const ProcessEntry& entry) {
      return entry.ProcessId == table[i].ProcessId;
    });
    ASSERT_NE(same, whole.end());
    const ProcessIdentity& identity =
        wholeIdentities[static_cast<std::size_t>(same - whole.begin())];
    EXPECT_EQ(same->pProcessName, table[i].pProcessName);
    // The inode of /proc/PID may change between two reads, when the kernel drops and rebuilds
    // the directory's entry; the identifier is what must agree.
    EXPECT_EQ(identity.pid, identities[i].pid);
    EXPECT_NE(identities[i].procInode, ino_t{0});
  }
}

struct CommandWordCase {
  const char* name;
  std::string first;      // the first word, argument 0
  std::size_t restBytes;  // of the arguments after it
  std::string word;       // what is read
};

void PrintTo(const CommandWordCase& row, std::ostream* out) {
  *out << row.name;
}

class CommandWords : public testing::TestWithParam<CommandWordCase> {};

// Only the first word of a command line is read, however long the rest: the kernel copies it out
// of the process's memory. A first word longer than any path gives nothing.
TEST_P(CommandWords, AreReadUpToTheFirstNulAndAPageAtMost) {
  const CommandWordCase& row = GetParam();
  std::vector<std::string> arguments{row.first, "1000"};
  for (std::size_t bytes = 0; bytes < row.restBytes; bytes += 4096) {
    arguments.push_back(std::string(4095, '0'));  // sleep adds its arguments up
  }
  ChildProcess child = ChildProcess::execute("/bin/sleep", arguments);
  ASSERT_TRUE(child.started());
  const UniqueFd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ClosingBatch closing;
  std::string word = "stale";
  ASSERT_TRUE(readFirstCommandWord(proc.get(), child.pid(), word, closing));
  EXPECT_EQ(word, row.word);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandWords,
    testing::Values(
        CommandWordCase{"Short", "vl-sleep", 0, "vl-sleep"},
        CommandWordCase{"BeforeAMebibyteOfArguments", "/opt/vl-sleep", 1 << 20, "/opt/vl-sleep"},
        CommandWordCase{"FillingThePageWithItsNul", std::string(kCommandWordLimit - 1, 'w'), 16,
                        std::string(kCommandWordLimit - 1, 'w')},
        CommandWordCase{"LongerThanAPage", std::string(kCommandWordLimit, 'w'), 16, ""}),
    [](const testing::TestParamInfo<CommandWordCase>& info) {
      return std::string(info.param.name);
    });

TEST(ProcessLookup, WithoutProcFailsAsAWholeTableWould) {
  std::vector<ProcessEntry> table{{1, L"x"}};
  std::vector<ProcessIdentity> identities;
  EXPECT_FALSE(readProcessesById(-1, {1}, table, identities));
  EXPECT_TRUE(table.empty());
}

}  // namespace
}  // namespace vellicor::linux_platform
