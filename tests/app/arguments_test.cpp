#include "app/arguments.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vellicor {
namespace {

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

CommandRequest parse(std::vector<std::wstring> words) {
  words.insert(words.begin(), L"vellicor.exe");
  // The request borrows from the vector: keep it alive for the caller's checks.
  static std::vector<std::wstring> kept;
  kept = std::move(words);
  return parseArguments(kept, 64);
}

struct MaskCase {
  std::vector<std::wstring> words;
  std::uint64_t mask;
};

class RequestedMask : public testing::TestWithParam<MaskCase> {};

TEST_P(RequestedMask, IsReadFromTheLastValueOption) {
  EXPECT_EQ(parse(GetParam().words).requestedMask, GetParam().mask);
}

INSTANTIATE_TEST_SUITE_P(
    Options, RequestedMask,
    testing::Values(
        MaskCase{{}, 0}, MaskCase{{L"/x:03fc"}, 0x3fc}, MaskCase{{L"/x:0x3FC"}, 0x3fc},
        MaskCase{{L"/x:0X3fc"}, 0x3fc}, MaskCase{{L"/b:1010"}, 10}, MaskCase{{L"/b:102"}, 2},
        MaskCase{{L"/o:17"}, 15}, MaskCase{{L"/d:255"}, 255}, MaskCase{{L"-d:255"}, 255},
        MaskCase{{L"/x:"}, 0}, MaskCase{{L"/x:0x"}, 0}, MaskCase{{L"/x:zz"}, 0},
        MaskCase{{L"/d:-1"}, kAllOnes}, MaskCase{{L"/x:1ffffffffffffffff"}, kAllOnes},
        MaskCase{{L"/x:-1ffffffffffffffff"}, kAllOnes}, MaskCase{{L"/x:-1"}, kAllOnes},
        MaskCase{{L"/d:-2"}, kAllOnes - 1}, MaskCase{{L"/x:ffffffffffffffff"}, kAllOnes},
        MaskCase{{L"/d:18446744073709551615"}, kAllOnes},
        MaskCase{{L"/d:18446744073709551616"}, kAllOnes}, MaskCase{{L"/d: 42"}, 42},
        MaskCase{{L"/d:\t\n\v\f\r 42"}, 42}, MaskCase{{L"/d:\u00a0\u008542"}, 42},
        MaskCase{{L"/d:+42"}, 42}, MaskCase{{L"/d:+-42"}, 0}, MaskCase{{L"/d:4 2"}, 4},
        // Digits of other scripts count; letters beyond ASCII do not.
        MaskCase{{L"/d:\u0661\u0662"}, 12}, MaskCase{{L"/d:\uff13\uff14"}, 34},
        MaskCase{{L"/x:\u0967f"}, 0x1f}, MaskCase{{L"/x:\u0660x1f"}, 0x1f},
        MaskCase{{L"/d:\u00b2"}, 0}, MaskCase{{L"/x:\uff41"}, 0},
        // A radix letter is the second character only; longer option words still count.
        MaskCase{{L"/xyz:ff"}, 0}, MaskCase{{L"/x"}, 0}, MaskCase{{L"/X:ff"}, 0},
        MaskCase{{L"/n:4"}, 0xf}, MaskCase{{L"/n:1"}, 1}, MaskCase{{L"/n:64"}, kAllOnes},
        MaskCase{{L"/n:63"}, kAllOnes >> 1}, MaskCase{{L"/n:0"}, 0}, MaskCase{{L"/n:65"}, 0},
        MaskCase{{L"/n:-3"}, 0}, MaskCase{{L"/n:4294967300"}, 0xf},
        MaskCase{{L"/n:-4294967292"}, 0xf}, MaskCase{{L"/n:99999999999999999999"}, 0},
        MaskCase{{L"/n"}, 0}, MaskCase{{L"/l:5"}, 0},
        // Every value option overwrites the mask; the last one wins.
        MaskCase{{L"/x:ff", L"/n:2"}, 3}, MaskCase{{L"/n:2", L"/x:ff"}, 0xff},
        MaskCase{{L"/x:ff", L"/x:"}, 0}));

TEST(Arguments, TargetsKeepTheirOrderBetweenOptions) {
  CommandRequest request = parse({L"notepad.exe", L"/x:3", L"calc.exe", L"", L"TMPGEnc.*"});
  ASSERT_EQ(request.targets.size(), 4u);
  EXPECT_EQ(request.targets[0], L"notepad.exe");
  EXPECT_EQ(request.targets[1], L"calc.exe");
  EXPECT_EQ(request.targets[2], L"");
  EXPECT_EQ(request.targets[3], L"TMPGEnc.*");
  EXPECT_EQ(request.requestedMask, 3u);
}

TEST(Arguments, FlagsAreSetByTheirLetterAnywhereAndNeverCleared) {
  CommandRequest request = parse({L"a", L"/c", L"-l", L"b", L"/p", L"/g", L"/e", L"/list"});
  EXPECT_TRUE(request.reportMode);
  EXPECT_TRUE(request.listMode);
  EXPECT_TRUE(request.pidMode);
  EXPECT_TRUE(request.patternMode);
  EXPECT_TRUE(request.launchMode);
  EXPECT_EQ(request.targets.size(), 2u);
}

TEST(Arguments, OnlyTheSecondCharacterSelectsTheOption) {
  CommandRequest gp = parse({L"/gp"});
  EXPECT_TRUE(gp.patternMode);
  EXPECT_FALSE(gp.pidMode);
  CommandRequest upper = parse({L"/L", L"/C", L"/E", L"/P", L"/G"});
  EXPECT_FALSE(upper.listMode || upper.reportMode || upper.launchMode || upper.pidMode ||
               upper.patternMode);
  EXPECT_TRUE(upper.targets.empty());
}

TEST(Arguments, BareSlashOrDashChangesNothing) {
  CommandRequest request = parse({L"/", L"-"});
  EXPECT_TRUE(request.targets.empty());
  EXPECT_EQ(request.requestedMask, 0u);
  EXPECT_FALSE(request.listMode);
}

TEST(Arguments, NoArgumentsKeepInitialValues) {
  std::vector<std::wstring> programOnly{L"vellicor.exe"};
  CommandRequest request = parseArguments(programOnly, 64);
  EXPECT_TRUE(request.targets.empty());
  EXPECT_EQ(request.requestedMask, 0u);
  EXPECT_FALSE(request.reportMode || request.listMode || request.pidMode || request.patternMode ||
               request.launchMode);
  EXPECT_TRUE(parseArguments({}, 64).targets.empty());
}

AffinityMask lowest(std::uint32_t bits) {
  AffinityMask mask;
  mask.setRange(0, bits - 1);
  return mask;
}

AffinityMask wideValue(std::uint64_t high, std::uint64_t low) {
  AffinityMask mask(low);
  mask.setWord(1, high);
  return mask;
}

// On a machine with processor numbers beyond 63, masks are read at a width of whole 64-bit words
// (128 bits here) by the same rules: saturation beyond the width, two's complement of a '-'.
struct WideCase {
  std::vector<std::wstring> words;
  AffinityMask mask;
};

class WideRequestedMask : public testing::TestWithParam<WideCase> {};

TEST_P(WideRequestedMask, IsReadAtTheMachinesWidth) {
  std::vector<std::wstring> arguments{L"vellicor"};
  arguments.insert(arguments.end(), GetParam().words.begin(), GetParam().words.end());
  EXPECT_EQ(parseArguments(arguments, 128).requestedMask, GetParam().mask);
}

INSTANTIATE_TEST_SUITE_P(
    Options, WideRequestedMask,
    testing::Values(WideCase{{L"/x:400000000000000000"}, wideValue(0x40, 0)},
                    WideCase{{L"/x:1ffffffffffffffff"}, wideValue(1, kAllOnes)},
                    WideCase{{L"/x:ffffffffffffffffffffffffffffffff"}, lowest(128)},
                    WideCase{{L"/x:1ffffffffffffffffffffffffffffffff"}, lowest(128)},
                    WideCase{{L"/x:-1ffffffffffffffffffffffffffffffff"}, lowest(128)},
                    WideCase{{L"/d:-1"}, lowest(128)},
                    WideCase{{L"/x:-2"}, wideValue(kAllOnes, kAllOnes - 1)},
                    WideCase{{L"/x:-10000000000000000"}, wideValue(kAllOnes, 0)},
                    WideCase{{L"/d:18446744073709551616"}, wideValue(1, 0)},
                    WideCase{{L"/d:340282366920938463463374607431768211455"}, lowest(128)},
                    WideCase{{L"/d:340282366920938463463374607431768211456"}, lowest(128)},
                    WideCase{{L"/o:2000000000000000000000"}, wideValue(1, 0)},
                    WideCase{{L"/b:1" + std::wstring(70, L'0')}, wideValue(0x40, 0)},
                    WideCase{{L"/n:96"}, lowest(96)}, WideCase{{L"/n:128"}, lowest(128)},
                    WideCase{{L"/n:129"}, AffinityMask()}, WideCase{{L"/n:65"}, lowest(65)},
                    WideCase{{L"/x:3"}, 3}));

TEST(RequestedMaskBits, AreWholeWordsCoveringEveryProcessorNumber) {
  EXPECT_EQ(requestedMaskBits(1), 64u);
  EXPECT_EQ(requestedMaskBits(64), 64u);
  EXPECT_EQ(requestedMaskBits(65), 128u);
  EXPECT_EQ(requestedMaskBits(96), 128u);
  EXPECT_EQ(requestedMaskBits(1024), 1024u);
  EXPECT_EQ(requestedMaskBits(1025), 1088u);
}

TEST(NumberToMask, SetsTheLowestNBits) {
  EXPECT_EQ(numberToMask(0, 64), 0u);
  EXPECT_EQ(numberToMask(1, 64), 1u);
  EXPECT_EQ(numberToMask(8, 64), 0xffu);
  EXPECT_EQ(numberToMask(64, 64), kAllOnes);
  EXPECT_EQ(numberToMask(65, 64), 0u);
  EXPECT_EQ(numberToMask(-1, 64), 0u);
  EXPECT_EQ(numberToMask(INT32_MIN, 64), 0u);
}

}  // namespace
}  // namespace vellicor
