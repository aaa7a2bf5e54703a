#pragma once

// printf-style formatting of wide text, with the handful of conversions the program's messages
// use: %% %s %d %u and %llx, with an optional '0' flag and a field width. %llx also takes an
// affinity mask of any width. It is our own so that
// every platform formats alike (the C runtimes disagree on what %s means in wide text).
//
// Text arguments come from outside (image names, command lines, the program path); they are
// passed through showableText, so they can never drive the terminal or reorder what it shows.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/affinity_mask.h"
#include "platform/output.h"

namespace vellicor {

struct FormatArgument {
  enum class Kind { Text, Signed, Unsigned, Mask };
  Kind kind;
  std::wstring_view text;
  std::int64_t signedValue = 0;
  std::uint64_t unsignedValue = 0;
  const AffinityMask* mask = nullptr;  // borrowed for the one call

  FormatArgument(std::wstring_view value) : kind(Kind::Text), text(value) {}
  FormatArgument(const wchar_t* value) : FormatArgument(std::wstring_view(value)) {}
  FormatArgument(const std::wstring& value) : FormatArgument(std::wstring_view(value)) {}
  FormatArgument(std::int32_t value) : kind(Kind::Signed), signedValue(value) {}
  FormatArgument(std::uint32_t value) : kind(Kind::Unsigned), unsignedValue(value) {}
  FormatArgument(std::uint64_t value) : kind(Kind::Unsigned), unsignedValue(value) {}
  FormatArgument(const AffinityMask& value) : kind(Kind::Mask), mask(&value) {}
};

std::wstring formatWide(std::wstring_view format, std::initializer_list<FormatArgument> arguments);

// Formats and writes to the output in one step.
void printWide(Output& output, std::wstring_view format,
               std::initializer_list<FormatArgument> arguments = {});

// The text as it is, except that every character that could steer a terminal or reorder what it
// shows becomes '?': C0 controls other than the tab, DEL, C1 controls, U+061C, the bidirectional
// embeddings, overrides and isolates (U+202A to U+202E, U+2066 to U+2069), and values beyond
// U+10FFFF. Lone surrogates are left to the output, which writes them as it can.
std::wstring showableText(std::wstring_view text);

}  // namespace vellicor
