#include "platform/windows/console_output.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>

#include "common/utf8.h"

namespace vellicor::windows_platform {

namespace {

// Beyond this much pending text a long unfinished line is written out in parts.
constexpr std::size_t kPendingLimit = 8192;
// WriteConsoleW on older consoles refuses very large requests.
constexpr DWORD kConsoleChunk = 8192;

bool isConsole(HANDLE stream) {
  DWORD mode = 0;
  return GetConsoleMode(stream, &mode) != FALSE;
}

// A stream that refuses a write (a closed pipe, say) gets nothing more; there is nowhere left to
// report that.
void writeToConsole(HANDLE stream, std::wstring_view text) {
  while (!text.empty()) {
    DWORD count = static_cast<DWORD>(std::min<std::size_t>(text.size(), kConsoleChunk));
    DWORD written = 0;
    if (!WriteConsoleW(stream, text.data(), count, &written, nullptr) || written == 0) {
      return;
    }
    text.remove_prefix(written);
  }
}

void writeToFile(HANDLE stream, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written == 0) {
      return;
    }
    bytes.remove_prefix(written);
  }
}

}  // namespace

std::wstring withCarriageReturns(std::wstring_view text) {
  std::wstring result;
  result.reserve(text.size() + text.size() / 16);
  for (wchar_t character : text) {
    if (character == L'\n') {
      result.push_back(L'\r');
    }
    result.push_back(character);
  }
  return result;
}

ConsoleOutput::ConsoleOutput() : ConsoleOutput(GetStdHandle(STD_OUTPUT_HANDLE)) {}

ConsoleOutput::ConsoleOutput(void* stream) : stream_(stream), console_(isConsole(stream)) {}

ConsoleOutput::~ConsoleOutput() {
  flush();
}

void ConsoleOutput::writeText(std::wstring_view text) {
  pending_.append(text);
  // A finished line goes out at once: a command launched with /e shares this stream and must not
  // get its output in ahead of the line about it.
  if (text.find(L'\n') != std::wstring_view::npos || pending_.size() > kPendingLimit) {
    flush();
  }
}

void ConsoleOutput::writeBarCharacter(char character) {
  pending_.push_back(static_cast<wchar_t>(static_cast<unsigned char>(character)));
}

void ConsoleOutput::flush() {
  if (pending_.empty()) {
    return;
  }
  std::wstring text = withCarriageReturns(pending_);
  pending_.clear();
  HANDLE stream = static_cast<HANDLE>(stream_);
  if (console_) {
    writeToConsole(stream, text);
  } else {
    writeToFile(stream, encodeUtf8(text, Unencodable::Replace));
  }
}

}  // namespace vellicor::windows_platform
