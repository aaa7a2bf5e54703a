#include "ports/windows/console_output.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/utf8.h"

namespace vellicor::windows_platform {

namespace {

// Beyond this much pending text a long unfinished line is written out in parts.
constexpr std::size_t kPendingLimit = 8192;
// WriteConsoleW on older consoles refuses very large requests.
constexpr DWORD kConsoleChunk = 8192;

// No handle at all, or a value that names nothing: the program was given no output.
bool isNoStream(HANDLE stream) {
  return stream == nullptr || stream == INVALID_HANDLE_VALUE ||
         (GetFileType(stream) == FILE_TYPE_UNKNOWN && GetLastError() == ERROR_INVALID_HANDLE);
}

bool isConsole(HANDLE stream) {
  DWORD mode = 0;
  return GetConsoleMode(stream, &mode) != FALSE;
}

// True when position `at` of `text` falls between the two halves of a surrogate pair.
bool splitsAPair(std::wstring_view text, std::size_t at) {
  return at > 0 && at < text.size() && isHighSurrogate(static_cast<std::uint32_t>(text[at - 1])) &&
         isLowSurrogate(static_cast<std::uint32_t>(text[at]));
}

// The reader went away: the output ends, but nothing that was meant to be read is lost. Which of
// these a closed pipe answers depends on who made the pipe and who closed it.
bool readerWentAway(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

// A refused write for which Windows gave no reason still lost the text.
DWORD reasonOf(DWORD error) {
  return error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error;
}

// Returns ERROR_SUCCESS once all of `text` is out, or the error of the write that was refused.
DWORD writeToConsole(HANDLE stream, std::wstring_view text) {
  DWORD error = ERROR_SUCCESS;
  auto write = [stream, &error](std::wstring_view piece) -> std::size_t {
    DWORD written = 0;
    if (!WriteConsoleW(stream, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr)) {
      error = GetLastError();
      return 0;
    }
    return written;
  };
  return writeWholeCharacters(text, kConsoleChunk, write) ? ERROR_SUCCESS : reasonOf(error);
}

DWORD writeToFile(HANDLE stream, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      return reasonOf(GetLastError());
    }
    if (written == 0) {
      return ERROR_WRITE_FAULT;
    }
    bytes.remove_prefix(std::min<std::size_t>(written, bytes.size()));
  }
  return ERROR_SUCCESS;
}

}  // namespace

std::size_t consolePieceLength(std::wstring_view text, std::size_t limit) {
  std::size_t length = std::min(text.size(), limit);
  if (length > 1 && splitsAPair(text, length)) {
    --length;
  }
  return length;
}

bool writeWholeCharacters(std::wstring_view text, std::size_t limit, const ConsoleWrite& write) {
  while (!text.empty()) {
    const std::wstring_view piece = text.substr(0, consolePieceLength(text, limit));
    const std::size_t taken = std::min(write(piece), piece.size());
    if (taken == 0) {
      return false;
    }
    // A console that took a high half without its low half has it: sending it again would show
    // it twice, so the next call starts with the low half.
    text.remove_prefix(taken);
  }
  return true;
}

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

ConsoleOutput::ConsoleOutput(WriteWatch& writes)
    : ConsoleOutput(GetStdHandle(STD_OUTPUT_HANDLE), &writes) {}

ConsoleOutput::ConsoleOutput(void* stream, WriteWatch* writes)
    : stream_(stream), writes_(writes), console_(isConsole(stream)), stopped_(isNoStream(stream)) {}

ConsoleOutput::~ConsoleOutput() {
  flush();
}

void ConsoleOutput::writeText(std::wstring_view text) {
  if (stopped_) {
    return;
  }
  pending_.append(text);
  // A finished line goes out at once: a command launched with /e shares this stream and must not
  // get its output in ahead of the line about it.
  if (text.find(L'\n') != std::wstring_view::npos || pending_.size() > kPendingLimit) {
    flush();
  }
}

void ConsoleOutput::writeBarCharacter(char character) {
  if (stopped_) {
    return;
  }
  pending_.push_back(static_cast<wchar_t>(static_cast<unsigned char>(character)));
}

void ConsoleOutput::flush() {
  if (pending_.empty() || stopped_) {
    pending_.clear();
    return;
  }
  const std::wstring text = withCarriageReturns(pending_);
  pending_.clear();
  HANDLE stream = static_cast<HANDLE>(stream_);
  const std::string bytes = console_ ? std::string() : encodeUtf8(text, Unencodable::Replace);
  const WriteWatch::Write write(writes_, GetTickCount64());
  const DWORD error = console_ ? writeToConsole(stream, text) : writeToFile(stream, bytes);
  if (error != ERROR_SUCCESS) {
    stopped_ = true;
    writeFailed_ = !readerWentAway(error);
  }
}

}  // namespace vellicor::windows_platform
