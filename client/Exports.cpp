// The exported open and request functions. Nothing throws across this boundary: every failure
// reaches the caller as the HRESULT of the call.
#include <atomic>
#include <new>
#include <utility>

#include "client/ExportResults.h"
#include "client/SendBuffer.h"
#include "client/SimClient.h"
#include "client/WireFormat.h"
#include "connection/OpenClose.h"
#include "diagnostics/Trace.h"
#include "include/Wirebridge.h"

namespace {

constexpr HRESULT kFail = HRESULT(0x80004005L);
constexpr HRESULT kInvalidArgument = HRESULT(0x80070057L);

// Obtain, build, then commit — or give the buffer back when the build fails. The client's build
// lock keeps other threads' messages out of the staging area until this one is committed.
// `notTaken` tells that the transport did not take the committed message.
template <typename Build>
HRESULT buildAndCommit(SimClient& client, uint32_t size, Build&& build, bool& notTaken) noexcept {
  auto building = client.buildLock.lock();
  uint8_t* buffer = nullptr;
  if (const HRESULT refused = obtainBuffer(&client, size, buffer); refused != S_OK) return refused;
  if (const uint32_t failed = build(buffer); failed != 0) {
    releaseMessageBuffer(&client, buffer, size);
    return HRESULT(failed);
  }
  notTaken = commitMessage(&client) == FlushNotTaken;
  return S_OK;
}

// A connected client keeps a read pending whose completion routine lies in this module, and a
// simulator in this process may hold the addresses of its entry points (the pump-all call, the
// host entry points). Nothing can withdraw them, as there is no close function, so from the first
// connection on the module stays loaded for the life of the process: a host's FreeLibrary then
// leaves it mapped instead of pulling the code from under the next completion or call. A module
// that never had a client unloads normally.
void keepModuleLoaded() noexcept {
  static std::atomic<bool> pinned{false};
  if (pinned.exchange(true)) return;
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&keepModuleLoaded), &self);
}

// One request export: its result, traced under the export's name when it is not S_OK.
template <typename Build>
HRESULT sendRequest(const char* call, HANDLE handle, uint32_t size, Build&& build) noexcept {
  auto* client = static_cast<SimClient*>(handle);
  if (client == nullptr) return trace::result(call, kFail);
  WB_CHECK_LIVE(client, "a client is not used after its final release");
  bool notTaken = false;
  HRESULT result = buildAndCommit(*client, size, std::forward<Build>(build), notTaken);
  // A write that could not be posted ends the connection only now that no lock is held, as the
  // loss wakes the caller; a message the transport did not take reports that loss.
  client->endFailedWrite();
  if (notTaken) result = lossCode(*client);
  return trace::result(call, result);
}

HRESULT openClient(HANDLE* slot, LPCSTR name, HWND window, DWORD userMessage, HANDLE event,
                   DWORD configIndex) noexcept {
  if (slot == nullptr || name == nullptr) return kInvalidArgument;
  try {
    OpenInProgress opening;
    SimClient* client = nullptr;
    const uint32_t opened = openConnection(&client, configIndex);
    *slot = client;
    if (opened == OpenSectionMissing) return kInvalidArgument;
    if (opened != OpenConnected) return kFail;
    keepModuleLoaded(); // a read of this client is pending from now on
    client->defaultDispatch = nullptr;
    client->notifyWindow = window;
    client->notifyMessage = userMessage;
    client->notifyEvent = event;
    const HRESULT result = sendOpenMessage(client, name); // on failure, the new client closes
    if (result != S_OK) {
      closeClient(client);
      *slot = nullptr;
    }
    return result;
  } catch (...) {
    return kFail;
  }
}

} // namespace

extern "C" {

HRESULT WINAPI SimConnect_Open(HANDLE* slot, LPCSTR name, HWND window, DWORD userMessage,
                               HANDLE event, DWORD configIndex) {
  trace::OpenScope traced(configIndex);
  return traced.result(openClient(slot, name, window, userMessage, event, configIndex));
}

HRESULT WINAPI SimConnect_MapClientEventToSimEvent(HANDLE handle, DWORD eventId,
                                                   const char* eventName) {
  return sendRequest(__func__, handle, wire::kMapClientEventToSimEventSize, [&](uint8_t* buffer) {
    return wire::encodeMapClientEventToSimEvent(buffer, eventId, eventName);
  });
}

HRESULT WINAPI SimConnect_TransmitClientEvent(HANDLE handle, DWORD objectId, DWORD eventId,
                                              DWORD eventData, DWORD groupId, DWORD flags) {
  return sendRequest(__func__, handle, wire::kTransmitClientEventSize, [&](uint8_t* buffer) {
    return wire::encodeTransmitClientEvent(buffer, objectId, eventId, eventData, groupId, flags);
  });
}

HRESULT WINAPI SimConnect_AddToDataDefinition(HANDLE handle, DWORD defineId, const char* datumName,
                                              const char* unitsName, DWORD datumType, float epsilon,
                                              DWORD datumId) {
  return sendRequest(__func__, handle, wire::kAddToDataDefinitionSize, [&](uint8_t* buffer) {
    return wire::encodeAddToDataDefinition(buffer, defineId, datumName, unitsName, datumType,
                                           epsilon, datumId);
  });
}

HRESULT WINAPI SimConnect_RequestDataOnSimObject(HANDLE handle, DWORD requestId, DWORD defineId,
                                                 DWORD objectId, DWORD period, DWORD flags,
                                                 DWORD origin, DWORD interval, DWORD limit) {
  return sendRequest(__func__, handle, wire::kRequestDataOnSimObjectSize, [&](uint8_t* buffer) {
    return wire::encodeRequestDataOnSimObject(buffer, requestId, defineId, objectId, period, flags,
                                              origin, interval, limit);
  });
}

HRESULT WINAPI SimConnect_SetDataOnSimObject(HANDLE handle, DWORD defineId, DWORD objectId,
                                             DWORD flags, DWORD arrayCount, DWORD unitSize,
                                             void* data) {
  const char* call = __func__;
  const auto refuse = [call](HRESULT result) { return trace::result(call, result); };
  if (handle == nullptr) return refuse(kFail);
  uint32_t size = 0;
  // A size that does not fit the 32-bit header field cannot be sent at all.
  if (!wire::setDataMessageSize(arrayCount, unitSize, size)) return refuse(kFail);
  if (data == nullptr && size > wire::kSetDataOnSimObjectHeaderSize) {
    return refuse(kInvalidArgument);
  }
  return sendRequest(call, handle, size, [&](uint8_t* buffer) {
    return wire::encodeSetDataOnSimObject(buffer, defineId, objectId, flags, arrayCount, unitSize,
                                          data);
  });
}

HRESULT WINAPI SimConnect_RequestSystemState(HANDLE handle, DWORD requestId, const char* state) {
  return sendRequest(__func__, handle, wire::kRequestSystemStateSize, [&](uint8_t* buffer) {
    return wire::encodeRequestSystemState(buffer, requestId, state);
  });
}

} // extern "C"
