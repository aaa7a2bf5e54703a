#include "platform/linux/utf8.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace vellicor::linux_platform {
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

class Utf8Decoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8Decoding, GivesTheCharacters) {
  EXPECT_EQ(decodeUtf8(GetParam().bytes), GetParam().text) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Decoding,
    testing::Values(DecodeCase{"ascii", "notepad.exe", L"notepad.exe"},
                    DecodeCase{"empty", "", L""},
                    DecodeCase{"two bytes",
                               "Schl\xC3\xA4"
                               "fer",
                               L"Schl\u00E4fer"},
                    DecodeCase{"three bytes", "\xE2\x82\xAC", L"\u20AC"},
                    DecodeCase{"four bytes", "\xF0\x9F\x98\x80", L"\U0001F600"},
                    DecodeCase{"highest character", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
                    DecodeCase{"NUL kept", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
                    DecodeCase{"stray continuation", "a\x80z", L"a\uFFFDz"},
                    DecodeCase{"overlong slash", "\xC0\xAF", L"\uFFFD\uFFFD"},
                    DecodeCase{"overlong three bytes", "\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},
                    DecodeCase{"encoded surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
                    DecodeCase{"beyond U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
                    DecodeCase{"invalid lead",
                               "\xFF"
                               "a",
                               L"\uFFFDa"},
                    DecodeCase{"cut at the end", "ab\xE2\x82", L"ab\uFFFD"},
                    DecodeCase{"cut before ascii",
                               "\xF0\x9F\x98"
                               "x",
                               L"\uFFFDx"},
                    DecodeCase{"cut before a new lead", "\xE2\x82\xC3\xA4", L"\uFFFD\u00E4"}));

struct EncodeCase {
  const char* label;
  std::wstring text;
  std::string bytes;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const EncodeCase& row, std::ostream* out) {
  *out << row.label;
}

class Utf8Encoding : public testing::TestWithParam<EncodeCase> {};

TEST_P(Utf8Encoding, GivesTheBytes) {
  EXPECT_EQ(encodeUtf8(GetParam().text), GetParam().bytes) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Encoding,
    testing::Values(EncodeCase{"ascii", L"pid:42", "pid:42"},
                    EncodeCase{"two bytes", L"\u00E4", "\xC3\xA4"},
                    EncodeCase{"three bytes", L"\u20AC", "\xE2\x82\xAC"},
                    EncodeCase{"four bytes", L"\U0001F600", "\xF0\x9F\x98\x80"},
                    EncodeCase{"surrogate pair joined",
                               std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}, "\xF0\x9F\x98\x80"},
                    EncodeCase{"lone high surrogate", std::wstring{L'a', wchar_t(0xD83D), L'b'},
                               "a?b"},
                    EncodeCase{"lone low surrogate", std::wstring{wchar_t(0xDE00)}, "?"},
                    EncodeCase{"high surrogate last", std::wstring{wchar_t(0xD83D)}, "?"},
                    EncodeCase{"beyond U+10FFFF", std::wstring{wchar_t(0x110000)}, "?"}));

TEST(Utf8RoundTrip, EveryCharacterComesBack) {
  std::wstring all;
  for (wchar_t code = 1; code <= 0x10FFFF; ++code) {
    if (code < 0xD800 || code > 0xDFFF) {
      all.push_back(code);
    }
  }
  EXPECT_EQ(decodeUtf8(encodeUtf8(all)), all);
}

TEST(Utf8RoundTrip, MalformedBytesNeverSwallowTheTextAfterThem) {
  // Every lead byte cut short, each followed by a marker that must survive.
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    std::string bytes{static_cast<char>(lead), '!'};
    std::wstring text = decodeUtf8(bytes);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), L'!') << "lead byte " << lead;
    EXPECT_EQ(text.front(), L'\uFFFD') << "lead byte " << lead;
  }
}

}  // namespace
}  // namespace vellicor::linux_platform
