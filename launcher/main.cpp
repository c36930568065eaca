// AerolumenP3D4: starts the simulator in VR mode. A Windows program without a window; its only
// user interface is message boxes.
#include "launcher/LauncherSteps.h"
#include "launcher/Win32LauncherPlatform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  Win32LauncherPlatform platform;
  return runLauncher(platform, commandLine);
}
