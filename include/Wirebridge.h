/* Wirebridge: a SimConnect client for Prepar3D v4, exported by plain, undecorated names.
 *
 * Every function returns an HRESULT: S_OK, E_FAIL, E_INVALIDARG, WIREBRIDGE_E_STRING_TOO_LONG
 * for a name of 256 characters or more, or, once the connection to the simulator is lost, the
 * code recorded with the loss (a failure HRESULT or NTSTATUS value, e.g. 0xC000013E after the
 * server closed the connection, 0xC000014B for a broken pipe, E_ABORT for a protocol error).
 * Requests never wait for the network; replies arrive through SimConnect_CallDispatch. */
#ifndef WIREBRIDGE_H
#define WIREBRIDGE_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WIREBRIDGE_E_STRING_TOO_LONG ((HRESULT)0x8007007AL)

/* The header of every record the server sends; the record's total size comes first. */
typedef struct SIMCONNECT_RECV {
  DWORD dwSize;
  DWORD dwVersion;
  DWORD dwID;
} SIMCONNECT_RECV;

/* Called once per received record, on the thread that calls SimConnect_CallDispatch. The record
 * is valid only during the call. */
typedef void(CALLBACK* DispatchProc)(SIMCONNECT_RECV* pData, DWORD cbData, void* pContext);

HRESULT WINAPI SimConnect_CallDispatch(HANDLE hSimConnect, DispatchProc pfcnDispatch,
                                       void* pContext);
HRESULT WINAPI SimConnect_Open(HANDLE* phSimConnect, LPCSTR szName, HWND hWnd, DWORD UserEventWin32,
                               HANDLE hEventHandle, DWORD ConfigIndex);
HRESULT WINAPI SimConnect_MapClientEventToSimEvent(HANDLE hSimConnect, DWORD EventID,
                                                   const char* EventName);
HRESULT WINAPI SimConnect_TransmitClientEvent(HANDLE hSimConnect, DWORD ObjectID, DWORD EventID,
                                              DWORD dwData, DWORD GroupID, DWORD Flags);
HRESULT WINAPI SimConnect_AddToDataDefinition(HANDLE hSimConnect, DWORD DefineID,
                                              const char* DatumName, const char* UnitsName,
                                              DWORD DatumType, float fEpsilon, DWORD DatumID);
HRESULT WINAPI SimConnect_RequestDataOnSimObject(HANDLE hSimConnect, DWORD RequestID,
                                                 DWORD DefineID, DWORD ObjectID, DWORD Period,
                                                 DWORD Flags, DWORD origin, DWORD interval,
                                                 DWORD limit);
HRESULT WINAPI SimConnect_SetDataOnSimObject(HANDLE hSimConnect, DWORD DefineID, DWORD ObjectID,
                                             DWORD Flags, DWORD ArrayCount, DWORD cbUnitSize,
                                             void* pDataSet);
HRESULT WINAPI SimConnect_RequestSystemState(HANDLE hSimConnect, DWORD RequestID,
                                             const char* szState);

#ifdef __cplusplus
}
#endif

#endif
