#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/apply.h"
#include "common/mask_bar.h"
#include "common/utf8.h"
#include "common/wide_format.h"
#include "ports/simulated/captured_output.h"

namespace vellicor {
namespace {

std::wstring bar(const AffinityMask& mask, std::uint32_t span) {
  simulated::CapturedOutput output;
  printMaskBar(output, mask, span);
  return output.text;
}

TEST(MaskBar, DrawsHighestProcessorFirst) {
  EXPECT_EQ(bar(0x3, 4), L"--**");
  EXPECT_EQ(bar(0x1, 1), L"*");
  EXPECT_EQ(bar(0x0, 3), L"---");
  EXPECT_EQ(bar(0xff, 8), L"********");
  EXPECT_EQ(bar(0x8000000000000001, 64), L"*" + std::wstring(62, L'-') + L"*");
}

TEST(MaskBar, IgnoresBitsAboveTheCount) {
  EXPECT_EQ(bar(0xf0, 4), L"----");
}

TEST(MaskBar, DrawsEveryProcessorOfAWideMachine) {
  EXPECT_EQ(bar(0xff, 0), L"");
  EXPECT_EQ(bar(0xff, 65), std::wstring(57, L'-') + L"********");
  AffinityMask wide;
  wide.set(0);
  wide.setRange(63, 64);
  wide.set(95);
  EXPECT_EQ(bar(wide, 96), L"*" + std::wstring(30, L'-') + L"**" + std::wstring(62, L'-') + L"*");
  EXPECT_EQ(bar(wide, 64), L"*" + std::wstring(62, L'-') + L"*");  // 64 and 95 lie beyond
}

TEST(MaskHexWidth, FollowsTheProcessorCount) {
  EXPECT_EQ(maskHexWidth(1), 1u);
  EXPECT_EQ(maskHexWidth(4), 1u);
  EXPECT_EQ(maskHexWidth(5), 2u);
  EXPECT_EQ(maskHexWidth(8), 2u);
  EXPECT_EQ(maskHexWidth(12), 3u);
  EXPECT_EQ(maskHexWidth(61), 16u);
  EXPECT_EQ(maskHexWidth(64), 16u);
  EXPECT_EQ(maskHexWidth(65), 17u);
}

TEST(WideFormat, TwoPassMaskFormat) {
  std::wstring format = formatWide(L"%%s, pid:%%d, mask:%%0%ullx -> %%0%ullx\n", {2u, 2u});
  EXPECT_EQ(format, L"%s, pid:%d, mask:%02llx -> %02llx\n");
  EXPECT_EQ(formatWide(format,
                       {L"notepad.exe", std::int32_t{4242}, std::uint64_t{0xff}, std::uint64_t{3}}),
            L"notepad.exe, pid:4242, mask:ff -> 03\n");
}

TEST(WideFormat, MasksOfAnyWidthPrintEveryDigit) {
  AffinityMask wide;
  wide.set(70);
  wide.set(3);
  EXPECT_EQ(formatWide(L"%024llx", {wide}), L"000000400000000000000008");
  EXPECT_EQ(formatWide(L"%02llx", {wide}), L"400000000000000008");  // wider than asked: all of it
  EXPECT_EQ(formatWide(L"%03llx|%llx", {AffinityMask(), AffinityMask(0xabc)}), L"000|abc");
  AffinityMask all;
  all.setRange(0, 127);
  EXPECT_EQ(formatWide(L"%032llx", {all}), std::wstring(32, L'f'));
}

TEST(WideFormat, Conversions) {
  EXPECT_EQ(formatWide(L"%d|%d|%d", {std::int32_t{0}, std::int32_t{-42}, INT32_MIN}),
            L"0|-42|-2147483648");
  EXPECT_EQ(formatWide(L"%u", {UINT32_MAX}), L"4294967295");
  EXPECT_EQ(formatWide(L"%03llx|%03llx", {std::uint64_t{0xfff1}, std::uint64_t{0}}), L"fff1|000");
  EXPECT_EQ(formatWide(L"%016llx", {~std::uint64_t{0}}), L"ffffffffffffffff");
  EXPECT_EQ(formatWide(L"100%%", {}), L"100%");
  // A conversion without an argument, or one the formatter does not know, stays as written.
  EXPECT_EQ(formatWide(L"%s %q", {}), L"%s %q");
}

TEST(WideFormat, TextArgumentsAreNeverInterpreted) {
  EXPECT_EQ(formatWide(L"[%s]", {L"%s %n %d %%"}), L"[%s %n %d %%]");
}

TEST(WideFormat, TextArgumentsCannotDriveTheTerminal) {
  EXPECT_EQ(formatWide(L"%s\n", {L"a\x1b[31mb\rc\x7f\x9b\u202e"}), L"a?[31mb?c???\n");
}

std::wstring unit(std::uint32_t code) {
  return std::wstring(1, static_cast<wchar_t>(code));
}

struct ShownCase {
  const char* label;
  std::wstring text;
  std::wstring shown;
};

// Each row holds a range's first and last character, then the characters just outside it.
TEST(ShowableText, ReplacesOnlyWhatCanSteerATerminalOrReorderWhatItShows) {
  const ShownCase rows[] = {
      {"C0 controls", unit(0x00) + L"\x1b[2J\r\n\b\x07" + unit(0x1F), L"??[2J?????"},
      {"tab", L"a\tb", L"a\tb"},
      {"DEL and C1 controls", L"~\x7f\x80\x85\x9b\x9f\xa0", L"~?????\xa0"},
      {"Arabic letter mark", L"\u061b\u061c\u061d", L"\u061b?\u061d"},
      {"line and paragraph separators", L"a\u2027\u2028b\u2029c", L"a\u2027?b?c"},
      {"embeddings and overrides", L"\u2027\u202a\u202d\u202e\u202f", L"\u2027???\u202f"},
      {"isolates", L"\u2065\u2066\u2068\u2069\u206a", L"\u2065???\u206a"},
      {"left-to-right and right-to-left marks", L"C:\\\u200eapp\u200f.exe",
       L"C:\\\u200eapp\u200f.exe"},
      {"letters of other scripts", L"Caf\u00e9 \u65e5\u672c \u0627",
       L"Caf\u00e9 \u65e5\u672c \u0627"},
      // Left to the output, which writes what it can carry.
      {"surrogates, paired or alone",
       unit(0xD83D) + unit(0xDE00) + unit(0xD800) + L"x" + unit(0xDFFF),
       unit(0xD83D) + unit(0xDE00) + unit(0xD800) + L"x" + unit(0xDFFF)},
      {"escapes of bytes that are not UTF-8", unit(0xDC80) + unit(0xDCFF),
       unit(0xDC80) + unit(0xDCFF)},
  };
  for (const ShownCase& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(showableText(row.text), row.shown);
    EXPECT_EQ(formatWide(L"[%s]", {row.text}), L"[" + row.shown + L"]");
  }
}

TEST(ShowableText, ValuesBeyondUnicodeBecomeAQuestionMark) {
  if (sizeof(wchar_t) < 4) {
    GTEST_SKIP() << "16-bit wide text cannot hold such a value";
  }
  EXPECT_EQ(showableText(L"a" + unit(0x110000) + unit(0xFFFFFFFF) + L"b"), L"a??b");
  EXPECT_EQ(showableText(unit(0x10FFFF)), unit(0x10FFFF));
}

// UTF-8 output (Linux, redirected output on Windows) cannot carry a lone surrogate: the encoder
// writes '?' for it, a byte that was not UTF-8 included.
TEST(ShowableText, LoneSurrogatesPrintAsAQuestionMarkInUtf8) {
  const std::wstring line = formatWide(L"%s\n", {L"bad" + unit(0xDCFF) + unit(0xD800) + L"z"});
  EXPECT_EQ(encodeUtf8(line, Unencodable::Replace), "bad??z\n");
}

}  // namespace
}  // namespace vellicor
