// A WTSAPI32.dll of no use but to be noticed: planted beside a copy of vellicor.exe, it leaves a
// file "planted-dll-ran" in its own folder as soon as any process loads it. It exports the two
// functions vellicor.exe needs from the real one, so that a program importing them would start
// with it (and be given no table).

#include <windows.h>

#include <string>

namespace {

void leaveMark(HMODULE self) {
  wchar_t path[MAX_PATH + 1];
  DWORD length = GetModuleFileNameW(self, path, MAX_PATH + 1);
  std::wstring mark(path, length);
  mark.erase(mark.find_last_of(L'\\') + 1);
  mark += L"planted-dll-ran";
  HANDLE file = CreateFileW(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    leaveMark(instance);
  }
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI
    WTSEnumerateProcessesW(HANDLE, DWORD, DWORD, void** table, DWORD* count) {
  *table = nullptr;
  *count = 0;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

__declspec(dllexport) void WINAPI WTSFreeMemory(void*) {}
}
