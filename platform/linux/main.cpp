#include <string>
#include <vector>

#include "app/run.h"
#include "platform/linux/command_line.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/stdout_output.h"
#include "platform/linux/utf8.h"

int main(int argc, char** argv) {
  using namespace vellicor::linux_platform;
  std::vector<std::wstring> arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(decodeUtf8(argv[i]));
  }
  // The output outlives the platform, which flushes it before resuming a launched command.
  StdoutOutput output;
  LinuxPlatform platform("/", joinCommandLine(arguments));
  platform.flushBeforeResume(&output);
  return vellicor::runAffinityRequest(platform, output, arguments);
}
