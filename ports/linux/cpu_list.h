#pragma once

// Readers of the kernel's two ways of writing a set of CPUs: lists ("0-3,8,10-11") and masks
// (comma-separated 32-bit hexadecimal words, highest word first). Both tolerate the trailing
// line feed and NUL bytes that sysfs files may carry.

#include <string_view>

#include "platform/affinity_mask.h"

namespace vellicor::linux_platform {

// CPU numbers at or above this are refused: four times the 8,192 processors of the largest kernel
// configurations (x86's and powerpc's NR_CPUS maximum). Masks are dense, so a machine's cores,
// packages and nodes take memory growing with the square of its width: at this bound a hostile
// "0-32767" costs tens of MiB, where a bound of a million would cost a terabyte.
inline constexpr unsigned kCpuLimit = 1u << 15;

// False on malformed text; an empty (or all-blank) text is a valid empty set. On failure `cpus`
// is left empty.
bool parseCpuList(std::string_view text, AffinityMask& cpus);
bool parseCpuMask(std::string_view text, AffinityMask& cpus);

}  // namespace vellicor::linux_platform
