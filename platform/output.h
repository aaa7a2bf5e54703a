#pragma once

// The seam for the one standard-output stream. Formatted wide text and the single 8-bit
// characters of a mask bar arrive here in program order; each platform decides how they reach
// the stream (UTF-8 on Linux, the console or a byte stream on Windows, a string in the tests).

#include <string_view>

namespace vellicor {

class Output {
 public:
  virtual ~Output() = default;
  virtual void writeText(std::wstring_view text) = 0;
  virtual void writeBarCharacter(char character) = 0;
  // Hands everything written so far to the stream, before another program may write to it.
  virtual void flush() {}
  // True once text was lost because the stream refused it for a reason other than its reader
  // having gone away (a full disk, say). The run then ends with status 1: lost output is no
  // success. A reader that went away (`vellicor /l | head -1`) only ends the output.
  virtual bool writeFailed() const { return false; }
};

}  // namespace vellicor
