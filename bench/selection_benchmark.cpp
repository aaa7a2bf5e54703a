// Selection over large process tables: the cost of one table entry against identifier, name and
// pattern targets, how it stays flat as the targets grow, and what building each pattern once
// per target saves over building it for every (entry, pattern) pair that is tested, next to the
// standard library's std::wregex, the matcher before PCRE2.
//
//   selection_benchmark [--benchmark_filter=REGEX] [--benchmark_min_time=SECONDS]
//
// Besides the time per selection every line shows `per_entry` (time per table entry), where it
// applies `per_pair` (time per (entry, pattern) pair tested), and `allocs`, the heap allocations
// per selection: far fewer than the entries where no entry allocates. A summary of the speed-ups
// follows the table.
//
// The `hostile/` lines time a whole run of one hostile pattern (building it and testing it against
// every name of a table, as selection does, until the run ends): `names` is the table's size,
// `steps` the steps the run took out of its budget of 10,000,000, and `result` how the run ended
// (0 a selection, 1 the pattern error). Each must stay well under a second.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "app/arguments.h"
#include "app/pattern.h"
#include "app/selection.h"
#include "bench/allocation_count.h"
#include "common/wide_number.h"
#include "platform/platform.h"

namespace {

using vellicor::CommandRequest;
using vellicor::ProcessEntry;

constexpr std::size_t kEntries = 10'000;
constexpr std::int64_t kPidTargets = 4'000;
constexpr std::int64_t kNameTargets = 100;

// A busy machine: a few hundred distinct image names, some of them shared by many processes.
std::vector<std::wstring> makeNamePool() {
  std::vector<std::wstring> pool = {
      L"System",      L"svchost.exe",       L"chrome.exe",  L"explorer.exe",
      L"conhost.exe", L"RuntimeBroker.exe", L"dllhost.exe", L"SearchIndexer.exe",
      L"MsMpEng.exe", L"notepad.exe",
  };
  for (int i = 0; i < 490; ++i) {
    wchar_t name[32];
    std::swprintf(name, 32, L"service%03d.exe", i);
    pool.push_back(name);
  }
  return pool;
}

// Identifiers as Windows hands them out, multiples of 4.
std::vector<ProcessEntry> makeTable() {
  const std::vector<std::wstring> pool = makeNamePool();
  std::vector<ProcessEntry> table;
  for (std::size_t i = 0; i < kEntries; ++i) {
    table.push_back(ProcessEntry{static_cast<std::uint32_t>(4 * (i + 1)), pool[i % pool.size()]});
  }
  return table;
}

const std::vector<ProcessEntry>& table() {
  static const std::vector<ProcessEntry> entries = makeTable();
  return entries;
}

// Half of the identifiers name a process of the table, half name none.
std::vector<std::wstring> makePidTargets(std::int64_t count) {
  std::vector<std::wstring> targets;
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t pid = i % 2 == 0 ? 20 * (i / 2 + 1) : 20 * (i / 2) + 2;
    targets.push_back(std::to_wstring(pid));
  }
  return targets;
}

// Half name processes of the table (in capitals, so that case folding is exercised), half none.
std::vector<std::wstring> makeNameTargets(std::int64_t count) {
  std::vector<std::wstring> targets;
  for (std::int64_t i = 0; i < count; ++i) {
    wchar_t name[32];
    if (i % 2 == 0) {
      std::swprintf(name, 32, L"SERVICE%03d.EXE", static_cast<int>(i / 2 % 490));
    } else {
      std::swprintf(name, 32, L"absent%04d.exe", static_cast<int>(i));
    }
    targets.push_back(name);
  }
  return targets;
}

// Ten patterns of the kinds people write; most names match none of them, so most entries are
// tested against all ten.
const std::vector<std::wstring> kPatterns = {
    L"svchost\\.exe",
    L"chrome.*",
    L"TMPGEnc.*",
    L"[Ss]earch[A-Z][a-z]+\\.exe",
    L".*[Uu]pdater.*",
    L"(foo|bar|baz)\\.exe",
    L"notepad\\+\\+\\.exe",
    L"python[23]?\\.exe",
    L"service0[0-4]7\\.exe",
    L"x{2,4}y?\\.exe",
};

CommandRequest makeRequest(const std::vector<std::wstring>& targets, bool pidMode,
                           bool patternMode) {
  CommandRequest request;
  request.pidMode = pidMode;
  request.patternMode = patternMode;
  for (const std::wstring& target : targets) {
    request.targets.push_back(target);
  }
  return request;
}

// The (entry, pattern) pairs that selection tests: every pattern in order up to the first that
// matches the entry.
std::size_t countTestedPairs(const std::vector<std::wstring>& patterns) {
  vellicor::PatternSet set(std::vector<std::wstring_view>(patterns.begin(), patterns.end()));
  std::size_t pairs = 0;
  for (const ProcessEntry& entry : table()) {
    for (std::size_t index = 0; index < patterns.size(); ++index) {
      ++pairs;
      if (set.test(index, entry.pProcessName) == vellicor::PatternResult::kMatch) {
        break;
      }
    }
  }
  return pairs;
}

void setCounters(benchmark::State& state, std::size_t allocations, std::size_t pairs = 0) {
  state.counters["per_entry"] = benchmark::Counter(
      static_cast<double>(kEntries),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  if (pairs != 0) {
    state.counters["per_pair"] = benchmark::Counter(
        static_cast<double>(pairs),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  }
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

// ---- what the program does ----

void selectByIdentifier(benchmark::State& state) {
  const std::vector<std::wstring> targets = makePidTargets(state.range(0));
  const CommandRequest request = makeRequest(targets, true, false);
  const std::size_t before = vellicor::bench::allocationCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(vellicor::selectProcesses(request, table()));
  }
  setCounters(state, vellicor::bench::allocationCount() - before);
}

void selectByName(benchmark::State& state) {
  const std::vector<std::wstring> targets = makeNameTargets(state.range(0));
  const CommandRequest request = makeRequest(targets, false, false);
  const std::size_t before = vellicor::bench::allocationCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(vellicor::selectProcesses(request, table()));
  }
  setCounters(state, vellicor::bench::allocationCount() - before);
}

void selectByPattern(benchmark::State& state) {
  const CommandRequest request = makeRequest(kPatterns, false, true);
  const std::size_t pairs = countTestedPairs(kPatterns);
  const std::size_t before = vellicor::bench::allocationCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(vellicor::selectProcesses(request, table()));
  }
  setCounters(state, vellicor::bench::allocationCount() - before, pairs);
}

// ---- the naive ways, for comparison ----

// The shape every comparison below shares: each entry tested against the targets in order, up to
// the first that matches it.
template <typename Target, typename Matches>
void selectPairwise(benchmark::State& state, const std::vector<Target>& targets, Matches matches,
                    std::size_t pairs = 0) {
  const std::vector<ProcessEntry>& entries = table();
  const std::size_t before = vellicor::bench::allocationCount();
  for (auto _ : state) {
    std::vector<std::uint32_t> selected;
    for (std::uint32_t index = 0; index < kEntries; ++index) {
      for (const Target& target : targets) {
        if (matches(entries[index], target)) {
          selected.push_back(index);
          break;
        }
      }
    }
    benchmark::DoNotOptimize(selected);
  }
  setCounters(state, vellicor::bench::allocationCount() - before, pairs);
}

// Every target read again for every entry.
void identifiersReadPerPair(benchmark::State& state) {
  selectPairwise(state, makePidTargets(state.range(0)),
                 [](const ProcessEntry& entry, const std::wstring& target) {
                   return static_cast<std::uint32_t>(vellicor::wideToSigned64(target)) ==
                          entry.ProcessId;
                 });
}

bool equalsFoldingAscii(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i] >= L'A' && a[i] <= L'Z' ? a[i] - L'A' + L'a' : a[i];
    wchar_t y = b[i] >= L'A' && b[i] <= L'Z' ? b[i] - L'A' + L'a' : b[i];
    if (x != y) {
      return false;
    }
  }
  return true;
}

// Every target compared with every entry.
void namesComparedPerPair(benchmark::State& state) {
  selectPairwise(state, makeNameTargets(state.range(0)),
                 [](const ProcessEntry& entry, const std::wstring& target) {
                   return equalsFoldingAscii(entry.pProcessName, target);
                 });
}

// An expression built for every pair tested, with the standard library alone.
void patternsBuiltPerPairStd(benchmark::State& state) {
  selectPairwise(
      state, kPatterns,
      [](const ProcessEntry& entry, const std::wstring& pattern) {
        const std::wregex expression(pattern, std::regex_constants::ECMAScript);
        return std::regex_match(entry.pProcessName, expression);
      },
      countTestedPairs(kPatterns));
}

// The standard library's matcher, each expression built once, without bounds.
void patternsBuiltOnceStd(benchmark::State& state) {
  std::vector<std::wregex> expressions;
  for (const std::wstring& pattern : kPatterns) {
    expressions.emplace_back(pattern, std::regex_constants::ECMAScript);
  }
  selectPairwise(
      state, expressions,
      [](const ProcessEntry& entry, const std::wregex& expression) {
        return std::regex_match(entry.pProcessName, expression);
      },
      countTestedPairs(kPatterns));
}

// The program's own patterns, a set of one built for every pair tested.
void patternsBuiltPerPair(benchmark::State& state) {
  selectPairwise(
      state, kPatterns,
      [](const ProcessEntry& entry, const std::wstring& pattern) {
        vellicor::PatternSet set({pattern});
        return set.test(0, entry.pProcessName) == vellicor::PatternResult::kMatch;
      },
      countTestedPairs(kPatterns));
}

// ---- hostile patterns: a whole run each ----

std::wstring repeated(const std::wstring& text, int count) {
  std::wstring result;
  for (int i = 0; i < count; ++i) {
    result += text;
  }
  return result;
}

std::wstring nested(const std::wstring& open, int depth, const std::wstring& inner) {
  return repeated(open, depth) + inner + repeated(L")", depth);
}

std::wstring alternationOfNames(int count) {
  std::wstring names = L"name0";
  for (int i = 1; i < count; ++i) {
    names += L"|name" + std::to_wstring(i);
  }
  return names;
}

// A run of one pattern over `names` copies of `name`, as selection makes it.
void hostileRun(benchmark::State& state, const std::wstring& pattern, const std::wstring& name,
                int names) {
  std::vector<ProcessEntry> entries;
  for (int i = 0; i < names; ++i) {
    entries.push_back(ProcessEntry{static_cast<std::uint32_t>(4 * (i + 1)), name});
  }
  const std::vector<std::wstring> targets = {pattern};  // the request borrows them
  const CommandRequest request = makeRequest(targets, false, true);
  bool failed = false;
  for (auto _ : state) {
    failed = !vellicor::selectProcesses(request, entries).has_value();
  }
  vellicor::PatternSet set({pattern});
  for (const ProcessEntry& entry : entries) {
    const vellicor::PatternResult result = set.test(0, entry.pProcessName);
    if (result != vellicor::PatternResult::kMatch && result != vellicor::PatternResult::kNoMatch) {
      break;
    }
  }
  state.counters["names"] = names;
  state.counters["steps"] = static_cast<double>(set.stepsTaken());
  state.counters["result"] = failed ? 1 : 0;
}

const std::wstring kPathLong(260, L'a');

#define HOSTILE(label, pattern, name, names)                 \
  BENCHMARK_CAPTURE(hostileRun, label, pattern, name, names) \
      ->Name("hostile/" #label)                              \
      ->Unit(benchmark::kMillisecond)                        \
      ->Iterations(3)

// The patterns against a desktop's 500 processes.
HOSTILE(empty_alternatives_then_100_class_escapes, L"(?:|){22}[" + repeated(L"\\W", 100) + L"]",
        L"ab", 500);
HOSTILE(bracket_of_40000_ranges_repeated, L"[" + repeated(L"b-b", 40000) + L"]{99990}", L"ab", 500);
HOSTILE(empty_alternatives_then_1000_class_escapes, L"(?:|){22}[" + repeated(L"\\W", 1000) + L"]",
        L"ab", 500);
// A step's work grows with its item and with the capturing groups; these are what the weight of a
// step is for.
HOSTILE(bracket_of_10000_ranges_exponential,
        L"(?:[" + repeated(L"\u0101-\u0101", 10000) + L"\u0100]|\u0100)*[bc]",
        std::wstring(30, L'\u0100'), 500);
HOSTILE(500_groups_exponential, repeated(L"()", 500) + L"(a|a)*[bc]", std::wstring(30, L'a'), 500);
HOSTILE(empty_alternatives_then_Z, std::wstring(L"(?:|){22}Z"), L"svchost.exe", 500);
HOSTILE(600_name_alternation, alternationOfNames(600), L"name599.exe", 500);
HOSTILE(exponential_alternatives, std::wstring(L"(a|a)*[bc]"), std::wstring(255, L'a'), 500);
HOSTILE(exponential_on_short_names, std::wstring(L"(a|a)*[bc]"), std::wstring(22, L'a'), 500);
// Those of the pattern tests.
HOSTILE(exponential_nested_repeats, std::wstring(L"(a*)*[bc]"), std::wstring(30, L'a'), 500);
HOSTILE(exponential_back_reference, std::wstring(L"(a*)*\\1[bc]"), std::wstring(30, L'a'), 500);
HOSTILE(nested_groups_500, nested(L"(", 500, L"a"), L"a", 500);
HOSTILE(nested_groups_10000, nested(L"(", 10000, L"a"), L"a", 500);
HOSTILE(nested_look_aheads_10000, nested(L"(?=", 10000, L"a") + L"a", L"a", 500);
HOSTILE(nested_look_aheads_400, nested(L"(?=", 400, L"a") + L"ax{0,2500}", L"a", 500);
HOSTILE(32767_letters, std::wstring(32767, L'a'), L"a", 500);
HOSTILE(32767_of_brackets, L".*|" + repeated(L"[xyz]", 6552) + L"abcd", kPathLong, 500);
HOSTILE(repeated_repeats, std::wstring(L"(?:a{1000}){1000}"), L"a", 500);
HOSTILE(repeated_groups_at_the_memory_bound, std::wstring(L"(?:(?:ab){400}){400}"), L"ab", 500);
HOSTILE(repeated_groups_beyond_the_memory_bound, std::wstring(L"(?:(?:ab){3000}){3000}"), L"ab",
        500);
HOSTILE(empty_groups_40000, std::wstring(L"(?:){40000}"), L"", 500);
HOSTILE(nested_empty_groups, std::wstring(L"(?:(?:){200}){200}"), L"", 500);
HOSTILE(lazy_repeats_24000, std::wstring(L"(?:a*?){24000}c"), L"c", 500);
HOSTILE(choices_2000_exponential, std::wstring(L"(?:|b){2000}c"), repeated(L"b", 200) + L"c", 500);
HOSTILE(long_runs, std::wstring(L"x{6000}y{6000}"), kPathLong, 500);
HOSTILE(alternatives_through_a_long_name, std::wstring(L"(a|b)*"), std::wstring(5000, L'a'), 500);

constexpr char kPatternOnce[] = "select/patterns:10";
constexpr char kPatternPerPair[] = "naive/patterns:10/PatternSet-per-pair";
constexpr char kPatternPerPairStd[] = "naive/patterns:10/wregex-per-pair";

BENCHMARK(selectByIdentifier)
    ->Name("select/pid-targets")
    ->Arg(40)
    ->Arg(400)
    ->Arg(kPidTargets)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(selectByName)
    ->Name("select/name-targets")
    ->Arg(10)
    ->Arg(kNameTargets)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(selectByPattern)->Name(kPatternOnce)->Unit(benchmark::kMillisecond);
BENCHMARK(identifiersReadPerPair)
    ->Name("naive/pid-targets-read-per-pair")
    ->Arg(kPidTargets)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(namesComparedPerPair)
    ->Name("naive/name-targets-compared-per-pair")
    ->Arg(kNameTargets)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(patternsBuiltPerPair)->Name(kPatternPerPair)->Unit(benchmark::kMillisecond);
BENCHMARK(patternsBuiltPerPairStd)->Name(kPatternPerPairStd)->Unit(benchmark::kMillisecond);
BENCHMARK(patternsBuiltOnceStd)
    ->Name("reference/patterns:10/wregex-built-once-unbounded")
    ->Unit(benchmark::kMillisecond);

// The console table, and the time per entry and per pair of every benchmark for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // The library colours only the reporter it makes itself; this one colours a terminal alone.
  SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      const auto perEntry = run.counters.find("per_entry");
      if (perEntry != run.counters.end()) {
        perEntry_[run.benchmark_name()] = perEntry->second.value;
      }
      const auto perPair = run.counters.find("per_pair");
      if (perPair != run.counters.end()) {
        perPair_[run.benchmark_name()] = perPair->second.value;
      }
    }
  }

  void printSummary() const {
    std::printf("\nsummary (%zu entries)\n", kEntries);
    printRatio("pid targets read once vs per pair (4000 targets)",
               "naive/pid-targets-read-per-pair/4000", "select/pid-targets/4000", perEntry_);
    printRatio("name targets hashed vs compared per pair (100 targets)",
               "naive/name-targets-compared-per-pair/100", "select/name-targets/100", perEntry_);
    printRatio("pattern built once vs PatternSet built per pair", kPatternPerPair, kPatternOnce,
               perPair_);
    printRatio("pattern built once vs std::wregex built per pair", kPatternPerPairStd, kPatternOnce,
               perPair_);
  }

 private:
  static void printRatio(const char* what, const std::string& slow, const std::string& fast,
                         const std::map<std::string, double>& figures) {
    const auto slowFigure = figures.find(slow);
    const auto fastFigure = figures.find(fast);
    if (slowFigure == figures.end() || fastFigure == figures.end() || fastFigure->second <= 0) {
      return;  // filtered out
    }
    std::printf("  %-55s %10.1f ns -> %8.1f ns  speed-up %8.1fx\n", what, slowFigure->second * 1e9,
                fastFigure->second * 1e9, slowFigure->second / fastFigure->second);
  }

  std::map<std::string, double> perEntry_;
  std::map<std::string, double> perPair_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary();
  benchmark::Shutdown();
  return 0;
}
