#include <string>
#include <vector>

#include "app/run.h"
#include "ports/windows/console_output.h"
#include "ports/windows/windows_platform.h"

int wmain(int argc, wchar_t* argv[]) {
  std::vector<std::wstring> arguments(argv, argv + argc);
  vellicor::windows_platform::WindowsPlatform platform;
  vellicor::windows_platform::ConsoleOutput output;
  return vellicor::runAffinityRequest(platform, output, arguments);
}
