// Pattern selection on an arbitrary pattern and names: the input is split at wide NULs into the
// pattern and the names of a run, tested in order as selection tests them. Every test either
// matches, fails to match, or ends with the pattern error within the run's bounds. Anything else
// (a crash, an abort, a hang the fuzzer's timeout catches, memory past its limit) is a finding,
// and so is a run that takes more steps than its budget.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/pattern.h"
#include "fuzz/fuzz_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::wstring> words =
      vellicor::fuzz::wordsFrom(vellicor::fuzz::wideFrom(data, size));
  vellicor::PatternSet patterns({std::wstring_view(words[0])});
  for (std::size_t i = 1; i < words.size() || i == 1; ++i) {
    const std::wstring_view name = i < words.size() ? std::wstring_view(words[i]) : L"";
    const vellicor::PatternResult result = patterns.test(0, name);
    if (result != vellicor::PatternResult::kMatch && result != vellicor::PatternResult::kNoMatch) {
      break;  // the run would end here with the pattern error
    }
  }
  if (patterns.stepsTaken() > 10'000'000) {
    __builtin_trap();
  }
  return 0;
}
