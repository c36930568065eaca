#include "bench/win/Setup.h"

#include <fstream>
#include <stdexcept>

#include "client/WireFormat.h"
#include "tools/simserver/Records.h"

namespace bench {
namespace {

constexpr DWORD kOpenTimeoutMs = 20000;

std::string narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end()); // the names used here are plain ASCII
}

simserver::ConnectionId newestConnection(const simserver::Server& server, size_t before) {
  if (!server.waitForConnections(before + 1, std::chrono::milliseconds(kOpenTimeoutMs)))
    throw std::runtime_error("the server saw no new connection");
  return server.connections().back();
}

} // namespace

ScratchDirectory::ScratchDirectory(const std::string& name) {
  previous_ = std::filesystem::current_path();
  path_ =
      std::filesystem::temp_directory_path() / (name + "-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
  std::filesystem::current_path(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

simserver::Options serverOptions(const std::string& tag, bool answerRequests) {
  simserver::Options options;
  options.pipePath = L"\\\\.\\pipe\\wirebridge-bench-" + std::to_wstring(GetCurrentProcessId()) +
                     L"-" + std::wstring(tag.begin(), tag.end());
  options.serveIPv6 = false;
  options.publishPorts = false;
  options.answerRequests = answerRequests;
  return options;
}

std::wstring pipeNameOf(const simserver::Options& options) {
  const std::wstring prefix = L"\\\\.\\pipe\\";
  return options.pipePath.substr(prefix.size());
}

void writeClientConfig(const std::wstring& pipeName, uint16_t ipv4Port) {
  std::ofstream config("SimConnect.cfg", std::ios::trunc);
  config << "[SimConnect.1]\nProtocol=Pipe\nAddress=.\nPort=" << narrow(pipeName) << "\n\n"
         << "[SimConnect.2]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=" << ipv4Port
         << "\nDisableNagle=1\n";
  if (!config) throw std::runtime_error("SimConnect.cfg cannot be written");
}

DWORD configIndexFor(ChannelKind kind) {
  return kind == ChannelKind::Pipe ? 1 : 2;
}

size_t serverCount(const simserver::Server& server, simserver::ConnectionId connection) {
  const auto info = server.info(connection);
  return info ? info->messageCount : 0;
}

bool waitForServerCount(const simserver::Server& server, simserver::ConnectionId connection,
                        size_t count, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (serverCount(server, connection) < count) {
    if (GetTickCount64() > deadline) return false;
    Sleep(1);
  }
  return true;
}

void CALLBACK DispatchTally::count(SIMCONNECT_RECV* record, DWORD length, void* context) {
  auto* tally = static_cast<DispatchTally*>(context);
  ++tally->records;
  tally->bytes += length;
  if (record->dwID == simserver::records::id::Event && length >= 24) {
    ++tally->events;
    tally->lastEventData = reinterpret_cast<const uint32_t*>(record)[5];
  }
}

LibraryClient openLibraryClient(simserver::Server& server, ChannelKind kind, bool withEvent) {
  LibraryClient client;
  if (withEvent) client.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const size_t before = server.connections().size();
  const HRESULT opened = SimConnect_Open(&client.handle, "wirebridge bench", nullptr, 0,
                                         client.event, configIndexFor(kind));
  if (opened != S_OK)
    throw std::runtime_error("SimConnect_Open on the " + std::string(channelName(kind)) +
                             " failed with " + std::to_string(uint32_t(opened)));
  client.connection = newestConnection(server, before);
  // Take the open reply out of the way.
  DispatchTally tally;
  const ULONGLONG deadline = GetTickCount64() + kOpenTimeoutMs;
  while (tally.records == 0) {
    if (GetTickCount64() > deadline) throw std::runtime_error("no open reply");
    if (withEvent) {
      WaitForSingleObject(client.event, 100);
    } else {
      Sleep(1);
    }
    SimConnect_CallDispatch(client.handle, &DispatchTally::count, &tally);
  }
  return client;
}

BareClient openBareClient(simserver::Server& server, ChannelKind kind, bool bindToPool) {
  BareClient client;
  const size_t before = server.connections().size();
  client.channel =
      std::make_unique<BareChannel>(kind, server.pipePath(), server.ipv4Port(), bindToPool);
  client.connection = newestConnection(server, before);
  uint8_t open[wire::kOpenSize] = {};
  wire::encodeOpen(open, "wirebridge bench (bare)");
  wire::writeSequence(open, 1);
  uint8_t reply[simserver::records::kOpenSize];
  bool replied;
  if (bindToPool) {
    replied = client.channel->startCounting(1, sizeof reply) &&
              client.channel->postWrite(open, sizeof open) &&
              client.channel->waitWrites(kOpenTimeoutMs) &&
              client.channel->waitRecords(kOpenTimeoutMs);
  } else {
    replied = client.channel->writeBlocking(open, sizeof open) &&
              client.channel->readBlocking(reply, sizeof reply);
  }
  if (!replied) throw std::runtime_error("the bare client got no open reply");
  return client;
}

std::vector<uint8_t> transmitMessages(size_t count, uint32_t firstSequence) {
  std::vector<uint8_t> messages(count * wire::kTransmitClientEventSize);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* message = messages.data() + i * wire::kTransmitClientEventSize;
    wire::encodeTransmitClientEvent(message, 0, 7, uint32_t(i), 0, 0);
    wire::writeSequence(message, firstSequence + uint32_t(i));
  }
  return messages;
}

} // namespace bench
