#pragma once

#include <string>

#include "platform/output.h"

namespace vellicor::simulated {

// Everything the program writes to standard output, in order; bar characters become wide
// characters of the same value.
class CapturedOutput : public Output {
 public:
  std::wstring text;
  // A stream that takes nothing (a full disk): every write is lost and reported as lost.
  bool refuseWrites = false;

  void writeText(std::wstring_view part) override {
    if (!refuseWrites) {
      text.append(part);
    }
  }
  void writeBarCharacter(char character) override {
    if (!refuseWrites) {
      text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(character)));
    }
  }
  bool writeFailed() const override { return refuseWrites; }
};

}  // namespace vellicor::simulated
