// Text and answers from outside the program, through the whole run on a simulated machine: a
// hostile text as an image name, a name target, a pattern, the program path and a command to
// launch; digits of every script the conversions know; lengths beyond the usual. The output shows
// such text with its controls replaced and never treats it as a format.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/run.h"
#include "ports/simulated/captured_output.h"
#include "ports/simulated/simulated_platform.h"

namespace vellicor {
namespace {

using simulated::CapturedOutput;
using simulated::QueryAnswer;
using simulated::SimulatedPlatform;

// What a terminal would act on: C0 controls other than the line feed and the tab, DEL, C1
// controls, the Arabic letter mark, the bidirectional embeddings, overrides and isolates. (Lone
// surrogates steer nothing; each output writes them as it can.)
bool canSteerATerminal(wchar_t character) {
  const auto code = static_cast<std::uint32_t>(character);
  return (code < 0x20 && code != L'\n' && code != L'\t') || (code >= 0x7F && code <= 0x9F) ||
         code == 0x061C || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069) || code > 0x10FFFF;
}

testing::AssertionResult isInert(const std::wstring& output) {
  for (std::size_t i = 0; i < output.size(); ++i) {
    if (canSteerATerminal(output[i])) {
      return testing::AssertionFailure()
             << "character " << static_cast<std::uint32_t>(output[i]) << " at " << i;
    }
  }
  return testing::AssertionSuccess();
}

class OutsideText : public testing::Test {
 protected:
  void SetUp() override {
    platform.useSimpleTopology(4, 2);  // 8 processors: two hexadecimal digits
    platform.processes = {{4242, L"notepad.exe", 0xff, 0xff}, {4243, L"calc.exe", 0x0f, 0xff}};
  }

  int run(std::vector<std::wstring> words, const std::wstring& programPath = L"vellicor.exe") {
    words.insert(words.begin(), programPath);
    arguments = std::move(words);
    return runAffinityRequest(platform, output, arguments);
  }

  SimulatedPlatform platform;
  CapturedOutput output;
  std::vector<std::wstring> arguments;
};

struct HostileText {
  const char* label;
  std::wstring text;
  std::wstring shownAs;
};

void PrintTo(const HostileText& row, std::ostream* out) {
  *out << row.label;
}

std::wstring lone(std::uint32_t code) {
  return std::wstring(1, static_cast<wchar_t>(code));
}

const HostileText kHostileTexts[] = {
    {"format characters", L"%s%n%d%x%ls%p%%", L"%s%n%d%x%ls%p%%"},
    {"escape sequence", L"\x1b]0;owned\x07\x1b[2J", L"?]0;owned??[2J"},
    {"C0 controls and DEL",
     L"a\rc\bd\x7f"
     L"e\x01",
     L"a?c?d?e?"},
    {"C1 controls",
     L"x\x9b"
     L"31m\x85y",
     L"x?31m?y"},
    {"reordering marks", L"exe.\u202etxt\u2066\u061c", L"exe.?txt??"},
    {"edges of the bidirectional ranges", L"\u202a\u202e\u2066\u2069", L"????"},
    // A tab typed in a command, direction marks in a path or name: they steer nothing, and without
    // them the text names something that does not exist.
    {"tab and direction marks", L"a\tb\u200ec\u200f.exe", L"a\tb\u200ec\u200f.exe"},
    {"lone surrogates", L"a" + lone(0xD800) + L"b" + lone(0xDFFF) + lone(0xDC80),
     L"a" + lone(0xD800) + L"b" + lone(0xDFFF) + lone(0xDC80)},
    {"260 characters", std::wstring(256, L'n') + L".exe", std::wstring(256, L'n') + L".exe"},
    {"32,767 characters", std::wstring(32767, L'%'), std::wstring(32767, L'%')},
};

class HostileImageName : public OutsideText, public testing::WithParamInterface<HostileText> {};

TEST_P(HostileImageName, IsShownInEveryLineThatNamesTheProcess) {
  const HostileText& row = GetParam();
  platform.processes[1].imageName = row.text;
  platform.processes.push_back({4244, row.text, 0xff, 0xff, true});
  platform.processes.push_back({4245, row.text, 0xff, 0xff, false, true});
  platform.processes.push_back({4246, row.text, 0xff, 0xff, false, false, true});
  EXPECT_EQ(run({L"/p", L"/x:1", L"4243", L"4244", L"4245", L"4246"}), 0);
  EXPECT_EQ(output.text, row.shownAs + L", pid:4243, mask:0f -> 01\n" + row.shownAs +
                             L", No access right!\n" + row.shownAs +
                             L", Fail GetProcessAffinityMask!\n" + row.shownAs +
                             L", Fail SetProcessAffinityMask!\n");
  EXPECT_TRUE(isInert(output.text));
}

TEST_P(HostileImageName, IsSelectedByTheSameTextOnly) {
  const HostileText& row = GetParam();
  platform.processes[1].imageName = row.text;
  EXPECT_EQ(run({row.text}), 0);
  EXPECT_EQ(output.text, L"----****  mask:0f, pid:4243, " + row.shownAs + L"\n");
  EXPECT_TRUE(isInert(output.text));
}

INSTANTIATE_TEST_SUITE_P(Texts, HostileImageName, testing::ValuesIn(kHostileTexts));

class HostileArgument : public OutsideText, public testing::WithParamInterface<HostileText> {};

TEST_P(HostileArgument, AsTheProgramPathIsShownInTheUsage) {
  const HostileText& row = GetParam();
  EXPECT_EQ(run({}, row.text), 1);
  EXPECT_NE(output.text.find(L"usage: " + row.shownAs + L" [/?:mask]"), std::wstring::npos);
  EXPECT_NE(output.text.find(L"\n     " + row.shownAs + L" /l\n"), std::wstring::npos);
  EXPECT_TRUE(isInert(output.text));
}

TEST_P(HostileArgument, AsACommandThatCannotStartIsShownInTheFailure) {
  const HostileText& row = GetParam();
  platform.creationFails = true;
  platform.commandLine = L"vellicor.exe /e " + row.text;
  EXPECT_EQ(run({L"/e", row.text}), 1);
  EXPECT_EQ(output.text, L"Not found: " + row.shownAs);
  EXPECT_TRUE(isInert(output.text));
}

// As a pattern it either fails to build, with the pattern error, or is a pattern like any
// other: here it matches nothing, and no mask is set.
TEST_P(HostileArgument, AsAPatternIsNeverPrinted) {
  const HostileText& row = GetParam();
  const int status = run({L"/g", L"/x:1", row.text});
  if (status == 1) {
    EXPECT_EQ(output.text, L"Invalid regex string!\n");
  } else {
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output.text, L"");
  }
  EXPECT_TRUE(platform.callsStartingWith("SetProcessAffinityMask").empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, HostileArgument, testing::ValuesIn(kHostileTexts));

// An image name full of pattern syntax is matched as text by a name target, and as a pattern only
// with /g.
TEST_F(OutsideText, ANameMadeOfPatternSyntaxIsMatchedAsText) {
  platform.processes[1].imageName = L".*(a|b)[x]";
  EXPECT_EQ(run({L"/x:1", L".*(A|B)[X]"}), 0);
  EXPECT_EQ(output.text, L".*(a|b)[x], pid:4243, mask:0f -> 01\n");
}

// The identifier 4243 in each of the eighteen scripts whose decimal digits the conversion reads.
class ScriptDigits : public OutsideText, public testing::WithParamInterface<std::uint32_t> {};

TEST_P(ScriptDigits, SelectAProcessByIdentifierAndGiveAMask) {
  const std::uint32_t zero = GetParam();
  std::wstring identifier;
  for (char digit : std::string("4243")) {
    identifier.push_back(static_cast<wchar_t>(zero + static_cast<std::uint32_t>(digit - '0')));
  }
  const std::wstring one(1, static_cast<wchar_t>(zero + 1));
  EXPECT_EQ(run({L"/p", L"/d:" + one + one, identifier}), 0);
  EXPECT_EQ(output.text, L"calc.exe, pid:4243, mask:0f -> 0b\n");
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptDigits,
                         testing::Values(0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6,
                                         0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20,
                                         0x1040, 0x17E0, 0x1810, 0xFF10));

// Number-like characters that are no decimal digits read as no number: identifier 0, mask 0.
TEST_F(OutsideText, NumberLikeCharactersAreNoDigits) {
  platform.processes.push_back({0, L"[System Process]", 0xff, 0xff});
  for (const wchar_t* notADigit : {L"\u00b2", L"\u2162", L"\u0bef", L"\U0001d7d9"}) {
    SCOPED_TRACE(static_cast<std::uint32_t>(notADigit[0]));
    output.text.clear();
    EXPECT_EQ(run({L"/p", std::wstring(L"/d:") + notADigit, notADigit}), 0);
    EXPECT_EQ(output.text, L"********  mask:ff, pid:0, [System Process]\n");
  }
}

// A platform whose query claims, on success, more bytes than the buffer it was given holds; the
// bytes past the buffer describe processors that do not exist.
class OverstatingPlatform : public SimulatedPlatform {
 public:
  std::unique_ptr<std::byte[]> allocateBuffer(std::uint32_t length) override {
    allocated = length;
    auto buffer = std::make_unique<std::byte[]>(length + 2 * kLogicalProcessorRecordSize);
    writeCore(buffer.get(), 0x3);
    writeCore(buffer.get() + length, 0xf0);
    writeCore(buffer.get() + length + kLogicalProcessorRecordSize, 0xf00);
    return buffer;
  }
  std::uint32_t allocated = 0;

 private:
  static void writeCore(std::byte* record, std::uint64_t mask) {
    std::memcpy(record + kProcessorMaskOffset, &mask, sizeof mask);
    std::memcpy(record + kRelationshipOffset, &RelationProcessorCore, sizeof RelationProcessorCore);
  }
};

TEST(OutsideAnswers, AQueryThatClaimsMoreThanItsBufferIsReadOnlyAsFarAsTheBuffer) {
  OverstatingPlatform platform;
  platform.scriptedAnswers = {QueryAnswer{false, kErrorInsufficientBuffer, 32},
                              QueryAnswer{true, 0, 96}};
  CapturedOutput output;
  std::vector<std::wstring> arguments = {L"vellicor.exe", L"/c"};
  EXPECT_EQ(runAffinityRequest(platform, output, arguments), 1);
  ASSERT_EQ(platform.allocated, 32u);
  EXPECT_NE(output.text.find(L"Number of Logical Processor: 2\n"), std::wstring::npos)
      << output.text;
}

}  // namespace
}  // namespace vellicor
