#include "client/ReceiveDispatch.h"

#include <cstring>
#include <vector>

#include "client/SendBuffer.h"
#include "client/SimClient.h"
#include "connection/CompletionStatus.h"
#include "diagnostics/Trace.h"

namespace {

constexpr HRESULT kFail = HRESULT(0x80004005L);

uint32_t readU32(const uint8_t* at) noexcept {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

// Every client that has dispatched before, with its own procedure and context.
void pumpAllClients() {
  trace::SimulatorThreadScope simulatorThread;
  std::vector<SimClient*> clients;
  if (!clientList::snapshot(clients)) return;
  for (SimClient* client : clients) {
    DispatchProc procedure;
    void* context;
    if (client->dispatchTarget(procedure, context)) dispatchQueue(client, procedure, context);
  }
  for (SimClient* client : clients)
    client->Release();
}

} // namespace

void sendHostCommand(HWND window, void* record) noexcept {
  WB_CALLING_OUT();
  SendMessageW(window, sim::kHostCommandMessage, WPARAM(sim::kHostCommandWParam),
               reinterpret_cast<LPARAM>(record));
}

void SimClient::notifyCaller() noexcept {
  WB_CALLING_OUT();
  if (notifyWindow != nullptr && notifyMessage != 0) {
    PostMessageW(notifyWindow, notifyMessage, 0, 0);
  }
  if (notifyEvent != nullptr) SetEvent(notifyEvent);
}

void SimClient::Disconnect(int32_t reason, uint32_t code) {
  trace::disconnecting(*this, reason, code);
  // One wake-up per loss: only the failure that ended the connection wakes the caller.
  if (endConnection(reason, code)) notifyCaller();
}

void SimClient::OnMessage(MessageSlot& slot) {
  const uint32_t length = uint32_t(slot.size);
  trace::received(*this, slot.data, length, false);
  uint8_t* data = slot.takeData();
  MessageBlock* block = MessageBlock::create(data, length, connectionSerial, 0);
  if (block == nullptr) {
    // Dropping the message silently would lose data: end the connection instead.
    freeMessageData(data);
    disconnectFor(status::ReasonNoMemory, status::kOutOfMemory, 0);
    return;
  }
  const bool queued = receiveQueue.push(block);
  block->release();
  if (!queued) {
    disconnectFor(status::ReasonNoMemory, status::kOutOfMemory, 0);
    return;
  }
  notifyCaller();
}

uint32_t dispatchQueue(SimClient* client, DispatchProc procedure, void* context) {
  WB_CHECK_LIVE(client, "a client is not used after its final release");
  BlockRef held;
  while (client->receiveQueue.pop(held)) {
    MessageBlock* block = held.get();
    if (block->length >= sim::kRecvMinimumDispatchSize && block->data != nullptr) {
      registerWithHost(client, block->data, block->length);
      DispatchProc target = procedure != nullptr ? procedure : client->defaultDispatch;
      if (target != nullptr) {
        WB_CALLING_OUT();
        target(reinterpret_cast<SIMCONNECT_RECV*>(block->data), block->length, context);
      }
    }
    if (block->hostOwned) {
      if (client->hostRelease != nullptr) {
        WB_CALLING_OUT();
        client->hostRelease(client->hostClientId, client->connectionSerial, block->data);
      }
      block->data = nullptr; // simulator memory is never freed here
    }
  }
  return client->IsLost() ? DispatchLost : DispatchDone;
}

void registerWithHost(SimClient* client, const uint8_t* message, uint32_t length) {
  if (readU32(message + sim::kRecvIdOffset) != sim::kRecvIdOpen) return;
  if (length != sim::kRecvOpenSize) return;
  if (client->hostClientId != 0 || client->hostState != 1) return;
  const uint32_t id = readU32(message + sim::kRecvOpenClientIdOffset);
  if (id == 0) return;
  client->hostClientId = id;
  client->hostState = 2;
  HostRegisterClientCommand& record = client->registerCommand;
  std::memset(&record, 0, sizeof(record));
  record.size = sizeof(record);
  record.kind = sim::HostRegisterClient;
  record.clientId = id;
  record.serial = client->connectionSerial;
  record.acceptHostFunctions = reinterpret_cast<uint64_t>(&acceptHostFunctions);
  record.deliverFromHost = reinterpret_cast<uint64_t>(&deliverFromHost);
  sendHostCommand(client->hostWindow, &record);
  trace::hostCommand(sim::HostRegisterClient, 0, id, record.serial);
}

int32_t acceptHostFunctions(const HostFunctionsCommand* record) {
  if (record == nullptr || record->size != sizeof(HostFunctionsCommand) ||
      record->kind != sim::HostFunctions) {
    return 0;
  }
  SimClient* client = clientList::findByHostId(record->serial, record->clientId);
  if (client == nullptr) return 0;
  int32_t installed = 0;
  {
    // The send path reads the functions under this lock.
    auto guard = sendLock().lock();
    if (!client->hostMode) {
      client->hostAllocate = reinterpret_cast<HostAllocateFn>(record->hostAllocate);
      client->hostDiscard = reinterpret_cast<HostDiscardFn>(record->hostDiscard);
      client->hostSend = reinterpret_cast<HostSendFn>(record->hostSend);
      client->hostRelease = reinterpret_cast<HostReleaseFn>(record->hostRelease);
      client->hostMode = 1;
      installed = 1;
    }
  }
  trace::hostCommand(sim::HostFunctions, uint64_t(installed), record->clientId, record->serial);
  client->Release();
  return installed;
}

void deliverFromHost(uint32_t hostClientId, uint32_t serial, uint32_t length, void* data) {
  SimClient* client = clientList::findByHostId(serial, hostClientId);
  if (client == nullptr) return; // the data stays the simulator's
  trace::received(*client, static_cast<const uint8_t*>(data), length, true);
  BlockRef block(MessageBlock::create(static_cast<uint8_t*>(data), length, serial, 1));
  if (block && client->receiveQueue.push(block.get())) {
    block.reset();
    client->notifyCaller();
  } else if (client->hostRelease != nullptr) {
    // Not queued: hand the data straight back, so the simulator never waits for it.
    WB_CALLING_OUT();
    client->hostRelease(hostClientId, serial, data);
    if (block) block->data = nullptr;
  }
  client->Release();
}

extern "C" HRESULT WINAPI SimConnect_CallDispatch(HANDLE handle, DispatchProc procedure,
                                                  void* context) {
  try {
    if (handle == nullptr) {
      if (reinterpret_cast<uintptr_t>(procedure) == sim::kPumpAllProcedure &&
          reinterpret_cast<uintptr_t>(context) == sim::kPumpAllContext) {
        pumpAllClients();
        return kFail; // the pump-all form always answers this; it is no failure
      }
      return trace::result(__func__, kFail);
    }
    auto* client = static_cast<SimClient*>(handle);
    WB_CHECK_LIVE(client, "a client is not used after its final release");
    if (procedure == nullptr && client->defaultDispatch == nullptr) {
      return trace::result(__func__, kFail);
    }
    DispatchProc chosen = procedure != nullptr ? procedure : client->defaultDispatch;
    client->setDispatchTarget(chosen, context);
    if (dispatchQueue(client, chosen, context) == DispatchLost) {
      return trace::result(__func__, HRESULT(client->lastCode));
    }
    return trace::result(__func__, S_OK);
  } catch (...) {
    return kFail;
  }
}
