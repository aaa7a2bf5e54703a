#include "ports/linux/cpu_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor::linux_platform {
namespace {

using namespace std::string_literals;

std::vector<unsigned> cpusOf(const AffinityMask& cpus) {
  std::vector<unsigned> result;
  for (unsigned cpu = 0; cpu < cpus.wordCount() * 64; ++cpu) {
    if (cpus.test(cpu)) {
      result.push_back(cpu);
    }
  }
  return result;
}

std::vector<unsigned> range(unsigned first, unsigned last) {
  std::vector<unsigned> result;
  for (unsigned cpu = first; cpu <= last; ++cpu) {
    result.push_back(cpu);
  }
  return result;
}

struct ParseCase {
  std::string text;
  bool valid;
  std::vector<unsigned> cpus;
};

void expectParses(bool (*parse)(std::string_view, AffinityMask&),
                  const std::vector<ParseCase>& cases) {
  for (const ParseCase& row : cases) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    AffinityMask cpus;
    cpus.set(500);  // whatever was there before must not survive
    EXPECT_EQ(parse(row.text, cpus), row.valid);
    EXPECT_EQ(cpusOf(cpus), row.cpus);
  }
}

TEST(ParseCpuList, AcceptsKernelLists) {
  expectParses(parseCpuList, {
                                 {"", true, {}},
                                 {"\n", true, {}},
                                 {"0\n", true, {0}},
                                 {"0-3,8,10-11\n", true, {0, 1, 2, 3, 8, 10, 11}},
                                 {"5-5", true, {5}},
                                 {"62-65", true, {62, 63, 64, 65}},
                                 {"0-1\n\0"s, true, {0, 1}},
                                 {"3 \t\n\0\0"s, true, {3}},
                                 {"9,1", true, {1, 9}},
                                 {"32767", true, {32767}},
                             });
}

TEST(ParseCpuList, RejectsMalformedText) {
  expectParses(parseCpuList, {
                                 {"32768", false, {}},
                                 {"1048576", false, {}},
                                 {"0-4294967295", false, {}},
                                 {"99999999999999999999999", false, {}},
                                 {"3-1", false, {}},
                                 {"-1", false, {}},
                                 {"1-", false, {}},
                                 {"1,,2", false, {}},
                                 {",1", false, {}},
                                 {"1,", false, {}},
                                 {" 1", false, {}},
                                 {"1 2", false, {}},
                                 {"1-2-3", false, {}},
                                 {"1\n2", false, {}},
                                 {"0-3\0x"s, false, {}},
                                 {"+1", false, {}},
                                 {"0x1", false, {}},
                                 {"0-15:2", false, {}},
                             });
}

TEST(ParseCpuMask, AcceptsKernelMasks) {
  expectParses(parseCpuMask,
               {
                   {"", true, {}},
                   {"00000000\n", true, {}},
                   {"1", true, {0}},
                   {"FF", true, range(0, 7)},
                   {"0000ffff\n", true, range(0, 15)},
                   {"80000000,00000000", true, {63}},
                   {"1,00000000,00000000", true, {64}},
                   {"0000,00000001\n", true, {0}},
                   {"00000000,00000000,00000000,00000020\n\0"s, true, {5}},
                   {"0000,00000000,000000ff,ff000000,00000000,00000000\n", true, range(88, 103)},
               });
}

TEST(ParseCpuMask, RejectsMalformedText) {
  expectParses(parseCpuMask, {
                                 {"0x1", false, {}},
                                 {"g", false, {}},
                                 {"1,", false, {}},
                                 {",00000001", false, {}},
                                 {"1,,00000000", false, {}},
                                 {"123456789", false, {}},
                                 {"1,0000001", false, {}},
                                 {"1,000000001", false, {}},
                                 {" 1", false, {}},
                                 {"1 ,00000000", false, {}},
                                 {"-1", false, {}},
                                 {"1\n,00000000", false, {}},
                             });
}

TEST(ParseCpuMask, BoundsTheWidthBeforeAllocating) {
  std::string widest = "1";
  std::string tooWide = "1";
  for (unsigned i = 1; i < kCpuLimit / 32; ++i) {
    widest += ",00000000";
    tooWide += ",00000000";
  }
  tooWide += ",00000000";
  AffinityMask cpus;
  ASSERT_TRUE(parseCpuMask(widest, cpus));
  EXPECT_EQ(cpusOf(cpus), std::vector<unsigned>{kCpuLimit - 32});
  EXPECT_FALSE(parseCpuMask(tooWide, cpus));
  EXPECT_EQ(cpus.wordCount(), 0u);
}

}  // namespace
}  // namespace vellicor::linux_platform
