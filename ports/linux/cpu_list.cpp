#include "ports/linux/cpu_list.h"

#include <algorithm>
#include <cstddef>

namespace vellicor::linux_platform {

namespace {

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

bool parseCpuList(std::string_view text, AffinityMask& cpus) {
  cpus.clear();
  std::string_view rest = withoutTrailingFiller(text);
  if (rest.empty()) {
    return true;
  }
  while (true) {
    unsigned firstCpu = 0;
    if (!takeCpuNumber(rest, firstCpu)) {
      cpus.clear();
      return false;
    }
    unsigned lastCpu = firstCpu;
    if (!rest.empty() && rest.front() == '-') {
      rest.remove_prefix(1);
      if (!takeCpuNumber(rest, lastCpu) || lastCpu < firstCpu) {
        cpus.clear();
        return false;
      }
    }
    cpus.setRange(firstCpu, lastCpu);
    if (rest.empty()) {
      break;
    }
    if (rest.front() != ',') {
      cpus.clear();
      return false;
    }
    rest.remove_prefix(1);
  }
  return true;
}

bool parseCpuMask(std::string_view text, AffinityMask& cpus) {
  cpus.clear();
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

  std::string_view rest = body;
  for (std::size_t i = 0; i < wordCount; ++i) {
    const std::size_t comma = rest.find(',');
    const std::string_view digits = rest.substr(0, comma);
    std::uint32_t word = 0;
    if (!parseMaskWord(digits, i == 0, word)) {
      cpus.clear();
      return false;
    }
    // Words come highest first: the i-th from the left covers CPUs 32 * (wordCount - 1 - i) up.
    const std::size_t position = wordCount - 1 - i;
    cpus.setWord(position / 2,
                 cpus.word(position / 2) | std::uint64_t{word} << (32 * (position % 2)));
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
  }
  return true;
}

}  // namespace vellicor::linux_platform
