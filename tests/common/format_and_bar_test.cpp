#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/apply.h"
#include "common/mask_bar.h"
#include "common/wide_format.h"
#include "platform/simulated/captured_output.h"

namespace vellicor {
namespace {

std::wstring bar(std::uint64_t mask, std::uint32_t count) {
  simulated::CapturedOutput output;
  printMaskBar(output, mask, count);
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

TEST(MaskBar, DrawsNothingOutsideOneToSixtyFour) {
  EXPECT_EQ(bar(0xff, 0), L"");
  EXPECT_EQ(bar(0xff, 65), L"");
  EXPECT_EQ(bar(0xff, 4000000000u), L"");
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
  EXPECT_EQ(showableText(L"Caf\u00e9 \u65e5\u672c"), L"Caf\u00e9 \u65e5\u672c");
  EXPECT_EQ(showableText(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x"), L"?x");
}

}  // namespace
}  // namespace vellicor
