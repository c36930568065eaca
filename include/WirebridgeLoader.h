/* WirebridgeLoader.h: loads Wirebridge.dll at run time from the folder of the module that calls
 * it (the add-on), for add-ons that the simulator loads by full path with a plain LoadLibrary,
 * where a Wirebridge.dll imported through the import library is looked for beside the simulator
 * and not beside the add-on (error 126). C and C++, header only.
 *
 * Use. In exactly one C or C++ file of the add-on:
 *     #define WIREBRIDGE_LOADER_IMPLEMENTATION
 *     #include <WirebridgeLoader.h>
 * and in every other file that calls Wirebridge include <WirebridgeLoader.h> (or <Wirebridge.h>)
 * as usual. That file defines the eight functions of Wirebridge.h with the same names and types:
 * each forwards to the loaded DLL. Do not link the import library as well (libWirebridge.dll.a or
 * Wirebridge.lib): the add-on then imports nothing from Wirebridge.dll.
 *
 * Before any other call, once, call WirebridgeLoad (the DLL beside the add-on) or
 * WirebridgeLoadFrom (the DLL in a folder you name). Until a load succeeded, every function
 * returns E_FAIL (SimConnect_Open also sets *phSimConnect to NULL). A later load call after a
 * successful one changes nothing and reports the module already loaded. The DLL stays loaded for
 * the life of the process.
 *
 *     WirebridgeLoadResult loaded;
 *     if (!WirebridgeLoad(&loaded)) {
 *       char text[1200];
 *       WirebridgeLoadMessage(&loaded, text, sizeof text);   // e.g. for the add-on's log
 *       return FALSE;
 *     }
 *
 * Search. The DLL is loaded by its full path with LoadLibraryExW and a search limited to the
 * DLL's own folder and the system folder (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
 * LOAD_LIBRARY_SEARCH_SYSTEM32), so that neither the simulator's folder nor the current folder nor
 * PATH can supply another copy. Windows 7 without update KB2533623 does not know these flags;
 * there the loader falls back to LOAD_WITH_ALTERED_SEARCH_PATH, which starts in the DLL's folder.
 */
#ifndef WIREBRIDGE_LOADER_H
#define WIREBRIDGE_LOADER_H

#include "Wirebridge.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Room for the path of the file tried, terminator included. */
#define WIREBRIDGE_LOADER_PATH_CHARS 1040

/* What a load call did. */
typedef struct WirebridgeLoadResult {
  /* The loaded Wirebridge.dll, or NULL when the call failed. */
  HMODULE module;
  /* The file tried (full path), or as much of it as was known when the call failed. */
  WCHAR path[WIREBRIDGE_LOADER_PATH_CHARS];
  /* 0 on success; else the system error of the step that failed (126: no such file or one of its
   * dependencies is missing, 193: not a 64-bit DLL, 127: an export is missing, 206: the path is
   * too long). */
  DWORD systemError;
  /* The first of the eight functions the file does not export, or NULL. */
  const char* missingExport;
} WirebridgeLoadResult;

/* Loads the Wirebridge.dll that lies in the folder of the module calling this (the module that
 * holds the file defining WIREBRIDGE_LOADER_IMPLEMENTATION) and resolves the eight functions.
 * Returns TRUE when they are ready; fills *result either way (result may be NULL). */
BOOL WINAPI WirebridgeLoad(WirebridgeLoadResult* result);

/* The same for the Wirebridge.dll in folder (absolute or relative to the current folder). */
BOOL WINAPI WirebridgeLoadFrom(LPCWSTR folder, WirebridgeLoadResult* result);

/* Writes one line of English text describing *result into text (size bytes, UTF-8, always
 * terminated when size > 0), e.g. "Wirebridge.dll loaded from C:\Addon\Wirebridge.dll" or
 * "Wirebridge.dll could not be loaded from C:\Addon\Wirebridge.dll: system error 126". Returns
 * text. */
char* WINAPI WirebridgeLoadMessage(const WirebridgeLoadResult* result, char* text, size_t size);

#ifdef __cplusplus
}
#endif

#ifdef WIREBRIDGE_LOADER_IMPLEMENTATION

#include <stdio.h>
#include <string.h>

#ifndef LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef HRESULT(WINAPI* WirebridgeCallDispatchFn)(HANDLE, DispatchProc, void*);
typedef HRESULT(WINAPI* WirebridgeOpenFn)(HANDLE*, LPCSTR, HWND, DWORD, HANDLE, DWORD);
typedef HRESULT(WINAPI* WirebridgeMapClientEventFn)(HANDLE, DWORD, const char*);
typedef HRESULT(WINAPI* WirebridgeTransmitClientEventFn)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD);
typedef HRESULT(WINAPI* WirebridgeAddToDataDefinitionFn)(HANDLE, DWORD, const char*, const char*,
                                                         DWORD, float, DWORD);
typedef HRESULT(WINAPI* WirebridgeRequestDataFn)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                                 DWORD, DWORD);
typedef HRESULT(WINAPI* WirebridgeSetDataFn)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD, void*);
typedef HRESULT(WINAPI* WirebridgeRequestSystemStateFn)(HANDLE, DWORD, const char*);

/* The resolved functions; all null until a load succeeded. */
static struct {
  HMODULE module;
  WirebridgeCallDispatchFn callDispatch;
  WirebridgeOpenFn open;
  WirebridgeMapClientEventFn mapClientEvent;
  WirebridgeTransmitClientEventFn transmitClientEvent;
  WirebridgeAddToDataDefinitionFn addToDataDefinition;
  WirebridgeRequestDataFn requestData;
  WirebridgeSetDataFn setData;
  WirebridgeRequestSystemStateFn requestSystemState;
} wirebridgeLoaded;

/* In the order of their ordinals. */
static const char* const wirebridgeExportNames[8] = {"SimConnect_CallDispatch",
                                                     "SimConnect_Open",
                                                     "SimConnect_MapClientEventToSimEvent",
                                                     "SimConnect_TransmitClientEvent",
                                                     "SimConnect_AddToDataDefinition",
                                                     "SimConnect_RequestDataOnSimObject",
                                                     "SimConnect_SetDataOnSimObject",
                                                     "SimConnect_RequestSystemState"};

/* GetProcAddress's type converts to any function type through void (*)(void). */
typedef void (*WirebridgeAnyFn)(void);

static void wirebridgeClearResult(WirebridgeLoadResult* result) {
  result->module = NULL;
  result->path[0] = L'\0';
  result->systemError = 0;
  result->missingExport = NULL;
}

/* Appends text to result->path; FALSE (error 206) when it does not fit. */
static BOOL wirebridgeAppendPath(WirebridgeLoadResult* result, LPCWSTR text) {
  const size_t used = wcslen(result->path);
  const size_t more = wcslen(text);
  if (used + more >= WIREBRIDGE_LOADER_PATH_CHARS) {
    result->systemError = ERROR_FILENAME_EXCED_RANGE;
    return FALSE;
  }
  memcpy(result->path + used, text, (more + 1) * sizeof(WCHAR));
  return TRUE;
}

static BOOL wirebridgeReportLoaded(WirebridgeLoadResult* result) {
  const DWORD length =
      GetModuleFileNameW(wirebridgeLoaded.module, result->path, WIREBRIDGE_LOADER_PATH_CHARS);
  if (length == 0 || length >= WIREBRIDGE_LOADER_PATH_CHARS) result->path[0] = L'\0';
  result->module = wirebridgeLoaded.module;
  return TRUE;
}

/* Loads result->path (a full path) and resolves the eight functions. */
static BOOL wirebridgeLoadPath(WirebridgeLoadResult* result) {
  FARPROC found[8];
  HMODULE module;
  int i;
  module = LoadLibraryExW(result->path, NULL,
                          LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == NULL && GetLastError() == ERROR_INVALID_PARAMETER)
    module = LoadLibraryExW(result->path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == NULL) {
    result->systemError = GetLastError();
    return FALSE;
  }
  for (i = 0; i < 8; ++i) {
    found[i] = GetProcAddress(module, wirebridgeExportNames[i]);
    if (found[i] == NULL) {
      result->systemError = GetLastError() != 0 ? GetLastError() : ERROR_PROC_NOT_FOUND;
      result->missingExport = wirebridgeExportNames[i];
      FreeLibrary(module);
      return FALSE;
    }
  }
  wirebridgeLoaded.callDispatch = (WirebridgeCallDispatchFn)(WirebridgeAnyFn)found[0];
  wirebridgeLoaded.open = (WirebridgeOpenFn)(WirebridgeAnyFn)found[1];
  wirebridgeLoaded.mapClientEvent = (WirebridgeMapClientEventFn)(WirebridgeAnyFn)found[2];
  wirebridgeLoaded.transmitClientEvent = (WirebridgeTransmitClientEventFn)(WirebridgeAnyFn)found[3];
  wirebridgeLoaded.addToDataDefinition = (WirebridgeAddToDataDefinitionFn)(WirebridgeAnyFn)found[4];
  wirebridgeLoaded.requestData = (WirebridgeRequestDataFn)(WirebridgeAnyFn)found[5];
  wirebridgeLoaded.setData = (WirebridgeSetDataFn)(WirebridgeAnyFn)found[6];
  wirebridgeLoaded.requestSystemState = (WirebridgeRequestSystemStateFn)(WirebridgeAnyFn)found[7];
  wirebridgeLoaded.module = module;
  result->module = module;
  return TRUE;
}

BOOL WINAPI WirebridgeLoad(WirebridgeLoadResult* result) {
  WirebridgeLoadResult local;
  HMODULE caller = NULL;
  DWORD length;
  WCHAR* cut;
  if (result == NULL) result = &local;
  wirebridgeClearResult(result);
  if (wirebridgeLoaded.module != NULL) return wirebridgeReportLoaded(result);
  /* The module that holds this code: the add-on, not the program that loaded it. */
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          (LPCWSTR)(const void*)&wirebridgeLoaded, &caller)) {
    result->systemError = GetLastError();
    return FALSE;
  }
  length = GetModuleFileNameW(caller, result->path, WIREBRIDGE_LOADER_PATH_CHARS);
  if (length == 0 || length >= WIREBRIDGE_LOADER_PATH_CHARS) {
    result->systemError = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    result->path[0] = L'\0';
    return FALSE;
  }
  cut = wcsrchr(result->path, L'\\');
  if (cut == NULL) cut = wcsrchr(result->path, L'/');
  if (cut == NULL)
    cut = result->path;
  else
    ++cut;
  *cut = L'\0';
  if (!wirebridgeAppendPath(result, L"Wirebridge.dll")) return FALSE;
  return wirebridgeLoadPath(result);
}

BOOL WINAPI WirebridgeLoadFrom(LPCWSTR folder, WirebridgeLoadResult* result) {
  WirebridgeLoadResult local;
  DWORD length;
  if (result == NULL) result = &local;
  wirebridgeClearResult(result);
  if (wirebridgeLoaded.module != NULL) return wirebridgeReportLoaded(result);
  if (folder == NULL || folder[0] == L'\0') {
    result->systemError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  /* The limited search needs a full path. */
  length = GetFullPathNameW(folder, WIREBRIDGE_LOADER_PATH_CHARS, result->path, NULL);
  if (length == 0 || length >= WIREBRIDGE_LOADER_PATH_CHARS) {
    result->systemError = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    result->path[0] = L'\0';
    return FALSE;
  }
  if (result->path[length - 1] != L'\\' && result->path[length - 1] != L'/' &&
      !wirebridgeAppendPath(result, L"\\"))
    return FALSE;
  if (!wirebridgeAppendPath(result, L"Wirebridge.dll")) return FALSE;
  return wirebridgeLoadPath(result);
}

char* WINAPI WirebridgeLoadMessage(const WirebridgeLoadResult* result, char* text, size_t size) {
  char path[WIREBRIDGE_LOADER_PATH_CHARS * 3];
  if (text == NULL || size == 0) return text;
  text[0] = '\0';
  if (result == NULL) return text;
  if (WideCharToMultiByte(CP_UTF8, 0, result->path, -1, path, (int)sizeof path, NULL, NULL) == 0)
    path[0] = '\0';
  if (result->module != NULL)
    _snprintf(text, size, "Wirebridge.dll loaded from %s", path);
  else if (result->missingExport != NULL)
    _snprintf(text, size, "%s does not export %s (system error %lu)", path, result->missingExport,
              (unsigned long)result->systemError);
  else
    _snprintf(text, size, "Wirebridge.dll could not be loaded from %s: system error %lu",
              path[0] != '\0' ? path : "(no path)", (unsigned long)result->systemError);
  text[size - 1] = '\0';
  return text;
}

HRESULT WINAPI SimConnect_CallDispatch(HANDLE hSimConnect, DispatchProc pfcnDispatch,
                                       void* pContext) {
  if (wirebridgeLoaded.callDispatch == NULL) return E_FAIL;
  return wirebridgeLoaded.callDispatch(hSimConnect, pfcnDispatch, pContext);
}

HRESULT WINAPI SimConnect_Open(HANDLE* phSimConnect, LPCSTR szName, HWND hWnd, DWORD UserEventWin32,
                               HANDLE hEventHandle, DWORD ConfigIndex) {
  if (wirebridgeLoaded.open == NULL) {
    if (phSimConnect != NULL) *phSimConnect = NULL;
    return E_FAIL;
  }
  return wirebridgeLoaded.open(phSimConnect, szName, hWnd, UserEventWin32, hEventHandle,
                               ConfigIndex);
}

HRESULT WINAPI SimConnect_MapClientEventToSimEvent(HANDLE hSimConnect, DWORD EventID,
                                                   const char* EventName) {
  if (wirebridgeLoaded.mapClientEvent == NULL) return E_FAIL;
  return wirebridgeLoaded.mapClientEvent(hSimConnect, EventID, EventName);
}

HRESULT WINAPI SimConnect_TransmitClientEvent(HANDLE hSimConnect, DWORD ObjectID, DWORD EventID,
                                              DWORD dwData, DWORD GroupID, DWORD Flags) {
  if (wirebridgeLoaded.transmitClientEvent == NULL) return E_FAIL;
  return wirebridgeLoaded.transmitClientEvent(hSimConnect, ObjectID, EventID, dwData, GroupID,
                                              Flags);
}

HRESULT WINAPI SimConnect_AddToDataDefinition(HANDLE hSimConnect, DWORD DefineID,
                                              const char* DatumName, const char* UnitsName,
                                              DWORD DatumType, float fEpsilon, DWORD DatumID) {
  if (wirebridgeLoaded.addToDataDefinition == NULL) return E_FAIL;
  return wirebridgeLoaded.addToDataDefinition(hSimConnect, DefineID, DatumName, UnitsName,
                                              DatumType, fEpsilon, DatumID);
}

HRESULT WINAPI SimConnect_RequestDataOnSimObject(HANDLE hSimConnect, DWORD RequestID,
                                                 DWORD DefineID, DWORD ObjectID, DWORD Period,
                                                 DWORD Flags, DWORD origin, DWORD interval,
                                                 DWORD limit) {
  if (wirebridgeLoaded.requestData == NULL) return E_FAIL;
  return wirebridgeLoaded.requestData(hSimConnect, RequestID, DefineID, ObjectID, Period, Flags,
                                      origin, interval, limit);
}

HRESULT WINAPI SimConnect_SetDataOnSimObject(HANDLE hSimConnect, DWORD DefineID, DWORD ObjectID,
                                             DWORD Flags, DWORD ArrayCount, DWORD cbUnitSize,
                                             void* pDataSet) {
  if (wirebridgeLoaded.setData == NULL) return E_FAIL;
  return wirebridgeLoaded.setData(hSimConnect, DefineID, ObjectID, Flags, ArrayCount, cbUnitSize,
                                  pDataSet);
}

HRESULT WINAPI SimConnect_RequestSystemState(HANDLE hSimConnect, DWORD RequestID,
                                             const char* szState) {
  if (wirebridgeLoaded.requestSystemState == NULL) return E_FAIL;
  return wirebridgeLoaded.requestSystemState(hSimConnect, RequestID, szState);
}

#ifdef __cplusplus
}
#endif

#endif /* WIREBRIDGE_LOADER_IMPLEMENTATION */

#endif /* WIREBRIDGE_LOADER_H */
