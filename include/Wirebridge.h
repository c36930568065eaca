/* Wirebridge: a SimConnect client for Prepar3D v4 in one 64-bit DLL, Wirebridge.dll. Its version is
 * in WirebridgeVersion.h beside this header (WIREBRIDGE_VERSION_MAJOR, _MINOR, _PATCH and
 * WIREBRIDGE_VERSION_STRING), which this header includes.
 *
 * Eight functions of the simulator's SimConnect client interface, exported by their plain,
 * undecorated names (ordinals 1 to 8 in the order SimConnect_CallDispatch, SimConnect_Open,
 * SimConnect_MapClientEventToSimEvent, SimConnect_TransmitClientEvent,
 * SimConnect_AddToDataDefinition, SimConnect_RequestDataOnSimObject,
 * SimConnect_SetDataOnSimObject, SimConnect_RequestSystemState). Link with libWirebridge.dll.a
 * (MinGW) or Wirebridge.lib (Visual Studio); or, for an add-on DLL that its host loads with a
 * plain LoadLibrary (which does not look beside the add-on for the DLLs it imports), load the
 * Wirebridge.dll beside the add-on at run time through WirebridgeLoader.h.
 *
 * Usage: open once, send requests, and call SimConnect_CallDispatch whenever the window message
 * or the event given to SimConnect_Open arrives (or regularly, when neither was given). Every
 * record the server sends reaches the dispatch procedure on the thread that calls
 * SimConnect_CallDispatch.
 *
 * Results. Every function returns an HRESULT and throws nothing:
 *   S_OK (0)                        done (a request is queued for sending, not yet sent);
 *   E_FAIL (0x80004005)             null handle, failed open, nothing to dispatch with;
 *   E_INVALIDARG (0x80070057)       a bad argument, named with each function;
 *   WIREBRIDGE_E_STRING_TOO_LONG    a name of 256 characters or more (0x8007007A);
 *   the code of a lost connection   once the connection is lost: a failure HRESULT or NTSTATUS
 *                                   value recorded with the loss, the same for every later call
 *                                   on that handle, e.g. 0xC000013E (the server closed the
 *                                   connection), 0xC000014B (broken pipe), 0xC000020D (reset),
 *                                   E_ABORT 0x80004004 (the server sent a record the client
 *                                   cannot frame, or one above its receive limit),
 *                                   E_OUTOFMEMORY 0x8007000E.
 * Test results with FAILED()/SUCCEEDED(), not against a list: a lost connection may report other
 * system codes. Nothing reconnects; after a loss, open a new handle.
 *
 * Threads. Every function may be called from any thread; requests never wait for the network
 * (SimConnect_Open blocks its caller until the connection is made or has failed). The library
 * starts no thread of its own: received records are queued on system thread-pool threads, which
 * post the caller's window message and set the caller's event, and are handed to the dispatch
 * procedure only inside SimConnect_CallDispatch. Building two requests on one handle from two
 * threads at the same time is safe; they are sent in the order in which they were committed.
 *
 * Lifetime. A handle lives from the successful return of SimConnect_Open until the process ends;
 * there is no close call, and the handle is never invalidated, not even by a lost connection.
 * From the first successful open on, the library keeps itself loaded for the life of the process:
 * FreeLibrary then does not unload it (a library that never opened a client unloads normally).
 *
 * Diagnostics. Off by default. Setting WIREBRIDGE_TRACE=<file> in the environment, or putting a
 * [Trace] section with File=<file> into "Wirebridge.cfg" in the user's Documents folder, makes
 * every SimConnect_Open trace the configuration it read, each connection attempt with its result,
 * and every message sent and received, one line each (docs/trace.md). wirebridge-probe.exe, beside
 * the library, explains one open from that trace. Trace settings never change what the functions
 * do.
 *
 * Records. The records the server sends are the simulator's own receive records, laid out by the
 * simulator: this header declares only their common 12-byte start, SIMCONNECT_RECV. The client
 * passes each record on byte for byte, as long as its dwSize says; take the layouts of the
 * records behind the header from the simulator's documentation of its SimConnect interface.
 *
 * Including. Works as C and as C++, before or after <winsock2.h> and <windows.h>, for 64-bit
 * Windows only (a 32-bit compile stops here: there is no 32-bit Wirebridge.dll). A program that
 * already declares the type SIMCONNECT_RECV (as a typedef name with the fields below) defines
 * WIREBRIDGE_NO_SIMCONNECT_RECV before including this header, which then uses that declaration.
 * One that already declares the typedef DispatchProc (with the parameters below) defines
 * WIREBRIDGE_NO_DISPATCHPROC as well. (C before C11 refuses a second typedef even when it
 * repeats the first, so each macro leaves that one name to the program.)
 */
#ifndef WIREBRIDGE_H
#define WIREBRIDGE_H

#if !defined(_WIN64)
#error "Wirebridge.dll is a 64-bit DLL: build this module for 64-bit Windows (x64)"
#endif

#include "WirebridgeVersion.h"

/* <windows.h> without WIN32_LEAN_AND_MEAN brings in the old <winsock.h>, after which
 * <winsock2.h> no longer compiles. Taking <winsock2.h> first (it includes <windows.h>) keeps a
 * later #include <winsock2.h> of the program working. */
#if !defined(_INC_WINDOWS) && !defined(_WINDOWS_) && !defined(WIN32_LEAN_AND_MEAN)
#include <winsock2.h>
#endif
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A string argument does not fit its 256-byte field (255 characters and the terminator). */
#define WIREBRIDGE_E_STRING_TOO_LONG ((HRESULT)0x8007007AL)

#ifndef WIREBRIDGE_NO_SIMCONNECT_RECV
/* The start of every record the server sends. dwSize: the record's total size in bytes, this
 * header included; dwVersion: the record version the server writes; dwID: which record follows
 * (2 is the server's answer to the open). */
typedef struct SIMCONNECT_RECV {
  DWORD dwSize;
  DWORD dwVersion;
  DWORD dwID;
} SIMCONNECT_RECV;
#endif

/* The caller's dispatch procedure, called by SimConnect_CallDispatch once per received record,
 * oldest first, on the thread that called SimConnect_CallDispatch. pData points at the whole
 * record (at least 12 bytes), cbData is its length in bytes, pContext is the context given to
 * SimConnect_CallDispatch.
 * Memory: the record is valid only until the procedure returns; keep no pointer into it past the
 * return (copy what is needed). The procedure may call any function of this header, also
 * SimConnect_CallDispatch on the same handle, which goes on with the same queue. */
#ifndef WIREBRIDGE_NO_DISPATCHPROC
typedef void(CALLBACK* DispatchProc)(SIMCONNECT_RECV* pData, DWORD cbData, void* pContext);
#endif

/* Hands every queued record, oldest first, to pfcnDispatch, on the calling thread, until the queue
 * is empty (records that arrive meanwhile are delivered by the same call). Any thread.
 * hSimConnect: a handle from SimConnect_Open. pfcnDispatch: the procedure (remembered with
 * pContext as the handle's procedure). pContext: passed to every call of the procedure.
 * Returns S_OK when the queue ran empty and the connection is intact (also when nothing was
 * queued); the code of the lost connection when the connection is lost, after every record
 * received before the loss has been delivered; E_FAIL for a null handle or a null procedure
 * (then nothing is dispatched). A null handle with the procedure (DispatchProc)-2 and the context
 * (void*)-3 is the call by which a simulator that loaded this library dispatches every handle of
 * the process, each with its last procedure and context; it returns E_FAIL as well. */
HRESULT WINAPI SimConnect_CallDispatch(HANDLE hSimConnect, DispatchProc pfcnDispatch,
                                       void* pContext);

/* Connects to the simulator's SimConnect server and sends the Open message; blocks the calling
 * thread until the connection is made or every attempt failed (the server's answer arrives later,
 * as a record with dwID 2, through SimConnect_CallDispatch). Any thread.
 * phSimConnect: receives the handle; set to NULL first, and NULL again on every failure.
 * szName: the application's name, 255 characters at most. hWnd, UserEventWin32: after each
 * record that arrives, and once when the connection is lost, PostMessage(hWnd, UserEventWin32,
 * 0, 0) is sent (only when hWnd is not NULL and UserEventWin32 is not 0). hEventHandle: set in the
 * same cases (when not NULL). With neither, poll SimConnect_CallDispatch. ConfigIndex: the section
 * of SimConnect.cfg to use: 0 "[SimConnect]", n "[SimConnect.n]", 0xFFFFFFFF no file at all
 * (built-in defaults).
 * Returns S_OK; E_INVALIDARG for a null phSimConnect or szName, or a ConfigIndex from 1 to
 * 0xFFFFFFFE whose section no SimConnect.cfg holds (nothing is tried then); E_FAIL when no
 * server could be reached; WIREBRIDGE_E_STRING_TOO_LONG for a long szName; the code of a lost
 * connection when it was lost before the Open message was handed over or the message's write
 * could not be started (the handle is then closed and NULL). */
HRESULT WINAPI SimConnect_Open(HANDLE* phSimConnect, LPCSTR szName, HWND hWnd, DWORD UserEventWin32,
                               HANDLE hEventHandle, DWORD ConfigIndex);

/* The six requests below share their behaviour. Any thread. Each builds one message and queues
 * it for sending; it returns without waiting for the network, and the server's answer, if any,
 * arrives through SimConnect_CallDispatch. Returns S_OK when the message is queued; E_FAIL for a
 * null handle; the code of the lost connection when the connection is lost (nothing is sent),
 * also when the loss comes while the message is handed over or its write cannot even be started
 * (a message queued and lost later leaves S_OK, and the loss shows at the next call);
 * WIREBRIDGE_E_STRING_TOO_LONG for a name of 256 characters or more (nothing is sent). A NULL
 * name is sent as the empty name. The handle must be NULL or one that SimConnect_Open gave. */

/* Maps the client's event id EventID to the simulator event named EventName. */
HRESULT WINAPI SimConnect_MapClientEventToSimEvent(HANDLE hSimConnect, DWORD EventID,
                                                   const char* EventName);

/* Sends the client event EventID with the value dwData to the object ObjectID, in notification
 * group GroupID with the event flags Flags. */
HRESULT WINAPI SimConnect_TransmitClientEvent(HANDLE hSimConnect, DWORD ObjectID, DWORD EventID,
                                              DWORD dwData, DWORD GroupID, DWORD Flags);

/* Adds the simulation variable DatumName in the units UnitsName (both names of the simulator) to
 * the data definition DefineID, as datum type DatumType, reported when it changes by more than
 * fEpsilon, tagged DatumID. */
HRESULT WINAPI SimConnect_AddToDataDefinition(HANDLE hSimConnect, DWORD DefineID,
                                              const char* DatumName, const char* UnitsName,
                                              DWORD DatumType, float fEpsilon, DWORD DatumID);

/* Requests the data of definition DefineID for object ObjectID under the caller's RequestID, at the
 * period Period with the request flags Flags; origin, interval and limit count periods (the
 * simulator's meaning). The data arrive as records through SimConnect_CallDispatch. */
HRESULT WINAPI SimConnect_RequestDataOnSimObject(HANDLE hSimConnect, DWORD RequestID,
                                                 DWORD DefineID, DWORD ObjectID, DWORD Period,
                                                 DWORD Flags, DWORD origin, DWORD interval,
                                                 DWORD limit);

/* Sets the data of definition DefineID on object ObjectID: ArrayCount items of cbUnitSize bytes
 * each, read from pDataSet (ArrayCount * cbUnitSize bytes are copied before the call returns;
 * the buffer stays the caller's). Also returns E_INVALIDARG when pDataSet is NULL but data are
 * announced, and E_FAIL when ArrayCount * cbUnitSize is too large for one message. */
HRESULT WINAPI SimConnect_SetDataOnSimObject(HANDLE hSimConnect, DWORD DefineID, DWORD ObjectID,
                                             DWORD Flags, DWORD ArrayCount, DWORD cbUnitSize,
                                             void* pDataSet);

/* Asks for the simulator's system state named szState; the answer arrives under RequestID. */
HRESULT WINAPI SimConnect_RequestSystemState(HANDLE hSimConnect, DWORD RequestID,
                                             const char* szState);

#ifdef __cplusplus
}
#endif

#endif
