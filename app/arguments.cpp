#include "app/arguments.h"

#include "common/banner.h"
#include "common/wide_format.h"
#include "common/wide_number.h"

namespace vellicor {

namespace {

// What one option argument sets; the radix and the number flag live only while it is read.
struct OptionValue {
  int maskBase = 0;  // 2, 8, 10 or 16 once a radix letter is seen
  bool numberFlag = false;
};

OptionValue applyOptionLetter(wchar_t letter, CommandRequest& request) {
  OptionValue value;
  switch (letter) {
    case L'b':
      value.maskBase = 2;
      break;
    case L'o':
      value.maskBase = 8;
      break;
    case L'd':
      value.maskBase = 10;
      break;
    case L'x':
      value.maskBase = 16;
      break;
    case L'n':
      value.numberFlag = true;
      break;
    case L'g':
      request.patternMode = true;
      break;
    case L'p':
      request.pidMode = true;
      break;
    case L'l':
      request.listMode = true;
      break;
    case L'e':
      request.launchMode = true;
      break;
    case L'c':
      request.reportMode = true;
      break;
    default:
      break;
  }
  return value;
}

void applyOptionValue(const OptionValue& option, std::wstring_view text, std::uint32_t maskBits,
                      CommandRequest& request) {
  if (option.maskBase != 0) {
    request.requestedMask = wideToMask(text, option.maskBase, maskBits);
  } else if (option.numberFlag) {
    // Only the low 32 bits of the number count, read as a signed value.
    auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(wideToSigned64(text)));
    request.requestedMask = numberToMask(static_cast<std::int32_t>(low), maskBits);
  }
}

}  // namespace

CommandRequest parseArguments(const std::vector<std::wstring>& arguments, std::uint32_t maskBits) {
  CommandRequest request;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    std::wstring_view argument = arguments[i];
    if (argument.empty() || (argument[0] != L'-' && argument[0] != L'/')) {
      request.targets.push_back(argument);
      continue;
    }
    if (argument.size() < 2) {
      continue;
    }
    OptionValue option = applyOptionLetter(argument[1], request);
    if (argument.size() >= 3 && argument[2] == L':') {
      applyOptionValue(option, argument.substr(3), maskBits, request);
    }
  }
  return request;
}

std::uint32_t requestedMaskBits(std::uint32_t span) {
  constexpr std::uint32_t kWordBits = 64;
  return span <= kWordBits ? kWordBits : (span + kWordBits - 1) / kWordBits * kWordBits;
}

AffinityMask numberToMask(std::int32_t n, std::uint32_t maskBits) {
  AffinityMask mask;
  if (n >= 1 && static_cast<std::uint32_t>(n) <= maskBits) {
    mask.setRange(0, static_cast<std::uint32_t>(n) - 1);
  }
  return mask;
}

void printUsage(Output& output, std::wstring_view programPath) {
  output.writeText(kBanner);
  printWide(output,
            L"usage: %s [/?:mask] [n:number] [/g] [/p] [/l] [/c] [/e] process ...\n"
            L"    /b bianry form\n"
            L"    /o octed form\n"
            L"    /d decimal form\n"
            L"    /x hexadecimal form\n"
            L"    /n Set by Number\n"
            L"    /g Use regular expression\n"
            L"    /p Specify by PID\n"
            L"    /l List process\n"
            L"    /c Print Processor Information\n"
            L"    /e command ...\n"
            L" ex. %s /x:03fc /g \"TMPGEnc.*\"\n"
            L"     %s /l\n",
            {programPath, programPath, programPath});
}

}  // namespace vellicor
