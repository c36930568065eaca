#pragma once
// simserver::Server: a stand-in for the simulator's SimConnect server, for tests, the demo and
// add-on development without the simulator. Runs inside the caller's process.
//
// Endpoints (each can be switched off in Options):
//   - the named pipe, by default \\.\pipe\Lockheed Martin Prepar3D v4\SimConnect, one instance per
//     client, re-created for the next client at once;
//   - TCP on ::1 and on 127.0.0.1 (port 0 picks a free port; ipv4Port()/ipv6Port() give the bound
//     ports), published as decimal REG_SZ values "SimConnect_Port_IPv4"/"SimConnect_Port_IPv6"
//     under HKCU\SOFTWARE\Lockheed Martin\Prepar3D v4 while running (removed again by stop()).
//
// Life: start() binds everything and returns once clients can connect (throws
// std::runtime_error naming what failed, e.g. when ::1 is unavailable); stop() (also run by the
// destructor) ends every connection, joins all threads and closes every handle. Winsock is
// started for the object's lifetime. A stopped server can be started again; start() forgets
// what the previous run recorded, stop() keeps it for inspection. start() and stop() belong to
// one thread; every other call may come from any thread at any time.
//
// Each accepted connection gets an id 1, 2, 3... in accept order and a thread of its own. The
// thread reads the client's messages by their 16-byte header, records each one (raw bytes and
// header) and checks it: version 26, a known type, the exact size for the type, proper string
// fields, the Open message's fixed fields, Open first and only once, sequence numbers never 0
// and strictly rising. Findings are recorded as Violations and answered with fault records
// (Options::closeOnViolation also closes the connection). Good messages get the answers that
// README.md documents (Open: the 308-byte record with id 2 and the client id at offset 300).
//
// Observation (any thread, all copies): connections(), waitForConnections(), messages(),
// waitForMessages(), violations(), waitForViolations(), info() with closedBy, waitForClose().
// Actions: sendRaw(), closeConnection() (orderly, TCP reset, broken pipe), pauseReading(),
// setFaults() for a live connection, setNextConnectionFaults() for the next accepted one, and
// Options::faults for every connection. FaultScript lists the scriptable misbehaviours.
#include "tools/simserver/ClientMessages.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace simserver {

using ConnectionId = uint32_t;
using Milliseconds = std::chrono::milliseconds;

enum class Endpoint { Pipe, IPv4, IPv6 };

// How the server ends a connection. Reset applies to TCP (SO_LINGER 0, the client sees a
// connection reset) and BreakPipe to the pipe (the server end is disconnected, unread data is
// dropped); each acts as the other on the other kind of channel.
enum class CloseMode { Orderly, Reset, BreakPipe };

enum class ClosedBy { Open, Client, Server, Stop };

const char* endpointName(Endpoint endpoint);
const char* closedByName(ClosedBy closedBy);

// Misbehaviour of the server on one connection. Counts start when the script takes effect (at
// accept for Options::faults and setNextConnectionFaults, at the call for setFaults).
struct FaultScript {
  std::optional<size_t> closeAfterMessages;     // close once this many messages have arrived
  std::optional<uint64_t> closeAfterReplyBytes; // write no more than this many bytes, then close
  CloseMode closeMode = CloseMode::Orderly;     // how either of the two closes

  uint32_t pieceSize = 0;     // write the outgoing bytes in pieces of this size (0: whole)
  Milliseconds piecePause{0}; // pause after each piece
  uint32_t fillerBytes = 0;   // zero bytes written between consecutive answer records

  // Byte blocks written right after the Open reply (see records::pattern and
  // records::withSizeField for large, over-limit and malformed records).
  std::vector<std::vector<uint8_t>> afterOpenReply;

  // Slow reader: after this many messages stop reading for pauseReadingFor.
  std::optional<size_t> pauseReadingAfterMessages;
  Milliseconds pauseReadingFor{0};
};

struct Options {
  bool servePipe = true;
  std::wstring pipePath = L"\\\\.\\pipe\\Lockheed Martin Prepar3D v4\\SimConnect";
  bool serveIPv4 = true;
  uint16_t ipv4Port = 0; // 0: a free port
  bool serveIPv6 = true;
  uint16_t ipv6Port = 0;
  bool publishPorts = true; // write the bound ports to HKCU while running; restored at stop

  bool answerRequests = true;          // false: only the Open reply is written, no other record
  bool closeOnViolation = false;       // close the connection (orderly) after a violation
  uint32_t maxMessageSize = 16u << 20; // larger size fields count as a lost stream
  uint32_t pipeBufferSize = 4096;      // in and out buffer of each pipe instance
  int socketReceiveBuffer = 0;         // SO_RCVBUF of accepted sockets (0: system default)

  FaultScript faults; // for every connection that setNextConnectionFaults does not cover

  // Called from the server's threads with one line per event: connections, every received
  // message decoded, violations, closes. Must be thread-safe.
  std::function<void(const std::string&)> log;
};

struct ReceivedMessage {
  MessageHeader header;
  std::vector<uint8_t> bytes; // the whole message, header included
};

struct Violation {
  ConnectionId connection = 0;
  size_t messageIndex = 0; // index in messages(connection); for StreamSize the next index
  ViolationKind kind = ViolationKind::StreamSize;
  std::string detail;
};

struct ConnectionInfo {
  ConnectionId id = 0;
  Endpoint endpoint = Endpoint::Pipe;
  uint32_t clientId = 0; // sent at offset 300 of the Open reply: 1000 + id
  ClosedBy closedBy = ClosedBy::Open;
  uint64_t bytesWritten = 0;
  size_t messageCount = 0;
  size_t violationCount = 0;
};

class Server {
public:
  explicit Server(Options options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void start();
  void stop();
  bool running() const;

  uint16_t ipv4Port() const; // 0 when not serving
  uint16_t ipv6Port() const;
  std::wstring pipePath() const;

  // Faults for the next accepted connection (once; replaces Options::faults for it).
  void setNextConnectionFaults(FaultScript faults);
  // Replaces a live connection's faults. False when the connection is unknown or closed.
  bool setFaults(ConnectionId connection, FaultScript faults);

  // Actions on a live connection; false when it is unknown or already closed.
  bool sendRaw(ConnectionId connection, std::vector<uint8_t> bytes);
  bool closeConnection(ConnectionId connection, CloseMode mode);
  bool pauseReading(ConnectionId connection, Milliseconds duration);

  std::vector<ConnectionId> connections() const; // accept order
  bool waitForConnections(size_t count, Milliseconds timeout) const;
  std::optional<ConnectionInfo> info(ConnectionId connection) const;
  bool waitForClose(ConnectionId connection, Milliseconds timeout) const;

  std::vector<ReceivedMessage> messages(ConnectionId connection) const;
  bool waitForMessages(ConnectionId connection, size_t count, Milliseconds timeout) const;

  std::vector<Violation> violations() const; // all connections
  std::vector<Violation> violations(ConnectionId connection) const;
  bool waitForViolations(ConnectionId connection, size_t count, Milliseconds timeout) const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace simserver
