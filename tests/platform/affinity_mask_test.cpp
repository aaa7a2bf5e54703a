#include "platform/affinity_mask.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace vellicor {
namespace {

AffinityMask maskOf(const std::vector<std::uint32_t>& processors) {
  AffinityMask mask;
  for (std::uint32_t processor : processors) {
    mask.set(processor);
  }
  return mask;
}

std::vector<std::uint32_t> processorsOf(const AffinityMask& mask) {
  std::vector<std::uint32_t> processors;
  for (std::uint32_t processor = 0; processor < mask.wordCount() * 64; ++processor) {
    if (mask.test(processor)) {
      processors.push_back(processor);
    }
  }
  return processors;
}

std::string hex(const AffinityMask& mask) {
  std::ostringstream text;
  text << mask;
  return text.str();
}

TEST(AffinityMask, RangesCrossWordBoundaries) {
  AffinityMask mask;
  mask.setRange(62, 65);
  mask.setRange(127, 128);
  EXPECT_EQ(processorsOf(mask), (std::vector<std::uint32_t>{62, 63, 64, 65, 127, 128}));
  EXPECT_EQ(mask.count(), 6u);
  EXPECT_EQ(mask.span(), 129u);
  EXPECT_EQ(hex(mask), "18000000000000003c000000000000000");

  AffinityMask whole;
  whole.setRange(0, 191);
  EXPECT_EQ(whole.wordCount(), 3u);
  EXPECT_EQ(whole.count(), 192u);
  EXPECT_EQ(whole.span(), 192u);
  whole.setRange(5, 4);  // an empty range sets nothing
  EXPECT_EQ(whole.count(), 192u);
}

TEST(AffinityMask, EmptyMasksOfAnyWidthAreEqual) {
  AffinityMask wide;
  wide.setWord(3, 0);  // a zero word beyond the end adds nothing
  EXPECT_EQ(wide.wordCount(), 0u);
  wide.set(200);
  wide.clear();
  EXPECT_TRUE(wide.none());
  EXPECT_EQ(wide.span(), 0u);
  EXPECT_EQ(hex(wide), "0");
  EXPECT_EQ(wide, AffinityMask());
  EXPECT_EQ(wide, AffinityMask(0));
  AffinityMask widened(0x5);
  widened.setWord(2, 0);
  EXPECT_EQ(widened, AffinityMask(0x5));
  EXPECT_FALSE(widened == maskOf({0, 2, 128}));
}

TEST(AffinityMask, CombinesMasksOfDifferentWidths) {
  const AffinityMask narrow = maskOf({0, 5, 63});
  const AffinityMask wide = maskOf({5, 64, 200});

  AffinityMask both = narrow;
  both.intersect(wide);
  EXPECT_EQ(processorsOf(both), std::vector<std::uint32_t>{5});
  both = wide;
  both.intersect(narrow);
  EXPECT_EQ(processorsOf(both), std::vector<std::uint32_t>{5});

  AffinityMask onlyWide = wide;
  onlyWide.subtract(narrow);
  EXPECT_EQ(processorsOf(onlyWide), (std::vector<std::uint32_t>{64, 200}));
  AffinityMask onlyNarrow = narrow;
  onlyNarrow.subtract(wide);
  EXPECT_EQ(processorsOf(onlyNarrow), (std::vector<std::uint32_t>{0, 63}));

  AffinityMask either = narrow;
  either.unite(wide);
  EXPECT_EQ(processorsOf(either), (std::vector<std::uint32_t>{0, 5, 63, 64, 200}));

  EXPECT_TRUE(narrow.overlaps(wide));
  EXPECT_FALSE(maskOf({200}).overlaps(narrow));
  EXPECT_TRUE(either.includes(narrow));
  EXPECT_TRUE(either.includes(wide));
  EXPECT_FALSE(narrow.includes(wide));
  EXPECT_TRUE(narrow.includes(AffinityMask()));
}

TEST(AffinityMask, ReusedMasksKeepNothingOfTheirLastValue) {
  AffinityMask reused = maskOf({1, 300});
  reused.assignWords(std::vector<std::uint64_t>{0x2});
  EXPECT_EQ(processorsOf(reused), std::vector<std::uint32_t>{1});
  reused = AffinityMask(0x8000000000000000);
  EXPECT_EQ(processorsOf(reused), std::vector<std::uint32_t>{63});
  EXPECT_EQ(reused.span(), 64u);
}

}  // namespace
}  // namespace vellicor
