#include "client/SendBuffer.h"

#include <cstring>

#include "client/SimClient.h"
#include "client/WireFormat.h"
#include "diagnostics/Trace.h"

CriticalSection& sendLock() noexcept {
  // Created when the library is loaded, deleted when it is unloaded.
  static CriticalSection lock(100, LockRank::Send);
  return lock;
}

namespace {

void numberMessage(SimClient& client, uint8_t* buffer) noexcept {
  if (++client.sendSequence == 0) ++client.sendSequence; // 0 is never sent
  wire::writeSequence(buffer, client.sendSequence);
}

// In host mode: a simulator buffer for the message, or null to build it in the staging area.
uint8_t* obtainHostBuffer(SimClient& client, uint32_t size) noexcept {
  WB_CALLING_HOST_BUFFER_FUNCTION();
  auto* buffer = static_cast<uint8_t*>(
      client.hostAllocate(client.hostClientId, client.connectionSerial, size));
  if (buffer == nullptr) return nullptr;
  try {
    client.hostBuffers.push_back({buffer, size});
  } catch (...) {
    WB_CALLING_HOST_BUFFER_FUNCTION();
    client.hostDiscard(client.hostClientId, client.connectionSerial, buffer);
    return nullptr;
  }
  std::memset(buffer, 0, size);
  return buffer;
}

} // namespace

uint32_t obtainMessageBuffer(SimClient* client, uint32_t size, uint8_t** buffer) noexcept {
  auto guard = sendLock().lock();
  if (client != nullptr) WB_CHECK_LIVE(client, "a client is not used after its final release");
  *buffer = nullptr;
  if (client == nullptr || client->stagingBase == nullptr) return ObtainFailed;
  if (client->IsLost()) return ObtainLost;
  if (client->hostMode) {
    if (uint8_t* host = obtainHostBuffer(*client, size)) {
      numberMessage(*client, host);
      *buffer = host;
      return ObtainGiven;
    }
  }
  const uint32_t used = uint32_t(client->stagingCursor - client->stagingBase);
  if (size > client->stagingCapacity - used) return ObtainFailed; // never hand out a short buffer
  *buffer = client->stagingCursor;
  numberMessage(*client, *buffer);
  client->stagingCursor += size;
  return ObtainGiven;
}

uint32_t releaseMessageBuffer(SimClient* client, uint8_t* buffer, uint32_t size) noexcept {
  auto guard = sendLock().lock();
  if (client == nullptr || client->stagingBase == nullptr || buffer == nullptr) return 1;
  if (client->hostMode) {
    auto& entries = client->hostBuffers;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->buffer == buffer && it->length == size) {
        WB_CALLING_HOST_BUFFER_FUNCTION();
        client->hostDiscard(client->hostClientId, client->connectionSerial, buffer);
        entries.erase(it);
        return 0;
      }
    }
  }
  client->stagingCursor = buffer;
  std::memset(buffer, 0, size);
  return 0;
}

uint32_t commitMessage(SimClient* client) noexcept {
  if (client == nullptr) return 1;
  return client->immediateSend ? flushStaging(client) : 0;
}

uint32_t flushStaging(SimClient* client) noexcept {
  auto guard = sendLock().lock();
  if (client == nullptr) return 1;
  WB_CHECK_LIVE(client, "a client is not used after its final release");
  if (client->hostMode) {
    for (const HostBuffer& entry : client->hostBuffers) {
      trace::sending(*client, entry.buffer, entry.length, true);
      WB_CALLING_HOST_BUFFER_FUNCTION();
      client->hostSend(client->hostClientId, client->connectionSerial, entry.length, entry.buffer);
    }
    client->hostBuffers.clear();
  }
  const uint32_t used = uint32_t(client->stagingCursor - client->stagingBase);
  if (used == 0) return 1;
  uint8_t* copy = allocateMessageData(used);
  if (copy == nullptr) return 1;
  std::memcpy(copy, client->stagingBase, used);
  BlockRef block(MessageBlock::create(copy, used, client->connectionSerial, 0));
  if (!block) {
    freeMessageData(copy);
    return 1;
  }
  trace::sending(*client, copy, used, false);
  // A connection that is not open, or a write that cannot be posted, drops the message.
  const bool taken = client->Send(block.get());
  if (!taken) trace::notSent(*client, used);
  client->stagingCursor = client->stagingBase;
  std::memset(client->stagingBase, 0, used);
  return taken ? FlushHandedOver : FlushNotTaken;
}
