#pragma once
// The launcher's one pass: optional settings reset, suspended start of the simulator, VR-mode
// entry, resume; elevated restart or a message when the start is refused.
#include "launcher/LauncherPlatform.h"

// `commandLine` is the command line without the program name (may be null). Returns the exit
// code, which is 0 on every path.
int runLauncher(LauncherPlatform& platform, const char* commandLine);
