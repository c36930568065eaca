// The least a launcher can do: start prepar3d.exe from the current directory suspended and
// resume it at once. The launcher benchmark compares AerolumenP3D4 with this. Built twice: with
// BARE_LAUNCHER_GUI_IMPORTS it also imports user32 and shell32, as AerolumenP3D4 does (message
// boxes, folders), so that loading them counts alike.
#include <windows.h>

#include <cstring>

#ifdef BARE_LAUNCHER_GUI_IMPORTS
#include <shlobj.h>

// Referenced, never called: the imports are what counts.
volatile const void* guiImports[] = {reinterpret_cast<const void*>(&MessageBoxA),
                                     reinterpret_cast<const void*>(&SHGetFolderPathW)};
#endif

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started;
  std::memset(&started, 0, sizeof started);
  if (!CreateProcessA("prepar3d.exe", nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &started))
    return 1;
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return 0;
}
