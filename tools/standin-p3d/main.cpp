// Stand-in for the simulator's executable prepar3d.exe. For now it records what it finds when it
// begins to run and ends.
#include "tools/standin-p3d/StartupRecord.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  recordStartup();
  return 0;
}
