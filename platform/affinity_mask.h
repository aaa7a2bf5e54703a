#pragma once

// A set of logical processors as wide as the machine: bit i of word i / 64 stands for processor i.
// A Windows mask is one word, the processors of one processor group; a Linux mask has as many words
// as the machine's processor numbers need. Nothing above the ports depends on which: two masks of
// different widths compare and combine as if the narrower one had zero words added.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <vector>

namespace vellicor {

class AffinityMask {
 public:
  AffinityMask() = default;
  // Processors 0 to 63: the mask of one processor group.
  AffinityMask(std::uint64_t lowWord);  // NOLINT(google-explicit-constructor): a 64-bit mask is one

  // Words up to the highest one stored; a word beyond them is 0.
  std::size_t wordCount() const { return words_.size(); }
  std::uint64_t word(std::size_t index) const;
  std::span<const std::uint64_t> words() const { return words_; }
  // Grows the mask as far as `index` needs. Callers bound their processor numbers: a mask holds
  // what it is told to.
  void setWord(std::size_t index, std::uint64_t value);
  // Replaces the whole mask by these words, reusing the memory it already has.
  void assignWords(std::span<const std::uint64_t> words);

  bool test(std::uint32_t processor) const;
  void set(std::uint32_t processor);
  // Sets processors `first` to `last`, both included.
  void setRange(std::uint32_t first, std::uint32_t last);

  bool none() const;
  std::uint32_t count() const;
  // One more than the highest processor in the mask; 0 for an empty mask.
  std::uint32_t span() const;

  // Empties the mask and keeps its memory, so that a mask reused for every process of a run is
  // allocated once.
  void clear();
  // Keeps only the processors `other` holds as well.
  void intersect(const AffinityMask& other);
  void unite(const AffinityMask& other);
  // Removes the processors `other` holds.
  void subtract(const AffinityMask& other);
  bool overlaps(const AffinityMask& other) const;
  // True when every processor of `other` is in this mask too.
  bool includes(const AffinityMask& other) const;

  friend bool operator==(const AffinityMask& left, const AffinityMask& right);

 private:
  std::vector<std::uint64_t> words_;
};

// Lowercase hexadecimal without leading zeros, as the program prints masks.
std::ostream& operator<<(std::ostream& stream, const AffinityMask& mask);

}  // namespace vellicor
