// Faults planted on purpose, one per run, to show that the checks of the test runs catch them:
// heap damage (found by Wine's heap checking, and by the checked build's guarded blocks of
// operator new), broken invariants (found by the checked build) and a test run that printed
// nothing (found by cmake/wine-run.sh), and a fault that must end the run at once. Each mode must
// make its run fail with the matching report; see CMakeLists.txt.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/ReceiveDispatch.h"
#include "client/SendBuffer.h"
#include "client/SimClient.h"

namespace {

// The C heap, which Wine's heap checking watches, and operator new, whose blocks the checked build
// guards itself. Called through volatile pointers, so that the compiler can neither drop nor merge
// the heap calls around the damage.
struct Heap {
  void* (*volatile allocate)(size_t);
  void (*volatile release)(void*);
};
Heap cHeap{std::malloc, std::free};
Heap newHeap{[](size_t length) { return ::operator new(length); },
             [](void* data) { ::operator delete(data); }};

// Heap calls after the damage: Wine validates the heap at each, and enough of them push a freed
// block out of the guarded heap's quarantine, where it is checked.
void churn(Heap& heap, int rounds) {
  for (int i = 0; i < rounds; ++i)
    heap.release(heap.allocate(size_t(32 + i % 16)));
}

void overrun(Heap& heap, int argc) {
  const size_t length = 24;
  auto* data = static_cast<volatile uint8_t*>(heap.allocate(length));
  data[length - 1 + size_t(argc)] = 0x5A; // one byte past the end
  churn(heap, 16);
  heap.release(const_cast<uint8_t*>(data));
  churn(heap, 16);
}

// With no churn the guarded heap finds the damage only when the program ends.
void writeAfterFree(Heap& heap, int churnRounds) {
  auto* data = static_cast<volatile uint8_t*>(heap.allocate(256));
  heap.release(const_cast<uint8_t*>(data));
  for (int i = 64; i < 80; ++i)
    data[i] = 0x5A;
  churn(heap, churnRounds);
}

void CALLBACK ignoreMessage(SIMCONNECT_RECV*, DWORD, void*) {}

void queueOneMessage(SimClient& client) {
  MessageSlot slot;
  slot.size = 16;
  slot.capacity = 16;
  slot.data = allocateMessageData(16);
  std::memset(slot.data, 0, 16);
  slot.data[0] = 16;
  client.OnMessage(slot);
}

// A loopback listener that accepts nothing: connections complete in its backlog and nothing
// they send is ever read.
struct Listener {
  SOCKET socket = INVALID_SOCKET;
  std::wstring port;
  Listener() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(socket, 4);
    int length = sizeof(address);
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = std::to_wstring(ntohs(address.sin_port));
  }
};

SimClient* connectedClient(const Listener& listener) {
  SimClient* client = SimClient::create(TransportKind::Tcp);
  if (client->Connect(AF_INET, L"127.0.0.1", listener.port.c_str(), 1024, false)) {
    std::fprintf(stderr, "planted: no connection\n");
    std::exit(2);
  }
  return client;
}

MessageBlock* blockOf(uint32_t length) {
  uint8_t* data = allocateMessageData(length);
  std::memset(data, 0x11, length);
  return MessageBlock::create(data, length, 0, 0);
}

int run(const std::string& mode, int argc) {
  if (mode == "silent-start") {
    return 0; // as the rare test runs that ended before their first line: exit code 0, no output
  } else if (mode == "heap-overrun") {
    overrun(cHeap, argc);
  } else if (mode == "heap-write-after-free") {
    writeAfterFree(cHeap, 16);
  } else if (mode == "guarded-overrun") {
    overrun(newHeap, argc);
  } else if (mode == "guarded-write-after-free") {
    writeAfterFree(newHeap, 10000);
  } else if (mode == "guarded-write-after-free-at-exit") {
    writeAfterFree(newHeap, 0);
  } else if (mode == "guarded-double-free") {
    void* data = newHeap.allocate(40);
    newHeap.release(data);
    newHeap.release(data);
  } else if (mode == "reference-below-zero") {
    MessageBlock* block = blockOf(8);
    block->refCount = 0; // one release too many has already happened
    block->release();
  } else if (mode == "use-after-final-release") {
    SimClient* client = SimClient::create(TransportKind::NamedPipe);
    clientList::unlink(client);
    client->Release(); // the creator's reference: the client is gone
    SimConnect_CallDispatch(client, ignoreMessage, nullptr);
  } else if (mode == "lock-order") {
    SimClient* client = SimClient::create(TransportKind::NamedPipe);
    auto state = client->stateLock.lock();
    auto send = sendLock().lock(); // sendLock must come first
  } else if (mode == "receive-queue-alone") {
    SimClient* client = SimClient::create(TransportKind::NamedPipe);
    auto send = sendLock().lock();
    queueOneMessage(*client); // takes the receiveQueue lock under sendLock
  } else if (mode == "callout-under-lock") {
    SimClient* client = SimClient::create(TransportKind::NamedPipe);
    queueOneMessage(*client);
    auto building = client->buildLock.lock();
    SimConnect_CallDispatch(client, ignoreMessage, nullptr); // the procedure runs under it
  } else if (mode == "second-read") {
    Listener listener;
    SimClient* client = connectedClient(listener);
    // Connecting again sets the transport up anew while its first read is still pending.
    client->Connect(AF_INET, L"127.0.0.1", listener.port.c_str(), 1024, false);
  } else if (mode == "second-write") {
    Listener listener;
    SimClient* client = connectedClient(listener);
    // More than the loopback buffers hold: with nobody reading, this write stays pending.
    MessageBlock* large = blockOf(64u << 20);
    client->Send(large);
    large->release();
    {
      auto state = client->stateLock.lock();
      client->writeInProgress = false; // forget the write in flight
    }
    MessageBlock* small = blockOf(64);
    client->Send(small);
    small->release();
  } else if (mode == "crash") {
    // A page that can't be touched (Wine keeps the lowest pages mapped, so a null write may not
    // fault there).
    auto* target = static_cast<volatile int*>(
        VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
    std::printf("planted: writing to a page without access at %p\n", const_cast<int*>(target));
    std::fflush(stdout);
    *target = 0x5A;
  } else {
    std::fprintf(stderr, "planted: unknown mode %s\n", mode.c_str());
    return 2;
  }
  std::printf("planted: %s ran to its end\n", mode.c_str());
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: planted-faults MODE\n");
    return 2;
  }
  return run(argv[1], argc - 1);
}
