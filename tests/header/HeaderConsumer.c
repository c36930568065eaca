/* An add-on's source file that includes include/Wirebridge.h; compiled (never run) as C and as
 * C++ in the arrangements an add-on may use, selected by CONSUMER_ORDER:
 *   1  the header first, <winsock2.h> after it
 *   2  <winsock2.h> first, the header after it
 *   3  <windows.h> first, then the header
 *   4  the program's own SIMCONNECT_RECV, with WIREBRIDGE_NO_SIMCONNECT_RECV */
/* Blank lines keep each arrangement's include order from being sorted. */
#if CONSUMER_ORDER == 1
#include "include/Wirebridge.h"

#include <winsock2.h>

#include <ws2tcpip.h>
#elif CONSUMER_ORDER == 2
#include <winsock2.h>

#include <ws2tcpip.h>

#include "include/Wirebridge.h"
#elif CONSUMER_ORDER == 3
#include <windows.h>

#include "include/Wirebridge.h"
#elif CONSUMER_ORDER == 4
#include <windows.h>
typedef struct SIMCONNECT_RECV {
  DWORD dwSize;
  DWORD dwVersion;
  DWORD dwID;
} SIMCONNECT_RECV;
#define WIREBRIDGE_NO_SIMCONNECT_RECV
#include "include/Wirebridge.h"
#else
#error CONSUMER_ORDER must be 1 to 4
#endif

#if CONSUMER_ORDER <= 2
/* Winsock 2 stays usable next to the header. */
SOCKET consumerSocket(void) {
  return socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
}
#endif

/* The exports keep these exact types. */
typedef HRESULT(WINAPI* CallDispatchFn)(HANDLE, DispatchProc, void*);
typedef HRESULT(WINAPI* OpenFn)(HANDLE*, LPCSTR, HWND, DWORD, HANDLE, DWORD);
typedef HRESULT(WINAPI* MapEventFn)(HANDLE, DWORD, const char*);
typedef HRESULT(WINAPI* TransmitEventFn)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD);
typedef HRESULT(WINAPI* AddToDefinitionFn)(HANDLE, DWORD, const char*, const char*, DWORD, float,
                                           DWORD);
typedef HRESULT(WINAPI* RequestDataFn)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                       DWORD);
typedef HRESULT(WINAPI* SetDataFn)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD, void*);
typedef HRESULT(WINAPI* RequestStateFn)(HANDLE, DWORD, const char*);

static void CALLBACK onRecord(SIMCONNECT_RECV* record, DWORD length, void* context) {
  *(DWORD*)context = record->dwID + length;
}

HRESULT consumerUsesEveryExport(void) {
  CallDispatchFn callDispatch = &SimConnect_CallDispatch;
  OpenFn open = &SimConnect_Open;
  MapEventFn mapEvent = &SimConnect_MapClientEventToSimEvent;
  TransmitEventFn transmitEvent = &SimConnect_TransmitClientEvent;
  AddToDefinitionFn addToDefinition = &SimConnect_AddToDataDefinition;
  RequestDataFn requestData = &SimConnect_RequestDataOnSimObject;
  SetDataFn setData = &SimConnect_SetDataOnSimObject;
  RequestStateFn requestState = &SimConnect_RequestSystemState;
  HANDLE handle = NULL;
  DWORD last = 0;
  float altitude = 0.0f;
  HRESULT result = open(&handle, "Consumer", NULL, 0, NULL, 0);
  if (FAILED(result)) return result == WIREBRIDGE_E_STRING_TOO_LONG ? E_INVALIDARG : result;
  mapEvent(handle, 1, "PAUSE_TOGGLE");
  transmitEvent(handle, 0, 1, 0, 0, 0);
  addToDefinition(handle, 1, "PLANE ALTITUDE", "feet", 3, 0.0f, 0xFFFFFFFFu);
  requestData(handle, 1, 1, 0, 1, 0, 0, 0, 0);
  setData(handle, 1, 0, 0, 1, sizeof altitude, &altitude);
  requestState(handle, 1, "Sim");
  return callDispatch(handle, onRecord, &last);
}
