#pragma once
// What the channel benchmarks share: the stand-in server on a pipe name and port of this
// process, a SimConnect.cfg in a private current directory that points the library at them, and
// the library client and the bare channel that each benchmark compares.
#include <windows.h>
#include <winsock2.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/win/BareChannel.h"
#include "connection/UniqueHandle.h"
#include "include/Wirebridge.h"
#include "tools/simserver/Server.h"

namespace bench {

// A fresh folder under the temporary folder that is the current directory while it lives.
class ScratchDirectory {
public:
  explicit ScratchDirectory(const std::string& name);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// Server options: a pipe name of this process (with `tag`), a free IPv4 port, nothing published.
simserver::Options serverOptions(const std::string& tag, bool answerRequests);
std::wstring pipeNameOf(const simserver::Options& options); // the name below the pipe folder

// Writes SimConnect.cfg into the current directory: section SimConnect.1 for the pipe,
// SimConnect.2 for TCP over IPv4 (Nagle off).
void writeClientConfig(const std::wstring& pipeName, uint16_t ipv4Port);
DWORD configIndexFor(ChannelKind kind);

// Polls the server until the connection has received `count` messages (Sleep(1) between looks,
// so that the waiting thread takes no time from the channel). False on timeout.
bool waitForServerCount(const simserver::Server& server, simserver::ConnectionId connection,
                        size_t count, DWORD timeoutMs = 60000);
size_t serverCount(const simserver::Server& server, simserver::ConnectionId connection);

// The library's side of a channel: a handle from SimConnect_Open with an auto-reset event, and
// the server's connection id for it. The open reply has been dispatched. There is no close: the
// client and its event (which the client goes on setting) live as long as the process.
struct LibraryClient {
  HANDLE handle = nullptr;
  HANDLE event = nullptr;
  simserver::ConnectionId connection = 0;
};
// Throws std::runtime_error when the open fails.
LibraryClient openLibraryClient(simserver::Server& server, ChannelKind kind, bool withEvent = true);

// A bare channel with its Open message sent (sequence 1) and the open reply consumed.
struct BareClient {
  std::unique_ptr<BareChannel> channel;
  simserver::ConnectionId connection = 0;
  uint32_t nextSequence = 2;
};
BareClient openBareClient(simserver::Server& server, ChannelKind kind, bool bindToPool);

// `count` TransmitClientEvent messages back to back, numbered from `firstSequence`.
std::vector<uint8_t> transmitMessages(size_t count, uint32_t firstSequence);

// Dispatch procedure that counts records and their bytes, and remembers the last event's data.
struct DispatchTally {
  uint64_t records = 0;
  uint64_t bytes = 0;
  uint32_t lastEventData = 0;
  uint64_t events = 0;
  static void CALLBACK count(SIMCONNECT_RECV* record, DWORD length, void* context);
};

} // namespace bench
