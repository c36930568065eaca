#include <windows.h>

#include "client/SendBuffer.h"
#include "diagnostics/Trace.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    sendLock(); // created at load; its destructor runs at unload
  }
  if (reason == DLL_PROCESS_DETACH) trace::unloading();
  return TRUE;
}
