// The option scan and the number conversions on arbitrary argument vectors, and the whole run on
// a simulated machine: it must never crash, and its output must never carry a character that
// steers a terminal or reorders what it shows, other than the line feeds of its own messages.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/run.h"
#include "common/wide_number.h"
#include "fuzz/fuzz_text.h"
#include "ports/simulated/captured_output.h"
#include "ports/simulated/simulated_platform.h"

namespace {

using vellicor::simulated::CapturedOutput;
using vellicor::simulated::SimulatedPlatform;

void checkOutputIsInert(const std::wstring& text) {
  for (wchar_t character : text) {
    auto code = static_cast<std::uint32_t>(character);
    const bool control =
        (code < 0x20 && character != L'\n' && character != L'\t') || (code >= 0x7f && code <= 0x9f);
    const bool reordering =
        code == 0x061c || (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
    if (control || reordering || code > 0x10ffff) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text = vellicor::fuzz::wideFrom(data, size);
  std::vector<std::wstring> arguments = vellicor::fuzz::wordsFrom(text);
  arguments.insert(arguments.begin(), L"vellicor.exe");

  vellicor::CommandRequest request = vellicor::parseArguments(arguments, 128);
  if (request.targets.size() >= arguments.size()) {
    std::abort();
  }
  for (int radix : {2, 8, 10, 16}) {
    // At one word, a mask is the C runtime's unsigned 64-bit conversion; wider, it only adds words.
    const vellicor::AffinityMask narrow = vellicor::wideToMask(text, radix, 64);
    const vellicor::AffinityMask wide = vellicor::wideToMask(text, radix, 192);
    if (narrow.wordCount() > 1 || wide.wordCount() > 3) {
      std::abort();
    }
  }
  (void)vellicor::wideToSigned64(text);

  SimulatedPlatform platform;
  platform.useSimpleTopology(2, 2);
  platform.processes = {{0, L"[System Process]"},
                        {4, L"System", 0xf, 0xf, true},
                        {100, L"notepad.exe", 0xf, 0xf},
                        {101, L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}};
  platform.commandLine = text;
  CapturedOutput output;
  int status = vellicor::runAffinityRequest(platform, output, arguments);
  if (status != 0 && status != 1) {
    std::abort();
  }
  if (!platform.openHandles.empty()) {
    std::abort();
  }
  checkOutputIsInert(output.text);
  return 0;
}
