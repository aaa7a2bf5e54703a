#include "common/wide_number.h"

#include <cstddef>
#include <cwctype>
#include <limits>

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

struct ScannedNumber {
  bool negative = false;
  bool overflow = false;  // the magnitude does not fit in 64 bits
  std::uint64_t magnitude = 0;
};

ScannedNumber scanNumber(std::wstring_view text, int radix) {
  ScannedNumber number;
  std::size_t at = 0;
  while (at < text.size() && isLeadingSpace(text[at])) {
    ++at;
  }
  if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
    number.negative = text[at] == L'-';
    ++at;
  }
  if (radix == 16 && at + 1 < text.size() && decimalDigitValue(text[at]) == 0 &&
      (text[at + 1] == L'x' || text[at + 1] == L'X')) {
    at += 2;
  }
  const auto limit = std::numeric_limits<std::uint64_t>::max();
  for (; at < text.size(); ++at) {
    int digit = digitValue(text[at]);
    if (digit < 0 || digit >= radix) {
      break;
    }
    auto value = static_cast<std::uint64_t>(digit);
    if (number.magnitude > (limit - value) / static_cast<std::uint64_t>(radix)) {
      number.overflow = true;
    } else {
      number.magnitude = number.magnitude * static_cast<std::uint64_t>(radix) + value;
    }
  }
  return number;
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

std::uint64_t wideToUnsigned64(std::wstring_view text, int radix) {
  if (radix < 2 || radix > 36) {
    return 0;
  }
  ScannedNumber number = scanNumber(text, radix);
  if (number.overflow) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return number.negative ? ~number.magnitude + 1 : number.magnitude;
}

std::int64_t wideToSigned64(std::wstring_view text) {
  ScannedNumber number = scanNumber(text, 10);
  const auto maximum = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!number.negative) {
    return number.overflow || number.magnitude > maximum
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(number.magnitude);
  }
  if (number.overflow || number.magnitude > maximum + 1) {
    return std::numeric_limits<std::int64_t>::min();
  }
  // -(2^63) is representable although 2^63 is not: negate in unsigned arithmetic.
  return static_cast<std::int64_t>(~number.magnitude + 1);
}

}  // namespace vellicor
