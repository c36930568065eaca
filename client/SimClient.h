#pragma once
// The object behind a SimConnect handle: one transport to the server plus the client-side state
// the exported functions need. One heap block per client; it lives by the transport's reference
// count and is listed process-wide in creation order.
#include <atomic>
#include <cstdint>
#include <vector>

#include "client/CriticalSection.h"
#include "client/HostCommand.h"
#include "client/MessageQueue.h"
#include "connection/Transport.h"
#include "include/Wirebridge.h"

struct HostBuffer {
  uint8_t* buffer;
  uint32_t length;
};

class SimClient final : public Transport {
public:
  static constexpr uint32_t kStagingCapacity = 41088;

  // A new client, counted and appended to the client list; null when memory runs out.
  static SimClient* create(TransportKind kind) noexcept;

  ~SimClient() override;
  void OnConnected() override;
  void Disconnect(int32_t reason, uint32_t code) override;
  void OnMessage(MessageSlot& slot) override;

  // Posts the caller's window message and sets its event (whichever were given).
  void notifyCaller() noexcept;

  // The dispatch procedure and context of the latest accepted SimConnect_CallDispatch, kept as
  // one pair so that the pump-all call never pairs one call's procedure with another's context.
  void setDispatchTarget(DispatchProc procedure, void* context) noexcept;
  bool dispatchTarget(DispatchProc& procedure, void*& context) noexcept;

  uint8_t immediateSend = 1;
  MessageQueue receiveQueue;
  HWND notifyWindow = nullptr;
  uint32_t notifyMessage = 0;
  DispatchProc defaultDispatch = nullptr;
  DispatchProc dispatchProc = nullptr;
  void* dispatchContext = nullptr;
  uint32_t stagingCapacity = kStagingCapacity;
  uint8_t staging[kStagingCapacity];
  uint8_t* stagingBase;
  uint8_t* stagingCursor;
  uint32_t sendSequence = 0;
  HANDLE notifyEvent = nullptr;
  SimClient* prevClient = nullptr;
  SimClient* nextClient = nullptr;
  uint32_t hostClientId = 0;
  uint32_t hostState = 0;
  HWND hostWindow = nullptr;
  HostRegisterClientCommand registerCommand{};
  HostAddressCommand pumpCommand{};
  HostAddressCommand removerQuery{};
  HostAllocateFn hostAllocate = nullptr;
  HostDiscardFn hostDiscard = nullptr;
  HostSendFn hostSend = nullptr;
  HostReleaseFn hostRelease = nullptr;
  PumpRemoverFn pumpRemover = nullptr;
  uint8_t hostMode = 0;
  std::vector<HostBuffer> hostBuffers;

  // Held by one thread from obtaining a message buffer until it commits or releases it, so that
  // a flush never carries another thread's half-built message.
  CriticalSection buildLock;

private:
  explicit SimClient(TransportKind kind) noexcept;
  CriticalSection dispatchTargetLock_;
};

extern std::atomic<int32_t> liveClientCount;

// The process-wide list of clients in creation order. Its lock is held only while the links
// change or while a walk picks its clients; never while calling the caller or the simulator.
namespace clientList {
// Removes the client from the list (idempotent).
void unlink(SimClient* client) noexcept;
// Every listed client, each with a reference that the caller must Release; false on no memory.
bool snapshot(std::vector<SimClient*>& clients) noexcept;
// The first listed client with this serial and host client id, with a reference; or null.
SimClient* findByHostId(uint32_t serial, uint32_t hostClientId) noexcept;
SimClient* head() noexcept; // for tests
SimClient* tail() noexcept; // for tests
} // namespace clientList
