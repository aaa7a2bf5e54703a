#include "app/selection.h"

#include <unordered_set>

#include "app/pattern.h"
#include "common/wide_number.h"

namespace vellicor {

namespace {

wchar_t foldAsciiCase(wchar_t character) {
  return character >= L'A' && character <= L'Z' ? static_cast<wchar_t>(character - L'A' + L'a')
                                                : character;
}

void foldInto(std::wstring_view text, std::wstring& folded) {
  folded.assign(text);
  for (wchar_t& character : folded) {
    character = foldAsciiCase(character);
  }
}

// The identifier a target names: the low 32 bits of its value.
std::uint32_t processIdOf(std::wstring_view target) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(wideToSigned64(target)));
}

// Each target read once.
std::unordered_set<std::uint32_t> readProcessIds(const std::vector<std::wstring_view>& targets) {
  std::unordered_set<std::uint32_t> ids;
  for (std::wstring_view target : targets) {
    ids.insert(processIdOf(target));
  }
  return ids;
}

// A launch acts on the command it started and on nothing else: a word of the command such as
// `ls -l` reads as /l, and must not reach every process on the machine.
bool selectsEveryProcess(const CommandRequest& request) {
  return request.listMode && !request.launchMode;
}

std::unordered_set<std::wstring> foldNames(const std::vector<std::wstring_view>& targets) {
  std::unordered_set<std::wstring> names;
  std::wstring folded;
  for (std::wstring_view target : targets) {
    foldInto(target, folded);
    names.insert(folded);
  }
  return names;
}

bool endsTheRun(PatternResult result) {
  return result != PatternResult::kMatch && result != PatternResult::kNoMatch;
}

// Patterns are tested in target order and stop at the first match, so a pattern is built, and
// found invalid, exactly when an entry is first tested against it.
PatternResult matchesAnyPattern(PatternSet& patterns, std::size_t count, std::wstring_view name) {
  for (std::size_t i = 0; i < count; ++i) {
    const PatternResult result = patterns.test(i, name);
    if (result != PatternResult::kNoMatch) {
      return result;
    }
  }
  return PatternResult::kNoMatch;
}

}  // namespace

std::optional<std::vector<std::uint32_t>> selectProcesses(const CommandRequest& request,
                                                          const std::vector<ProcessEntry>& table) {
  std::vector<std::uint32_t> selected;
  const auto entryCount = static_cast<std::uint32_t>(table.size());
  if (selectsEveryProcess(request)) {
    selected.reserve(entryCount);
    for (std::uint32_t index = 0; index < entryCount; ++index) {
      selected.push_back(index);
    }
    return selected;
  }
  if (request.pidMode) {
    std::unordered_set<std::uint32_t> ids = readProcessIds(request.targets);
    for (std::uint32_t index = 0; index < entryCount; ++index) {
      if (ids.count(table[index].ProcessId) != 0) {
        selected.push_back(index);
      }
    }
    return selected;
  }
  if (request.patternMode) {
    PatternSet patterns(request.targets);
    for (std::uint32_t index = 0; index < entryCount; ++index) {
      const PatternResult result =
          matchesAnyPattern(patterns, request.targets.size(), table[index].pProcessName);
      if (endsTheRun(result)) {
        return std::nullopt;
      }
      if (result == PatternResult::kMatch) {
        selected.push_back(index);
      }
    }
    return selected;
  }
  std::unordered_set<std::wstring> names = foldNames(request.targets);
  std::wstring folded;
  for (std::uint32_t index = 0; index < entryCount; ++index) {
    foldInto(table[index].pProcessName, folded);
    if (names.count(folded) != 0) {
      selected.push_back(index);
    }
  }
  return selected;
}

std::optional<std::vector<std::uint32_t>> selectedProcessIds(const CommandRequest& request) {
  if (!request.pidMode || selectsEveryProcess(request)) {
    return std::nullopt;
  }
  std::vector<std::uint32_t> ids;
  ids.reserve(request.targets.size());
  for (std::wstring_view target : request.targets) {
    ids.push_back(processIdOf(target));
  }
  return ids;
}

}  // namespace vellicor
