#include "connection/OpenClose.h"

#include <windows.h>
#include <winsock2.h>

#include <optional>
#include <string>

#include "client/ReceiveDispatch.h"
#include "client/SimClient.h"
#include "connection/CompletionStatus.h"
#include "connection/ConfigLookup.h"
#include "connection/ConfigRules.h"
#include "connection/SimulatorInterface.h"
#include "diagnostics/Trace.h"

extern "C" HRESULT WINAPI SimConnect_CallDispatch(HANDLE, DispatchProc, void*);

namespace {

CriticalSection& winsockLock() noexcept {
  static CriticalSection lock(100);
  return lock;
}
bool winsockStarted = false; // guarded by winsockLock
int opensInProgress = 0;     // guarded by winsockLock

constexpr DWORD kSleepBeforeCloseMs = 100;
constexpr DWORD kSleepAfterCloseMs = 250;
constexpr DWORD kTransportPollMs = 250;
constexpr int kTransportPolls = 20;

void* callDispatchAddress() noexcept {
  return reinterpret_cast<void*>(&SimConnect_CallDispatch);
}

void prepareAddressCommand(HostAddressCommand& record, uint32_t kind, void* address) noexcept {
  ZeroMemory(&record, sizeof(record));
  record.size = sizeof(record);
  record.kind = kind;
  record.address = reinterpret_cast<uint64_t>(address);
}

// Stores the client and, when the simulator's main window belongs to this process, attaches.
uint32_t attachToHost(SimClient** slot, SimClient* client) {
  *slot = client;
  HWND window = FindWindowW(sim::kMainWindowClass, nullptr);
  trace::hostWindow(window);
  if (window == nullptr || client->hostState != 0) return OpenConnected;
  DWORD windowProcess = 0;
  GetWindowThreadProcessId(window, &windowProcess);
  if (windowProcess != GetCurrentProcessId()) return OpenConnected;

  prepareAddressCommand(client->removerQuery, sim::HostQueryPumpRemover, nullptr);
  sendHostCommand(window, &client->removerQuery);
  client->pumpRemover = reinterpret_cast<PumpRemoverFn>(client->removerQuery.address);
  trace::hostCommand(sim::HostQueryPumpRemover, client->removerQuery.address);
  if (liveClientCount == 1) {
    prepareAddressCommand(client->pumpCommand, sim::HostRegisterPump, callDispatchAddress());
    sendHostCommand(window, &client->pumpCommand);
    trace::hostCommand(sim::HostRegisterPump, client->pumpCommand.address);
  }
  client->hostState = 1;
  client->hostWindow = window;
  return OpenConnected;
}

// One attempt: a new client of the kind, connected or closed again. Null when the attempt
// failed; `created` tells whether a client object could be made at all.
SimClient* attempt(TransportKind kind, int32_t family, const std::wstring& address,
                   const std::wstring& port, const ConnectionConfig& config, bool& created) {
  SimClient* client = SimClient::create(kind);
  created = client != nullptr;
  if (client == nullptr) return nullptr;
  // A TCP step needs a port number from 1 to 65535; without one (empty, a name, or a number the
  // socket layer would wrap into another port) the step makes no attempt.
  std::wstring target = port; // the pipe name, or the TCP port as a plain decimal number
  bool skip = false;
  if (kind == TransportKind::Tcp) {
    const std::optional<uint16_t> number = config::tcpPortNumber(port);
    skip = !number;
    if (skip) trace::attemptSkipped(family, address, port);
    if (number) target = std::to_wstring(*number);
  }
  if (!skip && !client->Connect(family, address.c_str(), target.c_str(), config.maxReceiveSize,
                                config.disableNagle)) {
    return client;
  }
  closeClient(client);
  return nullptr;
}

bool equalsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  return lstrcmpiW(a.c_str(), b) == 0;
}

} // namespace

OpenInProgress::OpenInProgress() noexcept {
  auto guard = winsockLock().lock();
  ++opensInProgress;
}

OpenInProgress::~OpenInProgress() {
  auto guard = winsockLock().lock();
  // Failed opens on several threads each leave Winsock to the others while they overlap; the
  // last open to end cleans up when no client is left.
  if (--opensInProgress == 0 && liveClientCount == 0 && winsockStarted) {
    WSACleanup();
    winsockStarted = false;
  }
}

bool startWinsock() {
  auto guard = winsockLock().lock();
  if (winsockStarted) return true;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 0), &data) == 0) winsockStarted = true;
  return winsockStarted;
}

bool winsockIsStarted() {
  auto guard = winsockLock().lock();
  return winsockStarted;
}

uint32_t openConnection(SimClient** slot, uint32_t configIndex) {
  *slot = nullptr;
  if (const uint32_t found = findConfigSection(configIndex); found != 0) return found;
  ConnectionConfig config;
  trace::ConfigAttribution attribution;
  loadConnectionConfig(configIndex, config, &attribution);
  std::wstring address = config.address;
  std::wstring port = config.port;
  bool created = false;

  enum class Step { Pipe, IPv6, IPv4 } step = Step::Pipe;
  if (config.protocol == TransportProtocol::IPv6) step = Step::IPv6;
  if (config.protocol == TransportProtocol::IPv4) step = Step::IPv4;
  // An empty host name would resolve to the machine's network addresses, where a simulator that
  // listens on loopback refuses: without an address, TCP means this machine's loopback, with the
  // same fallbacks as the literal.
  if (address.empty() && step == Step::IPv6) address = sim::kIPv6Loopback;
  if (address.empty() && step == Step::IPv4) address = sim::kIPv4Loopback;
  attribution.effective(config, address);

  if (step == Step::Pipe) {
    if (SimClient* client = attempt(TransportKind::NamedPipe, 0, address, port, config, created)) {
      return attachToHost(slot, client);
    }
    if (!created) return OpenFailed;
    if (!address.empty() && !equalsIgnoringCase(address, sim::kLocalMachine)) return OpenFailed;
    address = sim::kIPv6Loopback;
    readRegistryPort(true, port);
    step = Step::IPv6;
  }
  if (step == Step::IPv6) {
    if (!startWinsock()) return OpenFailed;
    if (SimClient* client = attempt(TransportKind::Tcp, AF_INET6, address, port, config, created)) {
      return attachToHost(slot, client);
    }
    if (!created || address != sim::kIPv6Loopback) return OpenFailed;
    address = sim::kIPv4Loopback;
    readRegistryPort(false, port);
  }
  if (!startWinsock()) return OpenFailed;
  if (SimClient* client = attempt(TransportKind::Tcp, AF_INET, address, port, config, created)) {
    return attachToHost(slot, client);
  }
  if (!created || address != sim::kIPv4Loopback) return OpenFailed;
  // Last resort: the simulator's standard pipe on this machine.
  if (SimClient* client = attempt(TransportKind::NamedPipe, 0, sim::kLocalMachine, std::wstring(),
                                  config, created)) {
    return attachToHost(slot, client);
  }
  return OpenFailed;
}

void closeClient(SimClient* client) {
  if (client == nullptr) return;
  Sleep(kSleepBeforeCloseMs);
  WB_CHECK_LIVE(client, "a client is not used after its final release");
  if (client->hostState != 0 && liveClientCount == 1 && client->pumpRemover != nullptr) {
    WB_CALLING_OUT();
    client->pumpRemover(callDispatchAddress());
  }
  // Messages are given up undispatched; simulator data goes back to the simulator.
  BlockRef held;
  while (client->receiveQueue.pop(held)) {
    if (held->hostOwned) {
      if (client->hostRelease != nullptr) {
        WB_CALLING_OUT();
        client->hostRelease(client->hostClientId, client->connectionSerial, held->data);
      }
      held->data = nullptr;
    }
  }
  held.reset();
  clientList::unlink(client);
  client->Disconnect(status::ReasonOrderly, 0);
  client->Release();
  Sleep(kSleepAfterCloseMs);
  if (liveClientCount == 0) {
    for (int poll = 0; poll < kTransportPolls && liveTransportCount != 0; ++poll) {
      Sleep(kTransportPollMs);
    }
  }
  auto guard = winsockLock().lock();
  // An open under way elsewhere may be about to use Winsock; it closes its own attempts later.
  if (liveClientCount == 0 && opensInProgress <= 1 && winsockStarted) {
    WSACleanup();
    winsockStarted = false;
  }
}
