#pragma once
// The simulator's side of the in-process host protocol, for SimConnect client libraries loaded
// into the stand-in simulator's process:
//   - the main window's host commands: remover query (kind 5), pump registration (kind 4), client
//     registration (kind 1, answered with the four host functions through acceptHostFunctions);
//   - the host functions: hostAllocate / hostDiscard / hostSend take the client's requests
//     (checked, answered like the stand-in server answers its pipe and socket clients), and
//     hostRelease takes back data delivered through deliverFromHost;
//   - the frame work on the main thread: delivering the answers, then the pump-all dispatch call.
// Every buffer handed out and every delivery is tracked: a buffer must be sent or discarded once,
// a delivery released exactly once with the id and serial it was delivered with.
//
// The host functions are plain function pointers without a context, so one HostSide at a time is
// reachable from them (the simulator process has one main window).
#include "tools/standin-sim/HostConversation.h"
#include "tools/standin-sim/HostRecords.h"
#include "tools/standin-sim/Transcript.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace standin {

struct HostClientInfo {
  uint32_t clientId = 0;
  uint32_t serial = 0;
  int32_t acceptResult = 0; // what acceptHostFunctions answered (1: installed)
};

struct HostSummary {
  std::vector<uint32_t> commandKinds;  // in arrival order
  std::vector<HostClientInfo> clients; // registered (kind 1), in order
  std::vector<uint32_t> requestTypes;  // messages received through hostSend, in order
  size_t buffersAllocated = 0;
  size_t buffersSent = 0;
  size_t buffersDiscarded = 0;
  size_t buffersOutstanding = 0;
  size_t deliveries = 0;
  size_t releases = 0;           // good releases: known data, right id and serial, first time
  size_t releasesInsidePump = 0; // of these, made while the pump-all call ran
  size_t deliveriesOutstanding = 0;
  size_t pendingAnswers = 0;
  bool pumpRegistered = false;
  bool pumpRemoved = false;
  size_t pumpCalls = 0;
  std::vector<std::string> problems;
};

class HostSide {
public:
  explicit HostSide(Transcript& transcript);
  ~HostSide();
  HostSide(const HostSide&) = delete;
  HostSide& operator=(const HostSide&) = delete;

  // A host command arrived at the main window (lParam of the WM_COMMAND); main thread.
  void onCommand(uint8_t* record);

  // Frame work, main thread: hand every answer waiting to its client, then run the pump-all call
  // once when a pump is registered and pumping is on.
  void runFrame();

  // No answer waiting and every delivery released.
  bool settled() const;

  // Ends the pump-all calls (before the add-on that owns the dispatch procedures is stopped).
  void stopPumping();

  bool insidePump() const { return insidePump_; }
  HostSummary summary() const;

private:
  struct Buffer {
    uint32_t clientId;
    uint32_t serial;
    uint32_t size;
    std::unique_ptr<uint8_t[]> bytes;
  };
  struct Delivery {
    uint64_t number;
    uint32_t clientId;
    uint32_t serial;
    uint32_t length;
    std::unique_ptr<uint8_t[]> bytes;
  };
  struct PendingAnswer {
    uint32_t clientId;
    uint32_t serial;
    host::DeliverFn deliver;
    std::vector<uint8_t> record;
  };
  struct Client {
    HostClientInfo info;
    host::DeliverFn deliver = nullptr;
    HostConversation conversation;
  };

  // Entry points handed to the client library.
  static void* allocateEntry(uint32_t clientId, uint32_t serial, uint32_t size);
  static void discardEntry(uint32_t clientId, uint32_t serial, void* buffer);
  static void sendEntry(uint32_t clientId, uint32_t serial, uint32_t length, void* buffer);
  static void releaseEntry(uint32_t clientId, uint32_t serial, void* data);
  static void removerEntry(void* callDispatch);

  void* allocate(uint32_t clientId, uint32_t serial, uint32_t size);
  void discard(uint32_t clientId, uint32_t serial, void* buffer);
  void send(uint32_t clientId, uint32_t serial, uint32_t length, void* buffer);
  void release(uint32_t clientId, uint32_t serial, void* data);
  void removePump(void* callDispatch);

  void onRemoverQuery(uint8_t* record, uint32_t size);
  void onPumpRegistration(const uint8_t* record, uint32_t size);
  void onClientRegistration(const uint8_t* record, uint32_t size);
  void deliverPending();
  void callPump();

  // With mutex_ held.
  Client* findClient(uint32_t clientId, uint32_t serial);
  void problem(const std::string& text);
  void retire(Delivery delivery);

  Transcript& transcript_;
  mutable std::mutex mutex_;
  std::vector<uint32_t> commandKinds_;
  std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<Client>> clients_;
  std::vector<HostClientInfo> clientOrder_;
  std::map<const void*, Buffer> buffers_;
  std::map<const void*, Delivery> deliveries_;
  std::deque<Delivery> retired_;
  std::deque<PendingAnswer> pending_;
  std::vector<uint32_t> requestTypes_;
  std::vector<std::string> problems_;
  size_t buffersAllocated_ = 0;
  size_t buffersSent_ = 0;
  size_t buffersDiscarded_ = 0;
  uint64_t deliveryCount_ = 0;
  size_t releases_ = 0;
  size_t releasesInsidePump_ = 0;
  bool pumpRemoved_ = false;
  size_t pumpCalls_ = 0;
  bool pumpResultReported_ = false;

  std::atomic<host::PumpFn> pump_{nullptr};
  std::atomic<bool> pumping_{true};
  std::atomic<bool> insidePump_{false};
};

} // namespace standin
