#include "tests/windows/test_processes.h"

#include <tlhelp32.h>

#include <utility>

namespace vellicor::windows_tests {

namespace {

constexpr DWORD kStartTimeoutMilliseconds = 60 * 1000;
constexpr DWORD kGoneTimeoutMilliseconds = 60 * 1000;
constexpr DWORD kPollMilliseconds = 20;

std::wstring widen(std::string_view text) {
  int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::wstring uniqueName(std::wstring_view stem) {
  static unsigned serial = 0;
  return std::wstring(stem) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(++serial);
}

void removeTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") {
        DeleteFileW((folder + L"\\" + name).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// Owns a handle that is closed with CloseHandle.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  void reset() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
    }
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::wstring windowsPath(std::string_view builtPath) {
  std::wstring path = widen(builtPath);
  if (!path.empty() && path.front() == L'/') {
    path = L"Z:" + path;  // Wine shows the host's root directory as drive Z:
  }
  for (wchar_t& character : path) {
    if (character == L'/') {
      character = L'\\';
    }
  }
  return path;
}

std::wstring vellicorExe() {
  return windowsPath(VELLICOR_EXE);
}
std::wstring helperExe() {
  return windowsPath(VELLICOR_TEST_HELPER);
}
std::wstring plantedDll() {
  return windowsPath(VELLICOR_PLANTED_DLL);
}

std::string utf8(std::wstring_view text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

ScratchFolder::ScratchFolder() {
  wchar_t temporary[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
  path_ = std::wstring(temporary, length) + uniqueName(L"vellicor-test");
  CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() {
  removeTree(path_);
}

std::wstring ScratchFolder::helperNamed(std::wstring_view imageName) const {
  std::wstring copy = file(imageName);
  CopyFileW(helperExe().c_str(), copy.c_str(), FALSE);
  return copy;
}

ChildProcess::ChildProcess(const PROCESS_INFORMATION& created)
    : process_(created.hProcess), thread_(created.hThread), id_(created.dwProcessId) {}

ChildProcess::~ChildProcess() {
  end();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(std::exchange(other.process_, nullptr)),
      thread_(std::exchange(other.thread_, nullptr)),
      id_(std::exchange(other.id_, 0)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    end();
    process_ = std::exchange(other.process_, nullptr);
    thread_ = std::exchange(other.thread_, nullptr);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void ChildProcess::end() {
  if (process_ == nullptr) {
    return;
  }
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, INFINITE);
  CloseHandle(thread_);
  CloseHandle(process_);
  process_ = nullptr;
  thread_ = nullptr;
  for (DWORD waited = 0; waited < kGoneTimeoutMilliseconds; waited += kPollMilliseconds) {
    HANDLE again = OpenProcess(SYNCHRONIZE, FALSE, id_);
    if (again == nullptr) {
      break;
    }
    CloseHandle(again);
    Sleep(kPollMilliseconds);
  }
}

DWORD ChildProcess::waitForExit() {
  WaitForSingleObject(process_, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process_, &status);
  return status;
}

ChildProcess startIdleHelper(const std::wstring& path, std::wstring_view mode) {
  std::wstring eventName = L"Local\\" + uniqueName(L"vellicor-helper-ready");
  OwnedHandle ready(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
  std::wstring commandLine = L"\"" + path + L"\" " + std::wstring(mode) + L" " + eventName;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created{};
  if (ready.get() == nullptr || !CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr,
                                                FALSE, 0, nullptr, nullptr, &startup, &created)) {
    return ChildProcess();
  }
  ChildProcess child(created);
  HANDLE waitFor[] = {ready.get(), child.handle()};
  if (WaitForMultipleObjects(2, waitFor, FALSE, kStartTimeoutMilliseconds) != WAIT_OBJECT_0) {
    return ChildProcess();
  }
  return child;
}

EndsProcessesNamed::~EndsProcessesNamed() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL found = Process32FirstW(snapshot, &entry); found;
       found = Process32NextW(snapshot, &entry)) {
    if (imageName_ == entry.szExeFile) {
      HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
      if (process != nullptr) {
        TerminateProcess(process, 1);
        CloseHandle(process);
      }
    }
  }
  CloseHandle(snapshot);
}

ChildProcess startSuspended(std::wstring commandLine, DWORD flags) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | flags, nullptr, nullptr, &startup, &created)) {
    return ChildProcess();
  }
  return ChildProcess(created);
}

// Its standard output and error go to `start.output`, which it inherits.
ChildProcess startVellicor(const VellicorStart& start, std::wstring_view arguments) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  OwnedHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, OPEN_EXISTING, 0, nullptr));
  if (start.output != nullptr &&
      !SetHandleInformation(start.output, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    return ChildProcess();
  }
  std::wstring commandLine = L"\"" + start.program + L"\" " + std::wstring(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = start.output == nullptr ? nullptr : input.get();
  startup.hStdOutput = start.output;
  startup.hStdError = start.output;
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, start.output != nullptr,
                      start.flags, nullptr, nullptr, &startup, &created)) {
    return ChildProcess();
  }
  return ChildProcess(created);
}

RunResult runVellicor(std::wstring_view arguments) {
  return runVellicor(VellicorStart(), arguments);
}

RunResult runVellicor(VellicorStart start, std::wstring_view arguments) {
  RunResult result;
  OwnedHandle readEnd;
  OwnedHandle writeEnd;
  if (!CreatePipe(readEnd.out(), writeEnd.out(), nullptr, 0)) {
    result.exitStatus = ~DWORD{0};
    return result;
  }
  start.output = writeEnd.get();
  ChildProcess vellicor = startVellicor(start, arguments);
  writeEnd.reset();  // so that the read below ends when vellicor.exe does
  if (!vellicor.started()) {
    result.exitStatus = ~DWORD{0};
    return result;
  }
  char buffer[4096];
  DWORD received = 0;
  while (ReadFile(readEnd.get(), buffer, sizeof buffer, &received, nullptr) && received > 0) {
    result.output.append(buffer, received);
  }
  result.exitStatus = vellicor.waitForExit();
  return result;
}

DWORD runVellicorWritingTo(HANDLE output, std::wstring_view arguments) {
  VellicorStart start;
  start.output = output;
  ChildProcess vellicor = startVellicor(start, arguments);
  return vellicor.started() ? vellicor.waitForExit() : ~DWORD{0};
}

std::string readFile(const std::wstring& path) {
  // The writer may still hold the file open.
  OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
  std::string content;
  if (file.get() == INVALID_HANDLE_VALUE) {
    return content;
  }
  char buffer[4096];
  DWORD received = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &received, nullptr) && received > 0) {
    content.append(buffer, received);
  }
  return content;
}

std::uint32_t processorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}

std::wstring maskText(std::uint64_t mask) {
  std::uint32_t width = ((processorCount() - 1) >> 2) + 1;
  std::wstring text;
  do {
    text.insert(text.begin(), L"0123456789abcdef"[mask & 0xf]);
    mask >>= 4;
  } while (mask != 0);
  if (text.size() < width) {
    text.insert(0, width - text.size(), L'0');
  }
  return text;
}

std::wstring barText(std::uint64_t mask) {
  std::wstring bar;
  for (std::uint32_t processor = processorCount(); processor-- > 0;) {
    bar.push_back((mask >> processor) & 1 ? L'*' : L'-');
  }
  return bar;
}

std::uint64_t affinityOf(HANDLE process) {
  DWORD_PTR processMask = 0;
  DWORD_PTR system = 0;
  GetProcessAffinityMask(process, &processMask, &system);
  return processMask;
}

std::uint64_t lowestBit(std::uint64_t mask) {
  return mask & (~mask + 1);
}

std::uint64_t systemMask() {
  DWORD_PTR processMask = 0;
  DWORD_PTR system = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &processMask, &system);
  return system;
}

}  // namespace vellicor::windows_tests
