#pragma once

// Turns fuzzer bytes into wide text: every two bytes make one UTF-16 code unit, so digits of
// other scripts, controls and lone surrogates all turn up.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vellicor::fuzz {

inline std::wstring wideFrom(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

// Splits at wide NUL characters into words.
inline std::vector<std::wstring> wordsFrom(const std::wstring& text) {
  std::vector<std::wstring> words(1);
  for (wchar_t character : text) {
    if (character == L'\0') {
      words.emplace_back();
    } else {
      words.back().push_back(character);
    }
  }
  return words;
}

}  // namespace vellicor::fuzz
