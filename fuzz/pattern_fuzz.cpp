// Pattern selection on arbitrary (pattern, name) pairs: every pair either matches, fails to
// match, or raises the facility's error within the work bounds. Anything else (a crash, a stack
// overflow, a hang the fuzzer's timeout catches) is a finding. So is a pattern the program builds
// whose plan, on which the checks before building rest, differs from what the library's compiler
// builds.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <regex>
#include <string>

#include "app/pattern.h"
#include "app/pattern_plan.h"
#include "fuzz/fuzz_text.h"

namespace {

bool sameState(const vellicor::PlannedState& planned, const std::__detail::_State<wchar_t>& built) {
  using Kind = vellicor::PlannedState::Kind;
  Kind kind = Kind::kOther;
  switch (built._M_opcode()) {
    case std::__detail::_S_opcode_dummy:
      kind = Kind::kPlaceholder;
      break;
    case std::__detail::_S_opcode_alternative:
      kind = Kind::kChoice;
      break;
    case std::__detail::_S_opcode_repeat:
      kind = Kind::kRepeat;
      break;
    case std::__detail::_S_opcode_subexpr_lookahead:
      kind = Kind::kLookAhead;
      break;
    default:
      break;
  }
  return planned.kind == kind && planned.next == built._M_next &&
         (!built._M_has_alt() || planned.alternative == built._M_alt) &&
         (kind != Kind::kRepeat || planned.lazy == built._M_neg);
}

// Compares the plan with the states of the library's own compiler, through libstdc++'s internals.
void checkPlan(const std::wstring& pattern) {
  using Compiler = std::__detail::_Compiler<std::regex_traits<wchar_t>>;
  Compiler compiler(pattern.data(), pattern.data() + pattern.size(), std::locale(),
                    std::regex_constants::ECMAScript);
  const std::shared_ptr<const Compiler::_RegexT> built = compiler._M_get_nfa();
  const vellicor::ExpressionPlan plan = vellicor::planExpression(pattern, UINT64_MAX);
  if (plan.libraryRefuses || plan.states.size() != built->size()) {
    __builtin_trap();
  }
  for (std::size_t id = 0; id < plan.states.size(); ++id) {
    if (!sameState(plan.states[id], (*built)[id])) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text = vellicor::fuzz::wideFrom(data, size);
  std::size_t split = text.find(L'\0');
  std::wstring pattern = text.substr(0, split);
  std::wstring name = split == std::wstring::npos ? L"" : text.substr(split + 1);
  std::unique_ptr<vellicor::Pattern> compiled;
  try {
    compiled = std::make_unique<vellicor::Pattern>(pattern);
  } catch (const std::regex_error&) {
    // The run reports these as an invalid pattern.
    return 0;
  }
  checkPlan(pattern);
  try {
    (void)compiled->matchesWhole(name);
  } catch (const std::regex_error&) {
    // The run reports these as an invalid pattern.
  }
  return 0;
}
