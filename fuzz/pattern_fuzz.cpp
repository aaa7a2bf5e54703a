// Pattern selection on arbitrary (pattern, name) pairs: every pair either matches, fails to
// match, or raises the facility's error within the work bounds. Anything else (a crash, a stack
// overflow, a hang the fuzzer's timeout catches) is a finding.

#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

#include "app/pattern.h"
#include "fuzz/fuzz_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text = vellicor::fuzz::wideFrom(data, size);
  std::size_t split = text.find(L'\0');
  std::wstring pattern = text.substr(0, split);
  std::wstring name = split == std::wstring::npos ? L"" : text.substr(split + 1);
  try {
    vellicor::Pattern compiled(pattern);
    (void)compiled.matchesWhole(name);
  } catch (const std::regex_error&) {
    // The run reports these as an invalid pattern.
  }
  return 0;
}
