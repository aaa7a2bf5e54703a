#include "ports/windows/process_identity.h"

namespace vellicor::windows_platform {

namespace {

// The longest path Windows gives a process image, in UTF-16 units.
constexpr DWORD kLongestImagePath = 32768;

bool readImagePath(HANDLE process, std::wstring& path) {
  for (DWORD capacity = MAX_PATH;; capacity = kLongestImagePath) {
    path.resize(capacity);
    DWORD length = capacity;
    if (QueryFullProcessImageNameW(process, 0, path.data(), &length)) {
      path.resize(length);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || capacity == kLongestImagePath) {
      path.clear();
      return false;
    }
  }
}

bool sameFileName(std::wstring_view one, std::wstring_view other) {
  return CompareStringOrdinal(one.data(), static_cast<int>(one.size()), other.data(),
                              static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::uint64_t momentOf(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t currentMoment() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return momentOf(now);
}

ProcessIdentity readProcessIdentity(HANDLE process) {
  ProcessIdentity identity;
  FILETIME creation, exit, kernel, user;
  if (GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
    identity.creationKnown = true;
    identity.creation = momentOf(creation);
  }
  identity.imageKnown = readImagePath(process, identity.imagePath);
  return identity;
}

std::wstring_view imageFileName(std::wstring_view imagePath) {
  std::size_t separator = imagePath.find_last_of(L'\\');
  return separator == std::wstring_view::npos ? imagePath : imagePath.substr(separator + 1);
}

bool createdBefore(const ProcessIdentity& identity, std::uint64_t tableMoment) {
  return identity.creationKnown && identity.creation < tableMoment;
}

bool runsListedImage(const ProcessIdentity& identity, const std::wstring* listedName) {
  return listedName == nullptr || !identity.imageKnown ||
         sameFileName(imageFileName(identity.imagePath), *listedName);
}

}  // namespace vellicor::windows_platform
