#pragma once

// Real Windows processes for the tests: copies of the helper under chosen image names, and
// vellicor.exe run with its output captured byte for byte.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellicor::windows_tests {

// A path of the build (a host path under Wine) as Windows spells it.
std::wstring windowsPath(std::string_view builtPath);
std::wstring vellicorExe();
std::wstring helperExe();
// A WTSAPI32.dll that leaves the file "planted-dll-ran" beside itself when it is loaded.
std::wstring plantedDll();

std::string utf8(std::wstring_view text);

// A folder of its own under the temporary folder, removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }
  // A copy of the helper under this image name; returns its path.
  std::wstring helperNamed(std::wstring_view imageName) const;

 private:
  std::wstring path_;
};

// A started process, ended when the test is done with it.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(const PROCESS_INFORMATION& created);
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return process_ != nullptr; }
  HANDLE handle() const { return process_; }
  HANDLE thread() const { return thread_; }
  std::uint32_t id() const { return id_; }
  // Ends the process and waits until its identifier names no process any more. (Wine holds on
  // to an ended process for a moment after the last handle to it is closed.)
  void end();
  // Waits for a process that ends by itself; returns its exit status.
  DWORD waitForExit();

 private:
  HANDLE process_ = nullptr;
  HANDLE thread_ = nullptr;
  std::uint32_t id_ = 0;
};

// Starts the helper at `path` idling ("wait"), idling behind an empty DACL ("guard"), or behind one
// that lets others read its masks ("grant-read") or read and set them ("grant-set") and nothing
// else, and returns once it is running. The result is not started() when that fails.
ChildProcess startIdleHelper(const std::wstring& path, std::wstring_view mode = L"wait");
// Ends every process of this image name (one of the test's own making) when it goes, so that a
// command a failing test leaves suspended does not outlive the test.
class EndsProcessesNamed {
 public:
  explicit EndsProcessesNamed(std::wstring imageName) : imageName_(std::move(imageName)) {}
  ~EndsProcessesNamed();
  EndsProcessesNamed(const EndsProcessesNamed&) = delete;
  EndsProcessesNamed& operator=(const EndsProcessesNamed&) = delete;

 private:
  std::wstring imageName_;
};

// Starts the command line suspended, with `flags` besides CREATE_SUSPENDED.
ChildProcess startSuspended(std::wstring commandLine, DWORD flags = 0);

struct RunResult {
  std::string output;  // standard output and standard error, as bytes
  DWORD exitStatus = 0;
};

// Runs vellicor.exe with the given argument text after the quoted program path.
RunResult runVellicor(std::wstring_view arguments);
// The same with its standard output and error going to `output`; returns its exit status.
DWORD runVellicorWritingTo(HANDLE output, std::wstring_view arguments);

// How a test starts vellicor.exe when the above do not do.
struct VellicorStart {
  std::wstring program = vellicorExe();
  // Standard output and error; none at all when null.
  HANDLE output = nullptr;
  DWORD flags = 0;  // creation flags
};
ChildProcess startVellicor(const VellicorStart& start, std::wstring_view arguments);
// Runs it as runVellicor above does, its output captured.
RunResult runVellicor(VellicorStart start, std::wstring_view arguments);

// The whole content of a file, or an empty string when it cannot be read.
std::string readFile(const std::wstring& path);

// What vellicor.exe prints for this machine: the number of logical processors and masks as
// zero-padded lowercase hexadecimal, one digit per four processors.
std::uint32_t processorCount();
std::wstring maskText(std::uint64_t mask);
std::wstring barText(std::uint64_t mask);
std::uint64_t affinityOf(HANDLE process);
std::uint64_t lowestBit(std::uint64_t mask);
std::uint64_t systemMask();

}  // namespace vellicor::windows_tests
