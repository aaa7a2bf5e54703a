#pragma once

// UTF-8, the byte encoding of names, arguments and output on Linux and of redirected output on
// Windows, to and from the program's wide text (UTF-32 in a Linux wchar_t, UTF-16 on Windows).
//
// No byte is ever lost: a byte that is not part of well-formed UTF-8 decodes to a wide character
// of its own, the lone surrogate U+DC80 + byte, which encodes back to that byte. So a file name
// or an argument that is not UTF-8 survives the trip through wide text exactly, and a target
// selects only names with its own bytes.

#include <cstdint>
#include <string>
#include <string_view>

namespace vellicor {

// The surrogates: halves of a UTF-16 pair, or, alone, the escape of a byte.
bool isHighSurrogate(std::uint32_t code);
bool isLowSurrogate(std::uint32_t code);

// What encoding does with the wide characters UTF-8 cannot hold: the escapes of undecodable
// bytes, other lone surrogates and values beyond U+10FFFF.
enum class Unencodable {
  // An escape becomes its byte again (file names, a command's words); the rest becomes '?'.
  RestoreBytes,
  // All become '?', so the bytes written are always well-formed UTF-8 (output).
  Replace,
};

std::wstring decodeUtf8(std::string_view bytes);

// A surrogate pair is joined into its character.
std::string encodeUtf8(std::wstring_view text, Unencodable unencodable);
void appendUtf8(std::wstring_view text, std::string& bytes, Unencodable unencodable);

}  // namespace vellicor
