#pragma once

// A DLL of Windows' own, loaded from the system directory and nowhere else. A DLL that is not one
// of the KnownDLLs is otherwise looked for in the program's folder first, so a copy planted
// beside vellicor.exe (unzipped into a Downloads folder, say) would run its code with the rights
// of whoever starts the program, elevated ones included. LOAD_LIBRARY_SEARCH_SYSTEM32 keeps the
// DLL's own dependencies to the system directory as well.

namespace vellicor::windows_platform {

class SystemLibrary {
 public:
  // The generic function type: GCC accepts casts to and from it without a cast-function-type
  // warning, which a direct cast from FARPROC would draw.
  using AnyFunction = void (*)();

  // Loads `fileName` (such as L"wtsapi32.dll") from the system directory.
  explicit SystemLibrary(const wchar_t* fileName);
  ~SystemLibrary();
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  bool loaded() const { return module_ != nullptr; }
  // The exported function, or null when it is missing or the library could not be loaded.
  AnyFunction find(const char* functionName) const;

 private:
  void* module_;
};

}  // namespace vellicor::windows_platform
