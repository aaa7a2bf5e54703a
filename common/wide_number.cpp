#include "common/wide_number.h"

#include <cstddef>
#include <cwctype>
#include <limits>
#include <vector>

namespace vellicor {

namespace {

// The first character of each run of ten decimal digits the conversions accept.
constexpr std::uint32_t kDigitRunStarts[] = {
    0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
    0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10,
};

bool isLeadingSpace(wchar_t character) {
  auto code = static_cast<std::uint32_t>(character);
  if (code <= 0xFF) {
    return (code >= 0x09 && code <= 0x0D) || code == 0x20 || code == 0x85 || code == 0xA0;
  }
  return std::iswspace(static_cast<std::wint_t>(character)) != 0;
}

// The value of a digit in any radix up to 36, or -1.
int digitValue(wchar_t character) {
  int decimal = decimalDigitValue(character);
  if (decimal >= 0) {
    return decimal;
  }
  if (character >= L'a' && character <= L'z') {
    return character - L'a' + 10;
  }
  if (character >= L'A' && character <= L'Z') {
    return character - L'A' + 10;
  }
  return -1;
}

// Skips what may stand before the digits (white space, one sign, a 0x prefix in radix 16) and
// returns where the digits begin.
std::size_t skipToDigits(std::wstring_view text, int radix, bool& negative) {
  std::size_t at = 0;
  while (at < text.size() && isLeadingSpace(text[at])) {
    ++at;
  }
  negative = false;
  if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
    negative = text[at] == L'-';
    ++at;
  }
  if (radix == 16 && at + 1 < text.size() && decimalDigitValue(text[at]) == 0 &&
      (text[at + 1] == L'x' || text[at + 1] == L'X')) {
    at += 2;
  }
  return at;
}

// The digits' value, in as many 64-bit words as `magnitude` has; false once it no longer fits.
// Each word is multiplied in two 32-bit halves, so that no product exceeds 64 bits.
bool readDigits(std::wstring_view digits, int radix, std::vector<std::uint64_t>& magnitude) {
  const auto base = static_cast<std::uint64_t>(radix);
  for (wchar_t character : digits) {
    const int digit = digitValue(character);
    if (digit < 0 || digit >= radix) {
      return true;
    }
    std::uint64_t carry = static_cast<std::uint64_t>(digit);
    for (std::uint64_t& word : magnitude) {
      const std::uint64_t low = (word & 0xffffffff) * base + carry;
      const std::uint64_t high = (word >> 32) * base + (low >> 32);
      word = (high << 32) | (low & 0xffffffff);
      carry = high >> 32;
    }
    if (carry != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

int decimalDigitValue(wchar_t character) {
  auto code = static_cast<std::uint32_t>(character);
  for (std::uint32_t start : kDigitRunStarts) {
    if (code >= start && code < start + 10) {
      return static_cast<int>(code - start);
    }
  }
  return -1;
}

AffinityMask wideToMask(std::wstring_view text, int radix, std::uint32_t bits) {
  AffinityMask mask;
  if (radix < 2 || radix > 36 || bits == 0) {
    return mask;
  }
  bool negative = false;
  const std::size_t digits = skipToDigits(text, radix, negative);
  std::vector<std::uint64_t> magnitude((bits + 63) / 64, 0);
  if (!readDigits(text.substr(digits), radix, magnitude)) {
    mask.setRange(0, bits - 1);
    return mask;
  }
  if (negative) {
    // Two's complement: invert every word, then add one, carrying upwards.
    bool carry = true;
    for (std::uint64_t& word : magnitude) {
      word = ~word + (carry ? 1 : 0);
      carry = carry && word == 0;
    }
  }
  mask.assignWords(magnitude);
  return mask;
}

std::int64_t wideToSigned64(std::wstring_view text) {
  bool negative = false;
  const std::size_t digits = skipToDigits(text, 10, negative);
  std::vector<std::uint64_t> magnitude(1, 0);
  const bool fits = readDigits(text.substr(digits), 10, magnitude);
  const auto maximum = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    return !fits || magnitude[0] > maximum ? std::numeric_limits<std::int64_t>::max()
                                           : static_cast<std::int64_t>(magnitude[0]);
  }
  if (!fits || magnitude[0] > maximum + 1) {
    return std::numeric_limits<std::int64_t>::min();
  }
  // -(2^63) is representable although 2^63 is not: negate in unsigned arithmetic.
  return static_cast<std::int64_t>(~magnitude[0] + 1);
}

}  // namespace vellicor
