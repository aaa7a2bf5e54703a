#include "ports/linux/command_line.h"

// The splitting follows CommandLineToArgvW as Windows really behaves, including its treatment of
// runs of double quotes (the rule older C runtimes shared): a program started by /e must see the
// words a Windows user would expect from the same command line.
//
// Decisions of our own:
// - An empty command line has no words. (Windows answers with the path of the calling program,
//   which would make /e start Vellicor itself.)
// - Any other line has a program name as its first word, even an empty one: a line of blanks is
//   one empty program name, as a line that begins with a blank is on Windows.

namespace vellicor::linux_platform {

namespace {

bool isBlank(wchar_t character) {
  return character == L' ' || character == L'\t';
}

bool needsQuotes(std::wstring_view word) {
  return word.empty() || word.find_first_of(L" \t") != std::wstring_view::npos;
}

// The program name ends at the first blank, or, when it starts with a quote, at the next quote;
// backslashes mean nothing there because Windows paths are full of them.
std::size_t splitProgramName(std::wstring_view line, std::wstring& name) {
  std::size_t position = 0;
  if (!line.empty() && line[0] == L'"') {
    position = 1;
    while (position < line.size() && line[position] != L'"') {
      name.push_back(line[position]);
      ++position;
    }
    if (position < line.size()) {
      ++position;  // the closing quote; whatever follows it starts the next word
    }
    return position;
  }
  while (position < line.size() && !isBlank(line[position])) {
    name.push_back(line[position]);
    ++position;
  }
  return position;
}

// A run of backslashes before a quote is halved, and an odd one left over makes the quote a
// literal. Each quote that is not literal moves a counter through 0 (outside quotes), 1 (inside)
// and 2; a third quote in a row is written out and the counter starts again at 0, and a run that
// leaves the counter at 2 ends the quoted part. So "" inside quotes gives one quote and leaves
// the quoted part, and """ outside gives one quote.
std::size_t splitQuote(std::wstring_view line, std::size_t position, std::size_t backslashes,
                       int& quoteCount, std::wstring& word) {
  word.resize(word.size() - backslashes / 2);
  if (backslashes % 2 == 0) {
    ++quoteCount;
  } else {
    word.back() = L'"';  // the odd backslash becomes the escaped quote
  }
  ++position;
  while (position < line.size() && line[position] == L'"') {
    if (++quoteCount == 3) {
      word.push_back(L'"');
      quoteCount = 0;
    }
    ++position;
  }
  if (quoteCount == 2) {
    quoteCount = 0;
  }
  return position;
}

void appendEscaped(std::wstring& line, std::wstring_view word) {
  bool quoted = needsQuotes(word);
  if (quoted) {
    line.push_back(L'"');
  }
  std::size_t backslashes = 0;
  for (wchar_t character : word) {
    if (character == L'\\') {
      ++backslashes;
      continue;
    }
    if (character == L'"') {
      line.append(2 * backslashes + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line.push_back(character);
  }
  // Before the closing quote the backslashes must be doubled so that they don't escape it.
  line.append(quoted ? 2 * backslashes : backslashes, L'\\');
  if (quoted) {
    line.push_back(L'"');
  }
}

// The program name knows no escapes, so a name that holds a quote can be written only as it is,
// and only when it has no blank and doesn't begin with the quote. Any other name with quotes
// loses them rather than swallowing the words behind it.
void appendProgramName(std::wstring& line, std::wstring_view name) {
  if (!needsQuotes(name) && name[0] != L'"') {
    line.append(name);
    return;
  }
  line.push_back(L'"');
  for (wchar_t character : name) {
    if (character != L'"') {
      line.push_back(character);
    }
  }
  line.push_back(L'"');
}

}  // namespace

std::wstring joinCommandLine(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    if (index == 0) {
      appendProgramName(line, arguments[index]);
    } else {
      line.push_back(L' ');
      appendEscaped(line, arguments[index]);
    }
  }
  return line;
}

std::vector<std::wstring> splitCommandLine(std::wstring_view commandLine) {
  std::vector<std::wstring> words;
  if (commandLine.empty()) {
    return words;
  }
  words.emplace_back();
  std::size_t position = splitProgramName(commandLine, words.back());

  while (position < commandLine.size() && isBlank(commandLine[position])) {
    ++position;
  }
  if (position == commandLine.size()) {
    return words;
  }
  words.emplace_back();
  int quoteCount = 0;
  std::size_t backslashes = 0;
  while (position < commandLine.size()) {
    wchar_t character = commandLine[position];
    if (isBlank(character) && quoteCount == 0) {
      while (position < commandLine.size() && isBlank(commandLine[position])) {
        ++position;
      }
      if (position < commandLine.size()) {
        words.emplace_back();
      }
      backslashes = 0;
    } else if (character == L'"') {
      position = splitQuote(commandLine, position, backslashes, quoteCount, words.back());
      backslashes = 0;
    } else {
      backslashes = character == L'\\' ? backslashes + 1 : 0;
      words.back().push_back(character);
      ++position;
    }
  }
  return words;
}

}  // namespace vellicor::linux_platform
