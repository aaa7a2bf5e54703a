#include "platform/affinity_mask.h"

#include <algorithm>
#include <bit>
#include <ostream>

namespace vellicor {

namespace {

constexpr std::uint32_t kBitsPerWord = 64;

}  // namespace

AffinityMask::AffinityMask(std::uint64_t lowWord) : words_{lowWord} {}

std::uint64_t AffinityMask::word(std::size_t index) const {
  return index < words_.size() ? words_[index] : 0;
}

void AffinityMask::setWord(std::size_t index, std::uint64_t value) {
  if (index >= words_.size()) {
    if (value == 0) {
      return;
    }
    words_.resize(index + 1, 0);
  }
  words_[index] = value;
}

void AffinityMask::assignWords(std::span<const std::uint64_t> words) {
  words_.assign(words.begin(), words.end());
}

bool AffinityMask::test(std::uint32_t processor) const {
  return ((word(processor / kBitsPerWord) >> (processor % kBitsPerWord)) & 1) != 0;
}

void AffinityMask::set(std::uint32_t processor) {
  setRange(processor, processor);
}

void AffinityMask::setRange(std::uint32_t first, std::uint32_t last) {
  if (last < first) {
    return;
  }
  const std::size_t needed = last / kBitsPerWord + 1;
  if (words_.size() < needed) {
    words_.resize(needed, 0);
  }
  std::uint32_t processor = first;
  while (true) {
    const std::uint32_t bit = processor % kBitsPerWord;
    const std::uint32_t span = std::min(kBitsPerWord - bit, last - processor + 1);
    const std::uint64_t run =
        span == kBitsPerWord ? ~std::uint64_t{0} : (std::uint64_t{1} << span) - 1;
    words_[processor / kBitsPerWord] |= run << bit;
    if (last - processor < span) {
      return;  // `last` may be the largest processor number, past which nothing can be counted
    }
    processor += span;
  }
}

bool AffinityMask::none() const {
  return std::all_of(words_.begin(), words_.end(), [](std::uint64_t word) { return word == 0; });
}

std::uint32_t AffinityMask::count() const {
  std::uint32_t total = 0;
  for (std::uint64_t word : words_) {
    total += static_cast<std::uint32_t>(std::popcount(word));
  }
  return total;
}

std::uint32_t AffinityMask::span() const {
  for (std::size_t index = words_.size(); index-- > 0;) {
    if (words_[index] != 0) {
      return static_cast<std::uint32_t>(index * kBitsPerWord) + kBitsPerWord -
             static_cast<std::uint32_t>(std::countl_zero(words_[index]));
    }
  }
  return 0;
}

void AffinityMask::clear() {
  words_.clear();
}

void AffinityMask::intersect(const AffinityMask& other) {
  for (std::size_t index = 0; index < words_.size(); ++index) {
    words_[index] &= other.word(index);
  }
}

void AffinityMask::unite(const AffinityMask& other) {
  if (words_.size() < other.words_.size()) {
    words_.resize(other.words_.size(), 0);
  }
  for (std::size_t index = 0; index < other.words_.size(); ++index) {
    words_[index] |= other.words_[index];
  }
}

void AffinityMask::subtract(const AffinityMask& other) {
  for (std::size_t index = 0; index < words_.size(); ++index) {
    words_[index] &= ~other.word(index);
  }
}

bool AffinityMask::overlaps(const AffinityMask& other) const {
  const std::size_t shared = std::min(words_.size(), other.words_.size());
  for (std::size_t index = 0; index < shared; ++index) {
    if ((words_[index] & other.words_[index]) != 0) {
      return true;
    }
  }
  return false;
}

bool AffinityMask::includes(const AffinityMask& other) const {
  for (std::size_t index = 0; index < other.words_.size(); ++index) {
    if ((other.words_[index] & ~word(index)) != 0) {
      return false;
    }
  }
  return true;
}

bool operator==(const AffinityMask& left, const AffinityMask& right) {
  const std::size_t wider = std::max(left.words_.size(), right.words_.size());
  for (std::size_t index = 0; index < wider; ++index) {
    if (left.word(index) != right.word(index)) {
      return false;
    }
  }
  return true;
}

std::ostream& operator<<(std::ostream& stream, const AffinityMask& mask) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::uint32_t span = mask.span();
  const std::uint32_t digits = span == 0 ? 1 : (span + 3) / 4;
  for (std::uint32_t digit = digits; digit-- > 0;) {
    const std::uint64_t word = mask.word(digit / 16);
    stream << kDigits[(word >> (4 * (digit % 16))) & 0xf];
  }
  return stream;
}

}  // namespace vellicor
