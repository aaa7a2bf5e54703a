#include "common/utf8.h"

namespace vellicor {

namespace {

constexpr std::uint32_t kByteEscape = 0xDC00;  // + a byte from 0x80 to 0xFF

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

// The character of the well-formed multi-byte sequence at the start of `bytes`, with its length
// in `used`; false when the first byte opens none.
bool decodeSequence(std::string_view bytes, std::uint32_t& code, std::size_t& used) {
  auto lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length = sequenceLength(lead);
  if (length < 2 || length > bytes.size()) {
    return false;
  }
  code = lead & (0xFFu >> (length + 1));
  for (std::size_t i = 1; i < length; ++i) {
    auto next = static_cast<unsigned char>(bytes[i]);
    if (!(i == 1 ? secondByteFits(lead, next) : isContinuation(next))) {
      return false;
    }
    code = (code << 6) | (next & 0x3F);
  }
  used = length;
  return true;
}

// Wide text is UTF-16 where wchar_t has 16 bits (Windows): a character beyond the first plane
// takes a surrogate pair there.
void appendWide(std::uint32_t code, std::wstring& text) {
  if (sizeof(wchar_t) == 2 && code >= 0x10000) {
    code -= 0x10000;
    text.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
    text.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
    return;
  }
  text.push_back(static_cast<wchar_t>(code));
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

bool isByteEscape(std::uint32_t code) {
  return code >= kByteEscape + 0x80 && code <= kByteEscape + 0xFF;
}

}  // namespace

bool isHighSurrogate(std::uint32_t code) {
  return code >= 0xD800 && code <= 0xDBFF;
}

bool isLowSurrogate(std::uint32_t code) {
  return code >= 0xDC00 && code <= 0xDFFF;
}

std::wstring decodeUtf8(std::string_view bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    auto byte = static_cast<unsigned char>(bytes[at]);
    if (byte < 0x80) {
      text.push_back(static_cast<wchar_t>(byte));
      ++at;
      continue;
    }
    std::uint32_t code = 0;
    std::size_t used = 0;
    if (decodeSequence(bytes.substr(at), code, used)) {
      appendWide(code, text);
      at += used;
      continue;
    }
    // Only the byte that fails is escaped: the bytes after it may start a good sequence, and
    // each stray one gets its own escape, so the escapes give back exactly the bytes read.
    text.push_back(static_cast<wchar_t>(kByteEscape + byte));
    ++at;
  }
  return text;
}

void appendUtf8(std::wstring_view text, std::string& bytes, Unencodable unencodable) {
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
    } else if (unencodable == Unencodable::RestoreBytes && isByteEscape(code)) {
      bytes.push_back(static_cast<char>(code - kByteEscape));
      continue;
    } else if (isHighSurrogate(code) || isLowSurrogate(code) || code > 0x10FFFF) {
      bytes.push_back('?');
      continue;
    }
    appendCodePoint(code, bytes);
  }
}

std::string encodeUtf8(std::wstring_view text, Unencodable unencodable) {
  std::string bytes;
  bytes.reserve(text.size());
  appendUtf8(text, bytes, unencodable);
  return bytes;
}

}  // namespace vellicor
