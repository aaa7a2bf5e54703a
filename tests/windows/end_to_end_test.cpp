// vellicor.exe run as users run it, against real Windows processes: copies of the test helper
// under chosen image names. Every test gives its helpers names of their own, because tests that
// run at the same time share one Wine prefix and see each other's processes.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/windows/test_processes.h"

namespace vellicor::windows_tests {
namespace {

std::wstring setLine(std::wstring_view name, std::uint32_t processId, std::uint64_t oldMask,
                     std::uint64_t newMask) {
  return std::wstring(name) + L", pid:" + std::to_wstring(processId) + L", mask:" +
         maskText(oldMask) + L" -> " + maskText(newMask) + L"\r\n";
}

std::wstring showLine(std::wstring_view name, std::uint32_t processId, std::uint64_t mask) {
  return barText(mask) + L"  mask:" + maskText(mask) + L", pid:" + std::to_wstring(processId) +
         L", " + std::wstring(name) + L"\r\n";
}

std::uint32_t identifierIn(const std::string& line) {
  std::size_t at = line.find("pid:");
  return at == std::string::npos ? 0 : static_cast<std::uint32_t>(std::stoul(line.substr(at + 4)));
}

class VellicorExe : public testing::Test {
 protected:
  ScratchFolder scratch_;
  const std::uint64_t wanted_ = lowestBit(systemMask());
  const std::wstring maskOption_ = L"/x:" + maskText(wanted_);
};

TEST_F(VellicorExe, SetsTheMaskOfAProcessGivenByIdentifier) {
  ChildProcess helper = startIdleHelper(scratch_.helperNamed(L"PidTarget.exe"));
  ASSERT_TRUE(helper.started());
  std::uint64_t before = affinityOf(helper.handle());

  RunResult run = runVellicor(maskOption_ + L" /p " + std::to_wstring(helper.id()));
  EXPECT_EQ(run.output, utf8(setLine(L"PidTarget.exe", helper.id(), before, wanted_)));
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_EQ(affinityOf(helper.handle()), wanted_);
}

TEST_F(VellicorExe, SelectsByImageNameInAnotherLetterCase) {
  ChildProcess helper = startIdleHelper(scratch_.helperNamed(L"NotePad.exe"));
  ASSERT_TRUE(helper.started());
  std::uint64_t before = affinityOf(helper.handle());

  RunResult set = runVellicor(maskOption_ + L" notepad.EXE");
  EXPECT_EQ(set.output, utf8(setLine(L"NotePad.exe", helper.id(), before, wanted_)));
  EXPECT_EQ(set.exitStatus, 0u);

  RunResult shown = runVellicor(L"NOTEPAD.exe");
  EXPECT_EQ(shown.output, utf8(showLine(L"NotePad.exe", helper.id(), wanted_)));
  EXPECT_EQ(shown.exitStatus, 0u);
}

TEST_F(VellicorExe, ShowsANonAsciiImageNameWhole) {
  const std::wstring name = L"Gr\u00fc\u00dfe_\u0394\u65e5\u672c\xd83d\xde00.exe";
  ChildProcess helper = startIdleHelper(scratch_.helperNamed(name));
  ASSERT_TRUE(helper.started());

  // Only ASCII letters are folded, so this still names the helper.
  RunResult run = runVellicor(L"GR\u00fc\u00dfE_\u0394\u65e5\u672c\xd83d\xde00.EXE");
  EXPECT_EQ(run.output, utf8(showLine(name, helper.id(), affinityOf(helper.handle()))));
  EXPECT_EQ(run.exitStatus, 0u);
}

TEST_F(VellicorExe, ListsEveryProcessOpenableWithoutSettingMasks) {
  ChildProcess listed = startIdleHelper(scratch_.helperNamed(L"Listed.exe"));
  ChildProcess guarded = startIdleHelper(scratch_.helperNamed(L"Unlisted.exe"), L"guard");
  ASSERT_TRUE(listed.started());
  ASSERT_TRUE(guarded.started());
  std::uint64_t before = affinityOf(listed.handle());

  RunResult run = runVellicor(L"/l " + maskOption_ + L" unlisted.exe");
  EXPECT_EQ(run.output.substr(0, 2), "\r\n");
  EXPECT_NE(run.output.find(utf8(showLine(L"Listed.exe", listed.id(), before))), std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("Unlisted.exe"), std::string::npos) << run.output;
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_EQ(affinityOf(listed.handle()), before);
}

TEST_F(VellicorExe, ReportsAProcessItMayNotOpen) {
  ChildProcess guarded = startIdleHelper(scratch_.helperNamed(L"Guarded.exe"), L"guard");
  ASSERT_TRUE(guarded.started());

  RunResult run = runVellicor(maskOption_ + L" guarded.exe");
  EXPECT_EQ(run.output, "Guarded.exe, No access right!\r\n");
  EXPECT_EQ(run.exitStatus, 0u);
}

// A process whose security descriptor lets others read and set its mask and do nothing else is
// shown, listed and set; one that lets them read it only is shown and listed. Asking for every
// right, earlier versions could open neither.
TEST_F(VellicorExe, OpensAProcessForNoMoreThanTheRunNeeds) {
  ChildProcess settable = startIdleHelper(scratch_.helperNamed(L"GrantsSet.exe"), L"grant-set");
  ChildProcess readable = startIdleHelper(scratch_.helperNamed(L"GrantsRead.exe"), L"grant-read");
  ASSERT_TRUE(settable.started());
  ASSERT_TRUE(readable.started());
  ASSERT_TRUE(SetProcessAffinityMask(settable.handle(), systemMask()));
  const std::wstring both =
      L" /p " + std::to_wstring(settable.id()) + L" " + std::to_wstring(readable.id());
  // The lines come in table order, which is not the order of the identifiers.
  auto sortedLines = [](const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      lines.push_back(text.substr(at, end - at + 1));
      at = end == std::string::npos ? text.size() : end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };

  RunResult shown = runVellicor(both);
  EXPECT_EQ(
      sortedLines(shown.output),
      sortedLines(utf8(showLine(L"GrantsSet.exe", settable.id(), systemMask()) +
                       showLine(L"GrantsRead.exe", readable.id(), affinityOf(readable.handle())))));

  RunResult listed = runVellicor(L"/l");
  EXPECT_NE(listed.output.find(utf8(showLine(L"GrantsSet.exe", settable.id(), systemMask()))),
            std::string::npos);
  EXPECT_NE(listed.output.find(
                utf8(showLine(L"GrantsRead.exe", readable.id(), affinityOf(readable.handle())))),
            std::string::npos);

  const std::uint64_t readableBefore = affinityOf(readable.handle());
  RunResult set = runVellicor(maskOption_ + both);
  EXPECT_EQ(sortedLines(set.output),
            sortedLines(utf8(setLine(L"GrantsSet.exe", settable.id(), systemMask(), wanted_)) +
                        "GrantsRead.exe, No access right!\r\n"));
  EXPECT_EQ(affinityOf(settable.handle()), wanted_);
  EXPECT_EQ(affinityOf(readable.handle()), readableBefore);
}

TEST_F(VellicorExe, SelectsNothingByTheIdentifierOfAnEndedProcess) {
  ChildProcess helper = startIdleHelper(scratch_.helperNamed(L"Ended.exe"));
  ASSERT_TRUE(helper.started());
  std::uint32_t endedId = helper.id();
  helper.end();

  RunResult run = runVellicor(maskOption_ + L" /p " + std::to_wstring(endedId));
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.exitStatus, 0u);
}

TEST_F(VellicorExe, LaunchedCommandRunsUnderTheRequestedMask) {
  const std::wstring program = scratch_.helperNamed(L"LaunchMe.exe");
  const std::wstring report = scratch_.file(L"launched mask.txt");
  std::uint64_t inherited = affinityOf(GetCurrentProcess());

  RunResult run =
      runVellicor(maskOption_ + L" /e \"" + program + L"\" report-mask \"" + report + L"\"");
  std::uint32_t launchedId = identifierIn(run.output);
  ASSERT_NE(launchedId, 0u) << run.output;
  EXPECT_EQ(run.output, utf8(setLine(L"LaunchMe.exe", launchedId, inherited, wanted_)));
  EXPECT_EQ(run.exitStatus, 0u);

  // The command was resumed and runs on its own; its report is complete once it has ended.
  HANDLE launched = OpenProcess(SYNCHRONIZE, FALSE, launchedId);
  if (launched != nullptr) {
    WaitForSingleObject(launched, INFINITE);
    CloseHandle(launched);
  }
  std::string reported = readFile(report);
  EXPECT_EQ(std::stoull(reported.empty() ? "0" : reported, nullptr, 16), wanted_);
}

TEST_F(VellicorExe, ReportsACommandThatCannotBeStarted) {
  RunResult run = runVellicor(maskOption_ + L" /e vellicor-no-such-program.exe an argument");
  EXPECT_EQ(run.output, "Not found: vellicor-no-such-program.exe an argument");
  EXPECT_EQ(run.exitStatus, 1u);
}

// Only a Windows program can pass a lone surrogate; redirected output is UTF-8, which cannot
// carry one. A tab, a direction mark and a character beyond the first plane show as themselves.
TEST_F(VellicorExe, ShowsACommandThatCannotBeStartedAsTyped) {
  RunResult run =
      runVellicor(maskOption_ + L" /e vellicor-no-such-\u200e\t\xd800-\xd83d\xde00.exe");
  EXPECT_EQ(run.output, "Not found: vellicor-no-such-\xe2\x80\x8e\t?-\xf0\x9f\x98\x80.exe");
  EXPECT_EQ(run.exitStatus, 1u);
}

// A handle of the test's own that `vellicor.exe` writes its output to.
class OutputHandle {
 public:
  OutputHandle(const std::wstring& path, DWORD access)
      : handle_(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  // The write end of a pipe whose reader is gone.
  OutputHandle() {
    HANDLE readEnd = nullptr;
    if (CreatePipe(&readEnd, &handle_, nullptr, 0)) {
      CloseHandle(readEnd);
    }
  }
  ~OutputHandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
    }
  }
  OutputHandle(const OutputHandle&) = delete;
  OutputHandle& operator=(const OutputHandle&) = delete;

  bool opened() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

// Output that is lost ends the run with status 1, but only once its work is done.
TEST_F(VellicorExe, LostOutputEndsWithStatusOneAfterTheMaskIsSet) {
  ChildProcess helper = startIdleHelper(scratch_.helperNamed(L"LostOutput.exe"));
  ASSERT_TRUE(helper.started());
  struct Row {
    const char* name;
    std::wstring path;
    DWORD access;
  };
  const Row rows[] = {
      {"a file opened for reading only", scratch_.file(L"read only.txt"), GENERIC_READ},
      // Wine shows the host's root as drive Z:, and /dev/full refuses every write with ENOSPC.
      {"a full disk", L"Z:\\dev\\full", GENERIC_WRITE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(SetProcessAffinityMask(helper.handle(), systemMask()));
    OutputHandle output(row.path, row.access);
    ASSERT_TRUE(output.opened());
    EXPECT_EQ(
        runVellicorWritingTo(output.get(), maskOption_ + L" /p " + std::to_wstring(helper.id())),
        1u);
    EXPECT_EQ(affinityOf(helper.handle()), wanted_);
  }
}

// `vellicor /x:1 app.exe | more`, and the reader quits at once: nothing was lost that anyone
// would read.
TEST_F(VellicorExe, AReaderThatIsGoneEndsTheOutputNotTheRun) {
  ChildProcess helper = startIdleHelper(scratch_.helperNamed(L"ReaderGone.exe"));
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(SetProcessAffinityMask(helper.handle(), systemMask()));
  OutputHandle output;
  ASSERT_TRUE(output.opened());
  EXPECT_EQ(
      runVellicorWritingTo(output.get(), maskOption_ + L" /p " + std::to_wstring(helper.id())), 0u);
  EXPECT_EQ(affinityOf(helper.handle()), wanted_);
}

// The report of a process that ends by itself; it appears whole (written, then renamed).
std::string waitForReport(const std::wstring& path) {
  constexpr DWORD kPollMilliseconds = 20;
  constexpr DWORD kLongestWait = 60 * 1000;
  std::string report;
  for (DWORD waited = 0; report.empty() && waited < kLongestWait; waited += kPollMilliseconds) {
    Sleep(kPollMilliseconds);
    report = readFile(path);
  }
  return report;
}

TEST_F(VellicorExe, LostOutputStillLetsTheLaunchedCommandRun) {
  const std::wstring program = scratch_.helperNamed(L"RunsAnyway.exe");
  const std::wstring report = scratch_.file(L"launched mask.txt");
  OutputHandle output(scratch_.file(L"read only.txt"), GENERIC_READ);
  ASSERT_TRUE(output.opened());

  EXPECT_EQ(runVellicorWritingTo(output.get(), maskOption_ + L" /e \"" + program +
                                                   L"\" report-mask \"" + report + L"\""),
            1u);
  // A command left suspended would never write its report.
  std::string reported = waitForReport(report);
  ASSERT_FALSE(reported.empty());
  EXPECT_EQ(std::stoull(reported, nullptr, 16), wanted_);
}

bool fileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Run from a service, a GUI program or detached from any console, vellicor.exe has no standard
// output at all. Nobody asked for its text, so losing it is no failure.
TEST_F(VellicorExe, WithNoStandardOutputDoesItsWorkAndEndsWithZero) {
  ChildProcess helper = startIdleHelper(scratch_.helperNamed(L"NoOutput.exe"));
  ASSERT_TRUE(helper.started());
  struct Row {
    const char* name;
    DWORD flags;
  };
  const Row rows[] = {
      {"null standard handles", 0},
      {"detached from any console", DETACHED_PROCESS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(SetProcessAffinityMask(helper.handle(), systemMask()));
    VellicorStart start;
    start.flags = row.flags;
    ChildProcess vellicor =
        startVellicor(start, maskOption_ + L" /p " + std::to_wstring(helper.id()));
    ASSERT_TRUE(vellicor.started());
    EXPECT_EQ(vellicor.waitForExit(), 0u);
    EXPECT_EQ(affinityOf(helper.handle()), wanted_);
  }
}

// Wine prefers its own DLLs to any beside a program, where Windows takes those first; this tells
// Wine to do as Windows does for one DLL of programs of one name, while it lives.
class NativeDllFirst {
 public:
  NativeDllFirst(const std::wstring& program, const wchar_t* dll)
      : key_(L"Software\\Wine\\AppDefaults\\" + program + L"\\DllOverrides") {
    HKEY overrides = nullptr;
    const wchar_t value[] = L"native,builtin";
    set_ = RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                           &overrides, nullptr) == ERROR_SUCCESS &&
           RegSetValueExW(overrides, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          sizeof value) == ERROR_SUCCESS;
    if (overrides != nullptr) {
      RegCloseKey(overrides);
    }
  }
  ~NativeDllFirst() {
    RegDeleteKeyW(HKEY_CURRENT_USER, key_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, key_.substr(0, key_.rfind(L'\\')).c_str());
  }
  NativeDllFirst(const NativeDllFirst&) = delete;
  NativeDllFirst& operator=(const NativeDllFirst&) = delete;
  bool set() const { return set_; }

 private:
  std::wstring key_;
  bool set_ = false;
};

// Unzipped into a Downloads folder, vellicor.exe lies beside whatever else was downloaded there,
// and Windows looks for a DLL that is no KnownDLL in the program's folder first.
TEST_F(VellicorExe, RunsNoWtsapi32PlantedBesideIt) {
  ChildProcess helper = startIdleHelper(scratch_.helperNamed(L"BesidePlanted.exe"));
  ASSERT_TRUE(helper.started());
  const std::wstring copyName = L"vellicor-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  NativeDllFirst nativeFirst(copyName, L"wtsapi32");
  ASSERT_TRUE(nativeFirst.set());
  VellicorStart start;
  start.program = scratch_.file(copyName);
  ASSERT_TRUE(CopyFileW(vellicorExe().c_str(), start.program.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(plantedDll().c_str(), scratch_.file(L"WTSAPI32.dll").c_str(), FALSE));

  RunResult run = runVellicor(start, L"/p " + std::to_wstring(helper.id()));
  EXPECT_FALSE(fileExists(scratch_.file(L"planted-dll-ran")));
  EXPECT_EQ(run.output,
            utf8(showLine(L"BesidePlanted.exe", helper.id(), affinityOf(helper.handle()))));
  EXPECT_EQ(run.exitStatus, 0u);
}

// The server end of a pipe that holds only a few bytes, so that vellicor.exe's line does not fit
// until someone reads, and the client end vellicor.exe writes to.
class NarrowPipe {
 public:
  NarrowPipe() {
    static unsigned serial = 0;
    const std::wstring name = L"\\\\.\\pipe\\vellicor-narrow-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++serial);
    server_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                               kBytes, kBytes, 0, nullptr);
    client_ = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~NarrowPipe() {
    closeClient();
    if (server_ != INVALID_HANDLE_VALUE) {
      CloseHandle(server_);
    }
  }
  NarrowPipe(const NarrowPipe&) = delete;
  NarrowPipe& operator=(const NarrowPipe&) = delete;

  bool opened() const { return server_ != INVALID_HANDLE_VALUE && client_ != INVALID_HANDLE_VALUE; }
  HANDLE client() const { return client_; }
  void closeClient() {
    if (client_ != INVALID_HANDLE_VALUE) {
      CloseHandle(client_);
      client_ = INVALID_HANDLE_VALUE;
    }
  }
  // Everything written until the last client end is closed.
  std::string readAll() {
    std::string text;
    char buffer[4096];
    DWORD received = 0;
    while (ReadFile(server_, buffer, sizeof buffer, &received, nullptr) && received > 0) {
      text.append(buffer, received);
    }
    return text;
  }

 private:
  static constexpr DWORD kBytes = 16;
  HANDLE server_ = INVALID_HANDLE_VALUE;
  HANDLE client_ = INVALID_HANDLE_VALUE;
};

// `vellicor /x:1 /e app.exe | more`, and nobody reads yet: the command runs without waiting for
// the reader, under its new mask, and the line follows once the reader reads.
TEST_F(VellicorExe, ALaunchedCommandRunsWhileItsLineCannotBeWritten) {
  const std::wstring name = L"WaitsForNoReader-" + std::to_wstring(GetCurrentProcessId()) +
                            std::wstring(100, L'x') + L".exe";
  const std::wstring program = scratch_.helperNamed(name);
  EndsProcessesNamed leftOver(name);
  const std::wstring report = scratch_.file(L"launched mask.txt");
  NarrowPipe pipe;
  ASSERT_TRUE(pipe.opened());
  VellicorStart start;
  start.output = pipe.client();
  ChildProcess vellicor = startVellicor(
      start, maskOption_ + L" /e \"" + program + L"\" report-mask \"" + report + L"\"");
  ASSERT_TRUE(vellicor.started());
  pipe.closeClient();

  // A command left suspended would never write its report.
  std::string reported = waitForReport(report);
  ASSERT_FALSE(reported.empty());
  EXPECT_EQ(std::stoull(reported, nullptr, 16), wanted_);
  EXPECT_EQ(WaitForSingleObject(vellicor.handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "vellicor.exe did not wait for its reader: the test shows nothing";

  const std::string output = pipe.readAll();
  EXPECT_EQ(vellicor.waitForExit(), 0u);
  std::uint32_t launchedId = identifierIn(output);
  EXPECT_EQ(output, utf8(setLine(name, launchedId, affinityOf(GetCurrentProcess()), wanted_)));
}

TEST_F(VellicorExe, PrintsUsageWithoutTargets) {
  // Every @ stands for the program path as the command line gave it.
  std::string expected =
      "Vellicor version 0.7.0 (x64) by Quennet\r\n"
      "usage: @ [/?:mask] [n:number] [/g] [/p] [/l] [/c] [/e] process ...\r\n"
      "    /b bianry form\r\n"
      "    /o octed form\r\n"
      "    /d decimal form\r\n"
      "    /x hexadecimal form\r\n"
      "    /n Set by Number\r\n"
      "    /g Use regular expression\r\n"
      "    /p Specify by PID\r\n"
      "    /l List process\r\n"
      "    /c Print Processor Information\r\n"
      "    /e command ...\r\n"
      " ex. @ /x:03fc /g \"TMPGEnc.*\"\r\n"
      "     @ /l\r\n";
  const std::string path = utf8(vellicorExe());
  for (std::size_t at = expected.find('@'); at != std::string::npos;
       at = expected.find('@', at + path.size())) {
    expected.replace(at, 1, path);
  }

  RunResult run = runVellicor(L"/x:3");
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(run.exitStatus, 1u);
}

// The lines of one section of the report, from the records of one relation that
// GetLogicalProcessorInformationEx gives: another call than the one vellicor.exe makes, with
// records of another layout.
std::wstring expectedSection(LOGICAL_PROCESSOR_RELATIONSHIP relation, const wchar_t* label) {
  DWORD length = 0;
  GetLogicalProcessorInformationEx(relation, nullptr, &length);
  std::vector<BYTE> buffer(length);
  if (!GetLogicalProcessorInformationEx(
          relation, reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(buffer.data()),
          &length)) {
    return L"(GetLogicalProcessorInformationEx failed)";
  }
  std::wstring lines;
  std::uint32_t index = 0;
  for (DWORD offset = 0; offset < length;) {
    const auto* record =
        reinterpret_cast<const SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(buffer.data() + offset);
    const GROUP_AFFINITY& group =
        relation == RelationNumaNode ? record->NumaNode.GroupMask : record->Processor.GroupMask[0];
    lines += barText(group.Mask) + L"  " + label + L" " + std::to_wstring(index++) + L"\r\n";
    offset += record->Size;
  }
  return lines;
}

// The report, built independently from what Windows (here: Wine) says about this machine.
std::string expectedTopologyReport() {
  const std::wstring cores = expectedSection(RelationProcessorCore, L"Physical Processor");
  const std::wstring packages = expectedSection(RelationProcessorPackage, L"Socket");
  const std::wstring nodes = expectedSection(RelationNumaNode, L"NUMA Node");
  std::wstring report = L"Vellicor version 0.7.0 (x64) by Quennet\r\n";
  report += L"\r\nLogical Processor Information\r\n";
  report += L"Number of Logical Processor: " + std::to_wstring(processorCount()) + L"\r\n";
  report += L"\r\nLogical to Physical Processor Map\r\n" + cores;
  report += L"\r\nLogical Processor to Socket Map\r\n" + packages;
  report += L"\r\nLogical Processor to NUMA Node Map\r\n" + nodes;
  return utf8(report);
}

TEST_F(VellicorExe, PrintsTheTopologyReport) {
  RunResult run = runVellicor(L"/c");
  EXPECT_EQ(run.output, expectedTopologyReport());
  EXPECT_EQ(run.exitStatus, 1u);
}

}  // namespace
}  // namespace vellicor::windows_tests
