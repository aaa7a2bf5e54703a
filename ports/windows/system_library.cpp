#include "ports/windows/system_library.h"

#include <windows.h>

namespace vellicor::windows_platform {

SystemLibrary::SystemLibrary(const wchar_t* fileName)
    : module_(LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}

SystemLibrary::~SystemLibrary() {
  if (module_ != nullptr) {
    FreeLibrary(static_cast<HMODULE>(module_));
  }
}

SystemLibrary::AnyFunction SystemLibrary::find(const char* functionName) const {
  if (module_ == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<AnyFunction>(GetProcAddress(static_cast<HMODULE>(module_), functionName));
}

}  // namespace vellicor::windows_platform
