#include "common/wide_format.h"

#include <cstddef>

namespace vellicor {

namespace {

struct Conversion {
  bool zeroPad = false;
  std::size_t width = 0;
  wchar_t kind = 0;  // 's', 'd', 'u' or 'x'
};

// Reads "[0][width][ll](s|d|u|x)" after a '%'; returns the characters consumed, or 0 when the
// text is not a conversion this formatter knows.
std::size_t readConversion(std::wstring_view text, Conversion& conversion) {
  std::size_t at = 0;
  if (at < text.size() && text[at] == L'0') {
    conversion.zeroPad = true;
    ++at;
  }
  while (at < text.size() && text[at] >= L'0' && text[at] <= L'9') {
    conversion.width = conversion.width * 10 + static_cast<std::size_t>(text[at] - L'0');
    ++at;
  }
  if (text.substr(at, 2) == L"ll") {
    at += 2;
  }
  if (at < text.size() &&
      (text[at] == L's' || text[at] == L'd' || text[at] == L'u' || text[at] == L'x')) {
    conversion.kind = text[at];
    return at + 1;
  }
  return 0;
}

constexpr wchar_t kDigits[] = L"0123456789abcdef";

std::wstring digitsOf(std::uint64_t value, unsigned radix) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), kDigits[value % radix]);
    value /= radix;
  } while (value != 0);
  return digits;
}

// The hexadecimal digits of a mask of any width, without leading zeros.
std::wstring hexDigitsOf(const AffinityMask& mask) {
  const std::uint32_t span = mask.span();
  const std::uint32_t count = span == 0 ? 1 : (span + 3) / 4;
  std::wstring digits(count, L'0');
  for (std::uint32_t digit = 0; digit < count; ++digit) {
    const std::uint64_t word = mask.word(digit / 16);
    digits[count - 1 - digit] = kDigits[(word >> (4 * (digit % 16))) & 0xf];
  }
  return digits;
}

std::wstring convert(const Conversion& conversion, const FormatArgument& argument) {
  using Kind = FormatArgument::Kind;
  std::wstring text;
  bool negative = false;
  if (conversion.kind == L's') {
    text = argument.kind == Kind::Text ? showableText(argument.text) : std::wstring();
  } else if (argument.kind == Kind::Mask) {
    text = conversion.kind == L'x' ? hexDigitsOf(*argument.mask) : std::wstring();
  } else {
    std::uint64_t magnitude = argument.unsignedValue;
    if (argument.kind == Kind::Signed) {
      negative = argument.signedValue < 0 && conversion.kind == L'd';
      // Two's complement: the magnitude of INT64_MIN still fits in 64 unsigned bits.
      magnitude = static_cast<std::uint64_t>(argument.signedValue);
      if (negative) {
        magnitude = ~magnitude + 1;
      }
    }
    text = digitsOf(magnitude, conversion.kind == L'x' ? 16 : 10);
  }
  std::size_t length = text.size() + (negative ? 1 : 0);
  std::size_t padding = conversion.width > length ? conversion.width - length : 0;
  if (conversion.zeroPad && conversion.kind != L's') {
    text.insert(0, padding, L'0');
    padding = 0;
  }
  if (negative) {
    text.insert(0, 1, L'-');
  }
  text.insert(0, padding, L' ');
  return text;
}

// What can drive a terminal or reorder what it shows. The line and paragraph separators (U+2028,
// U+2029) end a line in editors and viewers, where a name holding one could fake a report line in
// saved output. The tab and the left-to-right and
// right-to-left marks (U+200E, U+200F) steer nothing and stay: they are part of real commands,
// paths and names, and a path shown without them names a file that does not exist. Lone
// surrogates stay too: they cannot steer a terminal, and only the stream decides whether it can
// carry them (the Windows console shows them whole, UTF-8 output writes '?').
bool canSteerTheTerminal(std::uint32_t code) {
  const bool c0Control = code < 0x20 && code != 0x09;  // the tab
  const bool deleteOrC1Control = code >= 0x7F && code <= 0x9F;
  const bool arabicLetterMark = code == 0x061C;
  const bool lineOrParagraphSeparator = code == 0x2028 || code == 0x2029;
  const bool embeddingOrOverride = code >= 0x202A && code <= 0x202E;
  const bool isolate = code >= 0x2066 && code <= 0x2069;
  return c0Control || deleteOrC1Control || arabicLetterMark || lineOrParagraphSeparator ||
         embeddingOrOverride || isolate || code > 0x10FFFF;
}

}  // namespace

std::wstring showableText(std::wstring_view text) {
  std::wstring shown(text);
  for (wchar_t& character : shown) {
    if (canSteerTheTerminal(static_cast<std::uint32_t>(character))) {
      character = L'?';
    }
  }
  return shown;
}

std::wstring formatWide(std::wstring_view format, std::initializer_list<FormatArgument> arguments) {
  std::wstring result;
  const FormatArgument* next = arguments.begin();
  std::size_t at = 0;
  while (at < format.size()) {
    std::size_t percent = format.find(L'%', at);
    result.append(format.substr(at, percent - at));
    if (percent == std::wstring_view::npos) {
      break;
    }
    if (format.substr(percent, 2) == L"%%") {
      result.push_back(L'%');
      at = percent + 2;
      continue;
    }
    Conversion conversion;
    std::size_t used = readConversion(format.substr(percent + 1), conversion);
    if (used == 0 || next == arguments.end()) {
      // Not ours to interpret: written as it stands rather than guessed at.
      result.push_back(L'%');
      at = percent + 1;
      continue;
    }
    result.append(convert(conversion, *next++));
    at = percent + 1 + used;
  }
  return result;
}

void printWide(Output& output, std::wstring_view format,
               std::initializer_list<FormatArgument> arguments) {
  output.writeText(formatWide(format, arguments));
}

}  // namespace vellicor
