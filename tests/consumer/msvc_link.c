/* A program built for the MSVC ABI that calls every export of Wirebridge.dll through the import
 * library Wirebridge.lib. It only has to link: it is compiled with no headers at all (no SDK
 * on this machine), so it declares what it uses itself. */
typedef unsigned long DWORD;
typedef long HRESULT;
typedef void* HANDLE;
struct Record {
  DWORD size, version, id;
};
typedef void (*DispatchProc)(struct Record* data, DWORD size, void* context);

__declspec(dllimport) HRESULT SimConnect_CallDispatch(HANDLE, DispatchProc, void*);
__declspec(dllimport) HRESULT SimConnect_Open(HANDLE*, const char*, void*, DWORD, HANDLE, DWORD);
__declspec(dllimport) HRESULT SimConnect_MapClientEventToSimEvent(HANDLE, DWORD, const char*);
__declspec(dllimport) HRESULT
    SimConnect_TransmitClientEvent(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD);
__declspec(dllimport) HRESULT
    SimConnect_AddToDataDefinition(HANDLE, DWORD, const char*, const char*, DWORD, float, DWORD);
__declspec(dllimport) HRESULT SimConnect_RequestDataOnSimObject(HANDLE, DWORD, DWORD, DWORD, DWORD,
                                                                DWORD, DWORD, DWORD, DWORD);
__declspec(dllimport) HRESULT
    SimConnect_SetDataOnSimObject(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD, void*);
__declspec(dllimport) HRESULT SimConnect_RequestSystemState(HANDLE, DWORD, const char*);

/* The MSVC ABI marks every object that uses floating point with a reference to this symbol,
 * which the C runtime would define. */
int _fltused = 0;

static void dispatch(struct Record* data, DWORD size, void* context) {
  (void)data;
  (void)size;
  (void)context;
}

int start(void) {
  HANDLE handle = 0;
  HRESULT result = SimConnect_Open(&handle, "msvc", 0, 0, 0, 0);
  result |= SimConnect_CallDispatch(handle, dispatch, 0);
  result |= SimConnect_MapClientEventToSimEvent(handle, 1, "PAUSE_TOGGLE");
  result |= SimConnect_TransmitClientEvent(handle, 0, 1, 0, 1, 0);
  result |= SimConnect_AddToDataDefinition(handle, 1, "PLANE ALTITUDE", "feet", 4, 0.0f, 0);
  result |= SimConnect_RequestDataOnSimObject(handle, 1, 1, 0, 1, 0, 0, 0, 0);
  result |= SimConnect_SetDataOnSimObject(handle, 1, 0, 0, 1, 4, &handle);
  result |= SimConnect_RequestSystemState(handle, 1, "Sim");
  return (int)result;
}
