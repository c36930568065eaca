#pragma once
// What the server saw, per connection, shared between the connection threads that add to it and
// the test threads that wait on it and read copies.
#include "tools/simserver/Server.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace simserver {

class Recorder {
public:
  void clear();

  // Registers a new connection; ids count from 1 in the order of the calls.
  ConnectionInfo addConnection(Endpoint endpoint);
  // Adds a message with what its check found; returns the message's index.
  size_t addMessage(ConnectionId connection, ReceivedMessage message,
                    const std::vector<Finding>& findings);
  void addStreamViolation(ConnectionId connection, const Finding& finding);
  void addBytesWritten(ConnectionId connection, uint64_t count);
  void setClosed(ConnectionId connection, ClosedBy closedBy);

  std::vector<ConnectionId> connections() const;
  bool waitForConnections(size_t count, Milliseconds timeout) const;
  std::optional<ConnectionInfo> info(ConnectionId connection) const;
  bool waitForClose(ConnectionId connection, Milliseconds timeout) const;
  std::vector<ReceivedMessage> messages(ConnectionId connection) const;
  bool waitForMessages(ConnectionId connection, size_t count, Milliseconds timeout) const;
  std::vector<Violation> violations() const;
  std::vector<Violation> violations(ConnectionId connection) const;
  bool waitForViolations(ConnectionId connection, size_t count, Milliseconds timeout) const;

private:
  struct Record {
    ConnectionInfo info;
    std::vector<ReceivedMessage> messages;
    std::vector<Violation> violations;
  };

  Record* find(ConnectionId connection);
  const Record* find(ConnectionId connection) const;
  template <typename Predicate> bool waitUntil(Milliseconds timeout, Predicate predicate) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Record> records_; // index = id - 1
};

} // namespace simserver
