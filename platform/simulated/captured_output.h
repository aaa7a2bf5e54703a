#pragma once

#include <string>

#include "platform/output.h"

namespace vellicor::simulated {

// Everything the program writes to standard output, in order; bar characters become wide
// characters of the same value.
class CapturedOutput : public Output {
 public:
  std::wstring text;

  void writeText(std::wstring_view part) override { text.append(part); }
  void writeBarCharacter(char character) override {
    text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(character)));
  }
};

}  // namespace vellicor::simulated
