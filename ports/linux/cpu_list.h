#pragma once

// Readers of the kernel's two ways of writing a set of CPUs: lists ("0-3,8,10-11") and masks
// (comma-separated 32-bit hexadecimal words, highest word first). Both tolerate the trailing
// line feed and NUL bytes that sysfs files may carry.

#include <cstdint>
#include <string_view>
#include <vector>

namespace vellicor::linux_platform {

// CPU numbers at or above this are refused: far beyond any kernel's NR_CPUS, and low enough that
// a hostile "0-4294967295" costs at most 128 KiB of bits.
inline constexpr unsigned kCpuLimit = 1u << 20;

// A set of CPU numbers as a growable bitset: bit i of word i / 64 stands for CPU i.
struct CpuSet {
  std::vector<std::uint64_t> words;

  bool contains(unsigned cpu) const;
  // CPUs at or above kCpuLimit are not stored.
  void insert(unsigned cpu);
  bool empty() const;
  unsigned count() const;
  // CPUs 0 to 63, the part a 64-bit affinity mask can address.
  std::uint64_t lowWord() const;
};

CpuSet intersect(const CpuSet& a, const CpuSet& b);
// The CPUs of `a` that are not in `b`.
CpuSet subtract(const CpuSet& a, const CpuSet& b);
// Adds every CPU of `from` to `into`.
void unite(CpuSet& into, const CpuSet& from);
bool overlaps(const CpuSet& a, const CpuSet& b);

// False on malformed text; an empty (or all-blank) text is a valid empty set. On failure `cpus`
// is left empty.
bool parseCpuList(std::string_view text, CpuSet& cpus);
bool parseCpuMask(std::string_view text, CpuSet& cpus);

}  // namespace vellicor::linux_platform
