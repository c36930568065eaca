// A library with the SimConnect exports that writes no trace, as one built before the trace
// existed: the probe must say that it cannot explain it, not report an empty open.
#include <windows.h>

extern "C" {

__declspec(dllexport) HRESULT WINAPI
    SimConnect_Open(HANDLE* handle, LPCSTR, HWND, DWORD, HANDLE, DWORD) {
  if (handle != nullptr) *handle = nullptr;
  return E_FAIL;
}

__declspec(dllexport) HRESULT WINAPI SimConnect_CallDispatch(HANDLE, void*, void*) {
  return E_FAIL;
}

__declspec(dllexport) HRESULT WINAPI SimConnect_RequestSystemState(HANDLE, DWORD, const char*) {
  return E_FAIL;
}
}
