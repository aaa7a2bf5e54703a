#pragma once

// Conversions from wide text to 64-bit integers, with the C runtime's rules on Windows: leading
// white space, one optional sign, an optional 0x prefix in radix 16, the decimal digits of
// eighteen scripts, and saturation on overflow. Our own, because the C libraries differ.

#include <cstdint>
#include <string_view>

#include "platform/affinity_mask.h"

namespace vellicor {

// The unsigned conversion at a width of `bits` (a multiple of 64), radix 2 to 36. Beyond
// 2^bits - 1 gives all ones, with or without '-'; otherwise '-' negates in two's complement.
// With 64 bits these are the C runtime's rules for a 64-bit value.
AffinityMask wideToMask(std::wstring_view text, int radix, std::uint32_t bits);

// Decimal. Saturates at INT64_MAX, or with '-' at INT64_MIN.
std::int64_t wideToSigned64(std::wstring_view text);

// The value 0-9 of a decimal digit of any of the supported scripts, or -1.
int decimalDigitValue(wchar_t character);

}  // namespace vellicor
