#include "launcher/OwnModulePath.h"

#include <algorithm>

namespace {
constexpr DWORD firstLength = 255;
constexpr DWORD longestLength = 32767;
} // namespace

OwnModulePath queryOwnModulePath(LauncherPlatform& platform) {
  OwnModulePath result;
  DWORD size = firstLength;
  for (;;) {
    std::wstring buffer(size, L'\0');
    const DWORD length = platform.moduleFileName(nullptr, buffer.data(), size);
    if (length == 0) {
      result.error = platform.lastError();
      return result;
    }
    if (length < size) {
      buffer.resize(length);
      result.complete = true;
      result.path = std::move(buffer);
      return result;
    }
    // A full buffer means the path was cut short. Restarting a cut-short path would start some
    // other program or none, so past the longest length the query gives up.
    if (size == longestLength) {
      result.error = ERROR_INSUFFICIENT_BUFFER;
      return result;
    }
    size = std::min(size * 2, longestLength);
  }
}

std::wstring queryCurrentDirectory(LauncherPlatform& platform) {
  DWORD size = MAX_PATH;
  // The directory can change between the two calls; a third answer that still does not fit is
  // given up on.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::wstring buffer(size, L'\0');
    const DWORD length = platform.currentDirectory(size, buffer.data());
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
    size = length;
  }
  return {};
}
