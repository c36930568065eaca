#pragma once
// Where the elevated copy of the launcher starts: its own path and the current directory, both
// in UTF-16 so that folders outside the ANSI code page survive.
#include "launcher/LauncherPlatform.h"

#include <string>

struct OwnModulePath {
  bool complete = false; // false: no path, or only a cut-short one
  std::wstring path;     // the full path when complete
  DWORD error = 0;       // the system error when not complete
};

// Asks with 255 characters first and grows the buffer while the answer fills it, up to the
// longest path Windows can hand out. A path that is still cut short there is not returned.
OwnModulePath queryOwnModulePath(LauncherPlatform& platform);

// The current directory, or an empty string when it cannot be had.
std::wstring queryCurrentDirectory(LauncherPlatform& platform);
