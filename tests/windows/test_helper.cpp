// A tiny Windows program the tests start under chosen image names (copies of this file):
//   test_helper wait EVENT         signals the named event, then idles until it is ended
//   test_helper guard EVENT        the same, but first shuts everyone else out of its process
//   test_helper grant-read EVENT   the same, but lets everyone else read its masks only
//   test_helper grant-set EVENT    the same, but lets everyone else read and set its masks only
//   test_helper sleep MILLISECONDS idles that long (at most five minutes), then ends
//   test_helper report-mask FILE   writes its own process affinity mask, in hexadecimal
//   test_helper report-command-line FILE   writes its raw command line, as UTF-8
// Reports are written to FILE.partial and then renamed, so a reader never sees half a report.

#include <aclapi.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>

namespace {

// Not in MinGW-w64's headers.
constexpr DWORD kProcessSetLimitedInformation = 0x2000;

// Even a helper that nobody ends does not outlive a test run for long.
constexpr DWORD kLongestIdleMilliseconds = 5 * 60 * 1000;

bool writeReport(const std::wstring& path, const std::string& text) {
  std::wstring partial = path + L".partial";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  BOOL wrote = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return wrote && written == text.size() &&
         MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string utf8(std::wstring_view text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

int reportMask(const std::wstring& path) {
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) {
    return 3;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(processMask));
  return writeReport(path, text) ? 0 : 3;
}

int reportCommandLine(const std::wstring& path) {
  return writeReport(path, utf8(GetCommandLineW())) ? 0 : 3;
}

// Replaces the DACL of this process by one that grants everyone `rights` and nothing else; 0
// leaves it empty, which grants nothing, so OpenProcess fails for every other process whatever it
// asks for.
bool grantOthersOnly(DWORD rights) {
  alignas(DWORD) BYTE aclBytes[256];
  auto* acl = reinterpret_cast<ACL*>(aclBytes);
  if (!InitializeAcl(acl, sizeof aclBytes, ACL_REVISION)) {
    return false;
  }
  BYTE sidBytes[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sidBytes;
  if (rights != 0 && (!CreateWellKnownSid(WinWorldSid, nullptr, sidBytes, &sidSize) ||
                      !AddAccessAllowedAce(acl, ACL_REVISION, rights, sidBytes))) {
    return false;
  }
  return SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                         nullptr, acl, nullptr) == ERROR_SUCCESS;
}

int idle(const std::wstring& eventName) {
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str());
  if (ready == nullptr) {
    return 3;
  }
  SetEvent(ready);
  CloseHandle(ready);
  Sleep(kLongestIdleMilliseconds);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  if (argc != 3) {
    return 2;
  }
  std::wstring_view mode = argv[1];
  std::wstring operand = argv[2];
  if (mode == L"wait") {
    return idle(operand);
  }
  if (mode == L"guard") {
    return grantOthersOnly(0) ? idle(operand) : 3;
  }
  if (mode == L"grant-read") {
    return grantOthersOnly(PROCESS_QUERY_LIMITED_INFORMATION) ? idle(operand) : 3;
  }
  if (mode == L"grant-set") {
    // Wine asks for the limited right along with PROCESS_SET_INFORMATION.
    return grantOthersOnly(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_INFORMATION |
                           kProcessSetLimitedInformation)
               ? idle(operand)
               : 3;
  }
  if (mode == L"sleep") {
    Sleep(std::min<DWORD>(std::wcstoul(operand.c_str(), nullptr, 10), kLongestIdleMilliseconds));
    return 0;
  }
  if (mode == L"report-mask") {
    return reportMask(operand);
  }
  if (mode == L"report-command-line") {
    return reportCommandLine(operand);
  }
  return 2;
}
