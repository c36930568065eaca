#include "tools/simserver/Recorder.h"

namespace simserver {

namespace {
constexpr uint32_t kClientIdBase = 1000;
}

template <typename Predicate>
bool Recorder::waitUntil(Milliseconds timeout, Predicate predicate) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, predicate);
}

Recorder::Record* Recorder::find(ConnectionId connection) {
  if (connection == 0 || connection > records_.size()) return nullptr;
  return &records_[connection - 1];
}

const Recorder::Record* Recorder::find(ConnectionId connection) const {
  if (connection == 0 || connection > records_.size()) return nullptr;
  return &records_[connection - 1];
}

void Recorder::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
  changed_.notify_all();
}

ConnectionInfo Recorder::addConnection(Endpoint endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  Record record;
  record.info.id = static_cast<ConnectionId>(records_.size() + 1);
  record.info.endpoint = endpoint;
  record.info.clientId = kClientIdBase + record.info.id;
  records_.push_back(std::move(record));
  changed_.notify_all();
  return records_.back().info;
}

size_t Recorder::addMessage(ConnectionId connection, ReceivedMessage message,
                            const std::vector<Finding>& findings) {
  std::lock_guard<std::mutex> lock(mutex_);
  Record* record = find(connection);
  if (!record) return 0;
  const size_t index = record->messages.size();
  record->messages.push_back(std::move(message));
  for (const Finding& finding : findings)
    record->violations.push_back(Violation{connection, index, finding.kind, finding.detail});
  record->info.messageCount = record->messages.size();
  record->info.violationCount = record->violations.size();
  changed_.notify_all();
  return index;
}

void Recorder::addStreamViolation(ConnectionId connection, const Finding& finding) {
  std::lock_guard<std::mutex> lock(mutex_);
  Record* record = find(connection);
  if (!record) return;
  record->violations.push_back(
      Violation{connection, record->messages.size(), finding.kind, finding.detail});
  record->info.violationCount = record->violations.size();
  changed_.notify_all();
}

void Recorder::addBytesWritten(ConnectionId connection, uint64_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Record* record = find(connection)) record->info.bytesWritten += count;
  changed_.notify_all();
}

void Recorder::setClosed(ConnectionId connection, ClosedBy closedBy) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Record* record = find(connection)) record->info.closedBy = closedBy;
  changed_.notify_all();
}

std::vector<ConnectionId> Recorder::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ConnectionId> ids;
  for (const Record& record : records_)
    ids.push_back(record.info.id);
  return ids;
}

bool Recorder::waitForConnections(size_t count, Milliseconds timeout) const {
  return waitUntil(timeout, [&] { return records_.size() >= count; });
}

std::optional<ConnectionInfo> Recorder::info(ConnectionId connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Record* record = find(connection);
  if (!record) return std::nullopt;
  return record->info;
}

bool Recorder::waitForClose(ConnectionId connection, Milliseconds timeout) const {
  return waitUntil(timeout, [&] {
    const Record* record = find(connection);
    return record && record->info.closedBy != ClosedBy::Open;
  });
}

std::vector<ReceivedMessage> Recorder::messages(ConnectionId connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Record* record = find(connection);
  return record ? record->messages : std::vector<ReceivedMessage>{};
}

bool Recorder::waitForMessages(ConnectionId connection, size_t count, Milliseconds timeout) const {
  return waitUntil(timeout, [&] {
    const Record* record = find(connection);
    return record && record->messages.size() >= count;
  });
}

std::vector<Violation> Recorder::violations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Violation> all;
  for (const Record& record : records_)
    all.insert(all.end(), record.violations.begin(), record.violations.end());
  return all;
}

std::vector<Violation> Recorder::violations(ConnectionId connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Record* record = find(connection);
  return record ? record->violations : std::vector<Violation>{};
}

bool Recorder::waitForViolations(ConnectionId connection, size_t count,
                                 Milliseconds timeout) const {
  return waitUntil(timeout, [&] {
    const Record* record = find(connection);
    return record && record->violations.size() >= count;
  });
}

} // namespace simserver
