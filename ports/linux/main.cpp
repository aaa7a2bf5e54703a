#include <string>
#include <vector>

#include "app/run.h"
#include "common/utf8.h"
#include "ports/linux/command_line.h"
#include "ports/linux/linux_platform.h"
#include "ports/linux/stdout_output.h"

int main(int argc, char** argv) {
  using namespace vellicor::linux_platform;
  std::vector<std::wstring> arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(vellicor::decodeUtf8(argv[i]));
  }
  StdoutOutput output;
  LinuxPlatform platform("/", joinCommandLine(arguments));
  return vellicor::runAffinityRequest(platform, output, arguments);
}
