#include "platform/linux/utf8.h"

#include <cstdint>

namespace vellicor::linux_platform {

namespace {

constexpr wchar_t kReplacementCharacter = 0xFFFD;

bool isContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The range the second byte of a sequence must fall in; tighter than a plain continuation byte
// for the lead bytes whose next byte rules out overlong forms, surrogates and values above
// U+10FFFF.
bool secondByteFits(unsigned char lead, unsigned char second) {
  switch (lead) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return isContinuation(second);
  }
}

// The length of the sequence a lead byte opens, or 0 when the byte cannot open one.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return 4;
  }
  return 0;
}

bool isHighSurrogate(std::uint32_t code) {
  return code >= 0xD800 && code <= 0xDBFF;
}
bool isLowSurrogate(std::uint32_t code) {
  return code >= 0xDC00 && code <= 0xDFFF;
}

void appendCodePoint(std::uint32_t code, std::string& bytes) {
  if (code < 0x80) {
    bytes.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    bytes.push_back(static_cast<char>(0xC0 | (code >> 6)));
    bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    bytes.push_back(static_cast<char>(0xE0 | (code >> 12)));
    bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    bytes.push_back(static_cast<char>(0xF0 | (code >> 18)));
    bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

std::wstring decodeUtf8(std::string_view bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
      text.push_back(static_cast<wchar_t>(lead));
      ++at;
      continue;
    }
    std::size_t length = sequenceLength(lead);
    if (length == 0) {
      text.push_back(kReplacementCharacter);
      ++at;
      continue;
    }
    std::uint32_t code = lead & (0xFF >> (length + 1));
    std::size_t used = 1;
    while (used < length && at + used < bytes.size()) {
      auto next = static_cast<unsigned char>(bytes[at + used]);
      bool fits = used == 1 ? secondByteFits(lead, next) : isContinuation(next);
      if (!fits) {
        break;
      }
      code = (code << 6) | (next & 0x3F);
      ++used;
    }
    // A sequence cut short is replaced as a whole; the byte that cut it starts afresh.
    text.push_back(used == length ? static_cast<wchar_t>(code) : kReplacementCharacter);
    at += used;
  }
  return text;
}

void appendUtf8(std::wstring_view text, std::string& bytes) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto code = static_cast<std::uint32_t>(text[i]);
    if (code < 0x80) {
      bytes.push_back(static_cast<char>(code));
      continue;
    }
    if (isHighSurrogate(code) && i + 1 < text.size() &&
        isLowSurrogate(static_cast<std::uint32_t>(text[i + 1]))) {
      auto low = static_cast<std::uint32_t>(text[++i]);
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    } else if (isHighSurrogate(code) || isLowSurrogate(code) || code > 0x10FFFF) {
      bytes.push_back('?');
      continue;
    }
    appendCodePoint(code, bytes);
  }
}

std::string encodeUtf8(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  appendUtf8(text, bytes);
  return bytes;
}

}  // namespace vellicor::linux_platform
