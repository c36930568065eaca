#include "tools/simserver/Server.h"

#include "tools/simserver/Connection.h"
#include "tools/simserver/Listeners.h"
#include "tools/simserver/PortRegistry.h"
#include "tools/simserver/Recorder.h"
#include "tools/simserver/WinHandles.h"

#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace simserver {

const char* endpointName(Endpoint endpoint) {
  switch (endpoint) {
  case Endpoint::Pipe:
    return "pipe";
  case Endpoint::IPv4:
    return "ipv4";
  case Endpoint::IPv6:
    return "ipv6";
  }
  return "?";
}

const char* closedByName(ClosedBy closedBy) {
  switch (closedBy) {
  case ClosedBy::Open:
    return "nobody (open)";
  case ClosedBy::Client:
    return "client";
  case ClosedBy::Server:
    return "server";
  case ClosedBy::Stop:
    return "stop";
  }
  return "?";
}

namespace {
// How often a pipe listener that could not make its next instance tries again.
constexpr DWORD kPipeRetryMs = 100;
} // namespace

struct Server::Impl {
  explicit Impl(Options o) : options(std::move(o)), stopEvent(makeEvent(true)) {}

  void acceptLoop();
  void adopt(std::unique_ptr<Channel> channel, Endpoint endpoint);
  Connection* find(ConnectionId id) const;
  void log(const std::string& line) const {
    if (options.log) options.log(line);
  }

  const Options options;
  WinsockSession winsock;
  UniqueHandle stopEvent;
  Recorder recorder;

  std::unique_ptr<PipeListener> pipe;
  std::unique_ptr<TcpListener> ipv4;
  std::unique_ptr<TcpListener> ipv6;
  std::unique_ptr<PortPublication> publication;
  std::thread acceptor;
  bool running = false;

  mutable std::mutex connectionsMutex;
  std::map<ConnectionId, std::unique_ptr<Connection>> connections;
  std::optional<FaultScript> nextFaults;
};

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() {
  stop();
}

void Server::start() {
  Impl& s = *impl_;
  if (s.running) return;
  s.recorder.clear();
  ResetEvent(s.stopEvent.get());
  try {
    if (s.options.servePipe)
      s.pipe = std::make_unique<PipeListener>(s.options.pipePath, s.options.pipeBufferSize);
    if (s.options.serveIPv6) s.ipv6 = std::make_unique<TcpListener>(AF_INET6, s.options.ipv6Port);
    if (s.options.serveIPv4) s.ipv4 = std::make_unique<TcpListener>(AF_INET, s.options.ipv4Port);
    if (s.options.publishPorts && (s.ipv4 || s.ipv6))
      s.publication = std::make_unique<PortPublication>(
          s.ipv4 ? std::optional<uint16_t>(s.ipv4->port()) : std::nullopt,
          s.ipv6 ? std::optional<uint16_t>(s.ipv6->port()) : std::nullopt);
    s.acceptor = std::thread([&s] { s.acceptLoop(); });
  } catch (...) {
    s.publication.reset();
    s.ipv4.reset();
    s.ipv6.reset();
    s.pipe.reset();
    throw;
  }
  s.running = true;
}

void Server::stop() {
  Impl& s = *impl_;
  if (!s.running) return;
  SetEvent(s.stopEvent.get());
  s.acceptor.join();
  std::map<ConnectionId, std::unique_ptr<Connection>> ended;
  {
    std::lock_guard<std::mutex> lock(s.connectionsMutex);
    ended.swap(s.connections);
    s.nextFaults.reset();
  }
  ended.clear(); // each destructor joins its thread, which has seen the stop event
  s.pipe.reset();
  s.ipv4.reset();
  s.ipv6.reset();
  s.publication.reset();
  s.running = false;
  s.log("stopped");
}

bool Server::running() const {
  return impl_->running;
}
uint16_t Server::ipv4Port() const {
  return impl_->ipv4 ? impl_->ipv4->port() : 0;
}
uint16_t Server::ipv6Port() const {
  return impl_->ipv6 ? impl_->ipv6->port() : 0;
}
std::wstring Server::pipePath() const {
  return impl_->options.pipePath;
}

void Server::Impl::acceptLoop() {
  for (;;) {
    HANDLE handles[4] = {stopEvent.get()};
    DWORD count = 1;
    if (pipe && pipe->listening()) handles[count++] = pipe->event();
    if (ipv4) handles[count++] = ipv4->event();
    if (ipv6) handles[count++] = ipv6->event();
    const bool pipeWaitsForRetry = pipe && !pipe->listening();
    const DWORD waited =
        WaitForMultipleObjects(count, handles, FALSE, pipeWaitsForRetry ? kPipeRetryMs : INFINITE);
    if (waited == WAIT_OBJECT_0) return;
    if (waited == WAIT_FAILED) {
      log("accepting stopped: " + systemErrorText(GetLastError()));
      return;
    }
    try {
      if (pipeWaitsForRetry && !pipe->retry()) continue;
      if (pipe && pipe->listening() && WaitForSingleObject(pipe->event(), 0) == WAIT_OBJECT_0)
        if (std::unique_ptr<Channel> channel = pipe->accept())
          adopt(std::move(channel), Endpoint::Pipe);
      if (ipv4 && WaitForSingleObject(ipv4->event(), 0) == WAIT_OBJECT_0)
        for (std::unique_ptr<Channel>& channel : ipv4->accept(options.socketReceiveBuffer))
          adopt(std::move(channel), Endpoint::IPv4);
      if (ipv6 && WaitForSingleObject(ipv6->event(), 0) == WAIT_OBJECT_0)
        for (std::unique_ptr<Channel>& channel : ipv6->accept(options.socketReceiveBuffer))
          adopt(std::move(channel), Endpoint::IPv6);
    } catch (const std::exception& error) {
      // A client that could not be taken on (no memory, no event) is dropped; the server
      // goes on serving the others.
      log(std::string("accept failed: ") + error.what());
    }
  }
}

void Server::Impl::adopt(std::unique_ptr<Channel> channel, Endpoint endpoint) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  FaultScript faults = options.faults;
  if (nextFaults) {
    faults = std::move(*nextFaults);
    nextFaults.reset();
  }
  ConnectionSettings settings;
  settings.answerRequests = options.answerRequests;
  settings.closeOnViolation = options.closeOnViolation;
  settings.maxMessageSize = options.maxMessageSize;
  settings.stopEvent = stopEvent.get();
  settings.recorder = &recorder;
  settings.log = options.log;
  const ConnectionInfo info = recorder.addConnection(endpoint);
  auto connection = std::make_unique<Connection>(info, std::move(channel), std::move(faults),
                                                 std::move(settings));
  log("[" + std::to_string(info.id) + " " + endpointName(endpoint) + "] accepted, client id " +
      std::to_string(info.clientId));
  connection->start();
  connections.emplace(info.id, std::move(connection));
}

Connection* Server::Impl::find(ConnectionId id) const {
  const auto found = connections.find(id);
  return found == connections.end() ? nullptr : found->second.get();
}

void Server::setNextConnectionFaults(FaultScript faults) {
  std::lock_guard<std::mutex> lock(impl_->connectionsMutex);
  impl_->nextFaults = std::move(faults);
}

bool Server::setFaults(ConnectionId connection, FaultScript faults) {
  std::lock_guard<std::mutex> lock(impl_->connectionsMutex);
  Connection* found = impl_->find(connection);
  return found && found->setFaults(std::move(faults));
}

bool Server::sendRaw(ConnectionId connection, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(impl_->connectionsMutex);
  Connection* found = impl_->find(connection);
  return found && found->sendRaw(std::move(bytes));
}

bool Server::closeConnection(ConnectionId connection, CloseMode mode) {
  std::lock_guard<std::mutex> lock(impl_->connectionsMutex);
  Connection* found = impl_->find(connection);
  return found && found->close(mode);
}

bool Server::pauseReading(ConnectionId connection, Milliseconds duration) {
  std::lock_guard<std::mutex> lock(impl_->connectionsMutex);
  Connection* found = impl_->find(connection);
  return found && found->pauseReading(duration);
}

std::vector<ConnectionId> Server::connections() const {
  return impl_->recorder.connections();
}

bool Server::waitForConnections(size_t count, Milliseconds timeout) const {
  return impl_->recorder.waitForConnections(count, timeout);
}

std::optional<ConnectionInfo> Server::info(ConnectionId connection) const {
  return impl_->recorder.info(connection);
}

bool Server::waitForClose(ConnectionId connection, Milliseconds timeout) const {
  return impl_->recorder.waitForClose(connection, timeout);
}

std::vector<ReceivedMessage> Server::messages(ConnectionId connection) const {
  return impl_->recorder.messages(connection);
}

bool Server::waitForMessages(ConnectionId connection, size_t count, Milliseconds timeout) const {
  return impl_->recorder.waitForMessages(connection, count, timeout);
}

std::vector<Violation> Server::violations() const {
  return impl_->recorder.violations();
}

std::vector<Violation> Server::violations(ConnectionId connection) const {
  return impl_->recorder.violations(connection);
}

bool Server::waitForViolations(ConnectionId connection, size_t count, Milliseconds timeout) const {
  return impl_->recorder.waitForViolations(connection, count, timeout);
}

} // namespace simserver
