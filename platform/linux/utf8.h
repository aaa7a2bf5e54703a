#pragma once

// UTF-8, the byte encoding of names, arguments and terminal output on Linux, to and from the
// wide text the program works in (UTF-32 in a Linux wchar_t).

#include <string>
#include <string_view>

namespace vellicor::linux_platform {

// Every malformed sequence (stray continuation byte, overlong form, encoded surrogate, value
// beyond U+10FFFF, sequence cut short) becomes one U+FFFD per maximal bad subpart, so the text
// that follows it is still read correctly.
std::wstring decodeUtf8(std::string_view bytes);

// A surrogate pair is joined into its character; a lone surrogate or a value that is no
// character at all is written as '?'.
std::string encodeUtf8(std::wstring_view text);
void appendUtf8(std::wstring_view text, std::string& bytes);

}  // namespace vellicor::linux_platform
