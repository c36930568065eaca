#include "client/SimClient.h"

#include <cstring>
#include <new>

std::atomic<int32_t> liveClientCount{0};

namespace {

CriticalSection& listLock() noexcept {
  static CriticalSection lock(100);
  return lock;
}
SimClient* listHead = nullptr;
SimClient* listTail = nullptr;

void append(SimClient* client) noexcept {
  auto guard = listLock().lock();
  client->prevClient = listTail;
  client->nextClient = nullptr;
  if (listTail != nullptr) {
    listTail->nextClient = client;
  } else {
    listHead = client;
  }
  listTail = client;
}

bool isListed(SimClient* client) noexcept {
  return client->prevClient != nullptr || client->nextClient != nullptr || listHead == client;
}

} // namespace

SimClient::SimClient(TransportKind transportKind) noexcept
    : Transport(transportKind), receiveQueue(), stagingBase(staging), stagingCursor(staging) {
  receiveQueue.lock().setRank(LockRank::ReceiveQueue);
  std::memset(staging, 0, sizeof(staging));
}

SimClient* SimClient::create(TransportKind kind) noexcept {
  // Clients live by the transport's reference count; the last Release deletes.
  auto* client = new (std::nothrow) SimClient(kind);
  if (client == nullptr) return nullptr;
  liveClientCount.fetch_add(1);
  append(client);
  return client;
}

SimClient::~SimClient() {
  liveClientCount.fetch_sub(1);
  auto guard = receiveQueue.lock().lock();
  receiveQueue.clear();
}

void SimClient::OnConnected() {
  Transport::OnConnected();
  if (disableNagle && kind == TransportKind::Tcp) {
    const int on = 1;
    setsockopt(reinterpret_cast<SOCKET>(handle), IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char*>(&on), sizeof(on));
  }
  state = StateConnected;
}

void SimClient::setDispatchTarget(DispatchProc procedure, void* context) noexcept {
  auto guard = dispatchTargetLock_.lock();
  dispatchProc = procedure;
  dispatchContext = context;
}

bool SimClient::dispatchTarget(DispatchProc& procedure, void*& context) noexcept {
  auto guard = dispatchTargetLock_.lock();
  procedure = dispatchProc;
  context = dispatchContext;
  return procedure != nullptr;
}

namespace clientList {

void unlink(SimClient* client) noexcept {
  auto guard = listLock().lock();
  if (!isListed(client)) return;
  if (listHead == client) listHead = client->nextClient;
  if (listTail == client) listTail = client->prevClient;
  if (client->prevClient != nullptr) client->prevClient->nextClient = client->nextClient;
  if (client->nextClient != nullptr) client->nextClient->prevClient = client->prevClient;
  client->prevClient = nullptr;
  client->nextClient = nullptr;
}

bool snapshot(std::vector<SimClient*>& clients) noexcept {
  clients.clear();
  try {
    auto guard = listLock().lock();
    for (SimClient* client = listHead; client != nullptr; client = client->nextClient) {
      clients.push_back(client);
      client->AddRef();
    }
    return true;
  } catch (const std::bad_alloc&) {
    for (SimClient* client : clients)
      client->Release();
    clients.clear();
    return false;
  }
}

SimClient* findByHostId(uint32_t serial, uint32_t hostClientId) noexcept {
  auto guard = listLock().lock();
  for (SimClient* client = listHead; client != nullptr; client = client->nextClient) {
    if (client->connectionSerial == serial && client->hostClientId == hostClientId) {
      client->AddRef();
      return client;
    }
  }
  return nullptr;
}

SimClient* head() noexcept {
  auto guard = listLock().lock();
  return listHead;
}

SimClient* tail() noexcept {
  auto guard = listLock().lock();
  return listTail;
}

} // namespace clientList
