#include "common/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>

namespace vellicor {
namespace {

struct DecodeCase {
  const char* label;
  std::string bytes;
  std::wstring text;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const DecodeCase& row, std::ostream* out) {
  *out << row.label;
}

// The wide text that stands for bytes which are not UTF-8: one lone surrogate U+DC80 + byte each.
std::wstring escapes(std::initializer_list<int> bytes) {
  std::wstring text;
  for (int byte : bytes) {
    text.push_back(static_cast<wchar_t>(0xDC00 + byte));
  }
  return text;
}

class Utf8Decoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8Decoding, GivesTheCharacters) {
  EXPECT_EQ(decodeUtf8(GetParam().bytes), GetParam().text) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Decoding,
    testing::Values(
        DecodeCase{"ascii", "notepad.exe", L"notepad.exe"}, DecodeCase{"empty", "", L""},
        DecodeCase{"two bytes",
                   "Schl\xC3\xA4"
                   "fer",
                   L"Schl\u00E4fer"},
        DecodeCase{"three bytes", "\xE2\x82\xAC", L"\u20AC"},
        DecodeCase{"four bytes", "\xF0\x9F\x98\x80", L"\U0001F600"},
        DecodeCase{"highest character", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
        DecodeCase{"NUL kept", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        DecodeCase{"stray continuation", "a\x80z", L"a" + escapes({0x80}) + L"z"},
        DecodeCase{"overlong slash", "\xC0\xAF", escapes({0xC0, 0xAF})},
        DecodeCase{"overlong three bytes", "\xE0\x80\xAF", escapes({0xE0, 0x80, 0xAF})},
        DecodeCase{"encoded surrogate", "\xED\xA0\x80", escapes({0xED, 0xA0, 0x80})},
        DecodeCase{"encoded byte escape", "\xED\xB3\xBF", escapes({0xED, 0xB3, 0xBF})},
        DecodeCase{"beyond U+10FFFF", "\xF4\x90\x80\x80", escapes({0xF4, 0x90, 0x80, 0x80})},
        DecodeCase{"invalid lead",
                   "\xFF"
                   "a",
                   escapes({0xFF}) + L"a"},
        DecodeCase{"cut at the end", "ab\xE2\x82", L"ab" + escapes({0xE2, 0x82})},
        DecodeCase{"cut before ascii",
                   "\xF0\x9F\x98"
                   "x",
                   escapes({0xF0, 0x9F, 0x98}) + L"x"},
        DecodeCase{"cut before a new lead", "\xE2\x82\xC3\xA4", escapes({0xE2, 0x82}) + L"\u00E4"},
        DecodeCase{"Latin-1 name", "caf\xE9", L"caf" + escapes({0xE9})}));

struct EncodeCase {
  const char* label;
  std::wstring text;
  std::string restored;  // with Unencodable::RestoreBytes
  std::string output;    // with Unencodable::Replace
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const EncodeCase& row, std::ostream* out) {
  *out << row.label;
}

class Utf8Encoding : public testing::TestWithParam<EncodeCase> {};

TEST_P(Utf8Encoding, GivesTheBytes) {
  EXPECT_EQ(encodeUtf8(GetParam().text, Unencodable::RestoreBytes), GetParam().restored);
  EXPECT_EQ(encodeUtf8(GetParam().text, Unencodable::Replace), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Encoding,
    testing::Values(
        EncodeCase{"ascii", L"pid:42", "pid:42", "pid:42"},
        EncodeCase{"two bytes", L"\u00E4", "\xC3\xA4", "\xC3\xA4"},
        EncodeCase{"three bytes", L"\u20AC", "\xE2\x82\xAC", "\xE2\x82\xAC"},
        EncodeCase{"four bytes", L"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        EncodeCase{"surrogate pair joined", std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)},
                   "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        EncodeCase{"escaped bytes", L"x" + escapes({0xFF, 0x80}) + L"y", "x\xFF\x80y", "x??y"},
        EncodeCase{"escape after a high surrogate", std::wstring{wchar_t(0xD83D), wchar_t(0xDCFF)},
                   "\xF0\x9F\x93\xBF", "\xF0\x9F\x93\xBF"},
        EncodeCase{"low surrogate below the escapes", std::wstring{wchar_t(0xDC7F)}, "?", "?"},
        EncodeCase{"lone high surrogate", std::wstring{L'a', wchar_t(0xD83D), L'b'}, "a?b", "a?b"},
        EncodeCase{"lone low surrogate", std::wstring{wchar_t(0xDE00)}, "?", "?"},
        EncodeCase{"high surrogate last", std::wstring{wchar_t(0xD83D)}, "?", "?"}));

TEST(Utf8Encoding, ValuesBeyondUnicodeBecomeAQuestionMark) {
  if (sizeof(wchar_t) < 4) {
    GTEST_SKIP() << "16-bit wide text cannot hold such a value";
  }
  const std::wstring text{static_cast<wchar_t>(0x110000)};
  EXPECT_EQ(encodeUtf8(text, Unencodable::RestoreBytes), "?");
  EXPECT_EQ(encodeUtf8(text, Unencodable::Replace), "?");
}

TEST(Utf8RoundTrip, EveryCharacterComesBack) {
  std::wstring all;
  for (std::uint32_t code = 1; code <= 0x10FFFF; ++code) {
    if (code >= 0xD800 && code <= 0xDFFF) {
      continue;
    }
    if (sizeof(wchar_t) == 2 && code >= 0x10000) {
      all.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
      all.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      all.push_back(static_cast<wchar_t>(code));
    }
  }
  EXPECT_EQ(decodeUtf8(encodeUtf8(all, Unencodable::Replace)), all);
  EXPECT_EQ(encodeUtf8(all, Unencodable::Replace), encodeUtf8(all, Unencodable::RestoreBytes));
}

TEST(Utf8RoundTrip, AnyBytesComeBackExactly) {
  // Every byte value in every position of a short sequence, after and before good text.
  for (int first = 0x80; first <= 0xFF; ++first) {
    for (int second : {0x00, 0x41, 0x80, 0xA0, 0xBF, 0xC3, 0xFF}) {
      std::string bytes{'<', static_cast<char>(first), static_cast<char>(second), '\xC3', '\xA4',
                        '>'};
      std::wstring text = decodeUtf8(bytes);
      ASSERT_EQ(encodeUtf8(text, Unencodable::RestoreBytes), bytes) << first << " " << second;
      std::string shown = encodeUtf8(text, Unencodable::Replace);
      EXPECT_EQ(decodeUtf8(shown).find_first_of(escapes({0x80, 0xFF})), std::wstring::npos);
      EXPECT_EQ(encodeUtf8(decodeUtf8(shown), Unencodable::RestoreBytes), shown)
          << "output is always well-formed UTF-8";
    }
  }
}

TEST(Utf8RoundTrip, BytesThatDifferDecodeToTextThatDiffers) {
  EXPECT_NE(decodeUtf8("x\xFF"), decodeUtf8("x\xFE"));
  EXPECT_NE(decodeUtf8("caf\xE9"), decodeUtf8("caf\xC3\xA9"));
  EXPECT_NE(decodeUtf8("\xEF\xBF\xBD"), decodeUtf8("\xFF"));  // U+FFFD itself is no escape
}

}  // namespace
}  // namespace vellicor
