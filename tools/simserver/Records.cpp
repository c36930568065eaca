#include "tools/simserver/Records.h"

#include "tools/simserver/ByteOrder.h"

#include <cstring>
#include <stdexcept>

namespace simserver::records {
namespace {

std::vector<uint8_t> startRecord(uint32_t size, uint32_t id) {
  std::vector<uint8_t> record(size, 0);
  writeU32(record.data(), size);
  writeU32(record.data() + 4, kVersion);
  writeU32(record.data() + 8, id);
  return record;
}

} // namespace

std::vector<uint8_t> openReply(const uint8_t* applicationName, uint32_t openSequence,
                               uint32_t clientId, uint32_t connectionId) {
  std::vector<uint8_t> record = startRecord(kOpenSize, id::Open);
  uint8_t* p = record.data();
  std::memcpy(p + 12, applicationName, 256);
  writeStringField(p + 268, "Prepar3D", 16);
  writeU32(p + 284, 4);  // simulator version, major
  writeU32(p + 288, 5);  // simulator version, minor
  writeU32(p + 292, 26); // client protocol version the server understands
  writeU32(p + 296, openSequence);
  writeU32(p + 300, clientId);
  writeU32(p + 304, connectionId);
  return record;
}

std::vector<uint8_t> ack(uint32_t messageType, uint32_t sequence, uint32_t messageIndex) {
  std::vector<uint8_t> record = startRecord(kAckSize, id::Ack);
  writeU32(record.data() + 12, messageType);
  writeU32(record.data() + 16, sequence);
  writeU32(record.data() + 20, messageIndex);
  return record;
}

std::vector<uint8_t> event(uint32_t groupId, uint32_t eventId, uint32_t data, uint32_t objectId,
                           uint32_t flags, uint32_t sequence) {
  std::vector<uint8_t> record = startRecord(kEventSize, id::Event);
  uint8_t* p = record.data();
  writeU32(p + 12, groupId);
  writeU32(p + 16, eventId);
  writeU32(p + 20, data);
  writeU32(p + 24, objectId);
  writeU32(p + 28, flags);
  writeU32(p + 32, sequence);
  return record;
}

std::vector<uint8_t> data(uint32_t requestId, uint32_t definitionId, uint32_t objectId,
                          uint32_t period, uint32_t flags, uint32_t definitionEntries,
                          const std::vector<uint8_t>& payload) {
  if (payload.size() > UINT32_MAX - kDataFixedSize)
    throw std::length_error("data record payload too large");
  std::vector<uint8_t> record =
      startRecord(kDataFixedSize + static_cast<uint32_t>(payload.size()), id::Data);
  uint8_t* p = record.data();
  writeU32(p + 12, requestId);
  writeU32(p + 16, definitionId);
  writeU32(p + 20, objectId);
  writeU32(p + 24, period);
  writeU32(p + 28, flags);
  writeU32(p + 32, static_cast<uint32_t>(payload.size()));
  writeU32(p + 36, definitionEntries);
  if (!payload.empty()) std::memcpy(p + kDataFixedSize, payload.data(), payload.size());
  return record;
}

std::vector<uint8_t> systemState(uint32_t requestId, const uint8_t* stateName) {
  std::vector<uint8_t> record = startRecord(kSystemStateSize, id::SystemState);
  uint8_t* p = record.data();
  writeU32(p + 12, requestId);
  writeU32(p + 16, 1);
  writeF32(p + 20, 0.0f);
  std::memcpy(p + 24, stateName, 256);
  return record;
}

std::vector<uint8_t> fault(uint32_t sequence, uint32_t messageType, uint32_t violationKind,
                           uint32_t messageIndex) {
  std::vector<uint8_t> record = startRecord(kFaultSize, id::Fault);
  uint8_t* p = record.data();
  writeU32(p + 12, sequence);
  writeU32(p + 16, messageType);
  writeU32(p + 20, violationKind);
  writeU32(p + 24, messageIndex);
  return record;
}

std::vector<uint8_t> pattern(uint32_t totalSize) {
  if (totalSize < kPatternMinimumSize)
    throw std::invalid_argument("a pattern record has at least 12 bytes");
  std::vector<uint8_t> record = startRecord(totalSize, id::Pattern);
  for (uint32_t i = kPatternMinimumSize; i < totalSize; ++i)
    record[i] = patternByte(i);
  return record;
}

std::vector<uint8_t> withSizeField(uint32_t sizeField) {
  std::vector<uint8_t> record = startRecord(kPatternMinimumSize, id::Pattern);
  writeU32(record.data(), sizeField);
  return record;
}

} // namespace simserver::records
