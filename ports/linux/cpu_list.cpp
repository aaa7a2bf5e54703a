#include "ports/linux/cpu_list.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace vellicor::linux_platform {

namespace {

constexpr unsigned kBitsPerWord = 64;

// Sets compare and count by their words, so high zero words are dropped to keep them canonical.
void trim(CpuSet& cpus) {
  while (!cpus.words.empty() && cpus.words.back() == 0) {
    cpus.words.pop_back();
  }
}

bool isTrailingFiller(char c) {
  return c == '\n' || c == '\0' || c == ' ' || c == '\t';
}

// sysfs attributes end in a line feed, and some kernels pad them with NULs after it.
std::string_view withoutTrailingFiller(std::string_view text) {
  while (!text.empty() && isTrailingFiller(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// Consumes a decimal CPU number at the front of `text`. Refuses numbers at or above kCpuLimit
// before they can overflow, however many digits follow.
bool takeCpuNumber(std::string_view& text, unsigned& cpu) {
  std::size_t used = 0;
  unsigned value = 0;
  while (used < text.size() && text[used] >= '0' && text[used] <= '9') {
    value = value * 10 + static_cast<unsigned>(text[used] - '0');
    if (value >= kCpuLimit) {
      return false;
    }
    ++used;
  }
  if (used == 0) {
    return false;
  }
  text.remove_prefix(used);
  cpu = value;
  return true;
}

void insertRange(CpuSet& cpus, unsigned firstCpu, unsigned lastCpu) {
  const std::size_t needed = lastCpu / kBitsPerWord + 1;
  if (cpus.words.size() < needed) {
    cpus.words.resize(needed, 0);
  }
  unsigned cpu = firstCpu;
  while (cpu <= lastCpu) {
    const unsigned bit = cpu % kBitsPerWord;
    const unsigned span = std::min(kBitsPerWord - bit, lastCpu - cpu + 1);
    const std::uint64_t run =
        span == kBitsPerWord ? ~std::uint64_t{0} : ((std::uint64_t{1} << span) - 1);
    cpus.words[cpu / kBitsPerWord] |= run << bit;
    cpu += span;
  }
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// One 32-bit word of a mask: 1 to 8 digits for the leading word (the kernel drops the unused
// high digits when NR_CPUS is not a multiple of 32), exactly 8 for every other word.
bool parseMaskWord(std::string_view digits, bool leading, std::uint32_t& word) {
  if (digits.empty() || digits.size() > 8 || (!leading && digits.size() != 8)) {
    return false;
  }
  std::uint32_t value = 0;
  for (char c : digits) {
    const int digit = hexDigitValue(c);
    if (digit < 0) {
      return false;
    }
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  word = value;
  return true;
}

}  // namespace

bool CpuSet::contains(unsigned cpu) const {
  const std::size_t index = cpu / kBitsPerWord;
  return index < words.size() && ((words[index] >> (cpu % kBitsPerWord)) & 1) != 0;
}

void CpuSet::insert(unsigned cpu) {
  if (cpu >= kCpuLimit) {
    return;
  }
  insertRange(*this, cpu, cpu);
}

bool CpuSet::empty() const {
  return std::all_of(words.begin(), words.end(), [](std::uint64_t w) { return w == 0; });
}

unsigned CpuSet::count() const {
  unsigned total = 0;
  for (std::uint64_t w : words) {
    total += static_cast<unsigned>(std::popcount(w));
  }
  return total;
}

std::uint64_t CpuSet::lowWord() const {
  return words.empty() ? 0 : words[0];
}

CpuSet intersect(const CpuSet& a, const CpuSet& b) {
  CpuSet result;
  const std::size_t size = std::min(a.words.size(), b.words.size());
  result.words.resize(size);
  for (std::size_t i = 0; i < size; ++i) {
    result.words[i] = a.words[i] & b.words[i];
  }
  trim(result);
  return result;
}

CpuSet subtract(const CpuSet& a, const CpuSet& b) {
  CpuSet result = a;
  const std::size_t size = std::min(a.words.size(), b.words.size());
  for (std::size_t i = 0; i < size; ++i) {
    result.words[i] &= ~b.words[i];
  }
  trim(result);
  return result;
}

void unite(CpuSet& into, const CpuSet& from) {
  if (into.words.size() < from.words.size()) {
    into.words.resize(from.words.size(), 0);
  }
  for (std::size_t i = 0; i < from.words.size(); ++i) {
    into.words[i] |= from.words[i];
  }
  trim(into);
}

bool overlaps(const CpuSet& a, const CpuSet& b) {
  const std::size_t size = std::min(a.words.size(), b.words.size());
  for (std::size_t i = 0; i < size; ++i) {
    if ((a.words[i] & b.words[i]) != 0) {
      return true;
    }
  }
  return false;
}

bool parseCpuList(std::string_view text, CpuSet& cpus) {
  cpus.words.clear();
  std::string_view rest = withoutTrailingFiller(text);
  if (rest.empty()) {
    return true;
  }
  while (true) {
    unsigned firstCpu = 0;
    if (!takeCpuNumber(rest, firstCpu)) {
      cpus.words.clear();
      return false;
    }
    unsigned lastCpu = firstCpu;
    if (!rest.empty() && rest.front() == '-') {
      rest.remove_prefix(1);
      if (!takeCpuNumber(rest, lastCpu) || lastCpu < firstCpu) {
        cpus.words.clear();
        return false;
      }
    }
    insertRange(cpus, firstCpu, lastCpu);
    if (rest.empty()) {
      break;
    }
    if (rest.front() != ',') {
      cpus.words.clear();
      return false;
    }
    rest.remove_prefix(1);
  }
  trim(cpus);
  return true;
}

bool parseCpuMask(std::string_view text, CpuSet& cpus) {
  cpus.words.clear();
  const std::string_view body = withoutTrailingFiller(text);
  if (body.empty()) {
    return true;
  }
  // Counting the words first bounds the bitset before anything is allocated: a mask for
  // kCpuLimit CPUs at most.
  const std::size_t wordCount =
      static_cast<std::size_t>(std::count(body.begin(), body.end(), ',')) + 1;
  if (wordCount > kCpuLimit / 32) {
    return false;
  }
  cpus.words.assign((wordCount + 1) / 2, 0);

  std::string_view rest = body;
  for (std::size_t i = 0; i < wordCount; ++i) {
    const std::size_t comma = rest.find(',');
    const std::string_view digits = rest.substr(0, comma);
    std::uint32_t word = 0;
    if (!parseMaskWord(digits, i == 0, word)) {
      cpus.words.clear();
      return false;
    }
    // Words come highest first: the i-th from the left covers CPUs 32 * (wordCount - 1 - i) up.
    const std::size_t position = wordCount - 1 - i;
    cpus.words[position / 2] |= std::uint64_t{word} << (32 * (position % 2));
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
  }
  trim(cpus);
  return true;
}

}  // namespace vellicor::linux_platform
