#pragma once
// The launcher's own path, for starting itself again elevated.
#include "launcher/LauncherPlatform.h"

#include <string>

struct OwnModulePath {
  bool complete = false; // false: no path, or only a cut-short one
  std::string path;      // the full path when complete
  DWORD error = 0;       // the system error when not complete
};

// Asks with 255 characters first and grows the buffer while the answer fills it, up to the
// longest path Windows can hand out. A path that is still cut short there is not returned.
OwnModulePath queryOwnModulePath(LauncherPlatform& platform);
