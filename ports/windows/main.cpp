#include <string>
#include <vector>

#include "app/run.h"
#include "ports/windows/console_output.h"
#include "ports/windows/windows_platform.h"
#include "ports/windows/write_watch.h"

int wmain(int argc, wchar_t* argv[]) {
  using namespace vellicor::windows_platform;
  std::vector<std::wstring> arguments(argv, argv + argc);
  // The platform lets a command held suspended go when a write of the output stalls; it ends
  // first, and lets such a command go at the latest then.
  WriteWatch writes;
  ConsoleOutput output(writes);
  WindowsPlatform platform(writes);
  try {
    return vellicor::runAffinityRequest(platform, output, arguments);
  } catch (...) {
    // Caught so that the run is unwound, which lets a command held suspended go; an exception
    // left to escape would end the program on the spot.
    return 1;
  }
}
