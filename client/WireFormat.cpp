#include "client/WireFormat.h"

#include <cstring>

#include "connection/SimulatorInterface.h"

namespace wire {
namespace {

constexpr uint32_t kSimulatorTag = 0x50334400;   // "\0D3P" read as little-endian
constexpr uint32_t kSimulatorGeneration = 4;     // first of the four interface version numbers
constexpr uint64_t kLargestMessage = 0xFFFFFFFF; // the header's size field is 32 bits

void store(uint8_t* buffer, size_t offset, uint32_t value) noexcept {
  uint8_t* out = buffer + offset;
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t load(const uint8_t* buffer, size_t offset) noexcept {
  const uint8_t* at = buffer + offset;
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void writeHeader(uint8_t* buffer, uint32_t size, ClientMessageType type) noexcept {
  store(buffer, offsetof(MessageHeader, size), size);
  store(buffer, offsetof(MessageHeader, version), sim::kProtocolVersion);
  store(buffer, offsetof(MessageHeader, type), static_cast<uint32_t>(type));
}

uint32_t elementCountOf(uint32_t arrayCount) noexcept {
  return arrayCount == 0 ? 1 : arrayCount;
}

} // namespace

uint32_t copyStringField(uint8_t* field, const char* source) noexcept {
  if (source == nullptr) {
    field[0] = 0;
    return 0;
  }
  uint32_t length = 0;
  while (length < kStringFieldSize && source[length] != '\0') {
    field[length] = static_cast<uint8_t>(source[length]);
    ++length;
  }
  if (length == kStringFieldSize) {
    field[kStringFieldSize - 1] = 0; // keeps the first 255 characters, terminated
    return kStringTooLong;
  }
  field[length] = 0;
  return 0;
}

bool setDataMessageSize(uint32_t arrayCount, uint32_t unitSize, uint32_t& totalSize) noexcept {
  const uint64_t total =
      uint64_t{elementCountOf(arrayCount)} * unitSize + kSetDataOnSimObjectHeaderSize;
  if (total > kLargestMessage) return false;
  totalSize = static_cast<uint32_t>(total);
  return true;
}

void writeSequence(uint8_t* buffer, uint32_t sequence) noexcept {
  store(buffer, offsetof(MessageHeader, sequence), sequence);
}

uint32_t encodeOpen(uint8_t* buffer, const char* applicationName) noexcept {
  writeHeader(buffer, kOpenSize, ClientMessageType::Open);
  if (uint32_t result =
          copyStringField(buffer + offsetof(OpenMessage, applicationName), applicationName))
    return result;
  store(buffer, offsetof(OpenMessage, reserved), 0);
  store(buffer, offsetof(OpenMessage, simulatorTag), kSimulatorTag);
  const size_t versions = offsetof(OpenMessage, interfaceVersion);
  store(buffer, versions, kSimulatorGeneration);
  store(buffer, versions + 4, 0);
  store(buffer, versions + 8, 0);
  store(buffer, versions + 12, 0);
  return 0;
}

uint32_t encodeMapClientEventToSimEvent(uint8_t* buffer, uint32_t eventId,
                                        const char* eventName) noexcept {
  using Message = MapClientEventToSimEventMessage;
  writeHeader(buffer, kMapClientEventToSimEventSize, ClientMessageType::MapClientEventToSimEvent);
  store(buffer, offsetof(Message, eventId), eventId);
  return copyStringField(buffer + offsetof(Message, eventName), eventName);
}

uint32_t encodeTransmitClientEvent(uint8_t* buffer, uint32_t objectId, uint32_t eventId,
                                   uint32_t eventData, uint32_t groupId, uint32_t flags) noexcept {
  using Message = TransmitClientEventMessage;
  writeHeader(buffer, kTransmitClientEventSize, ClientMessageType::TransmitClientEvent);
  store(buffer, offsetof(Message, objectId), objectId);
  store(buffer, offsetof(Message, eventId), eventId);
  store(buffer, offsetof(Message, eventData), eventData);
  store(buffer, offsetof(Message, groupId), groupId);
  store(buffer, offsetof(Message, flags), flags);
  return 0;
}

uint32_t encodeAddToDataDefinition(uint8_t* buffer, uint32_t defineId, const char* datumName,
                                   const char* unitsName, uint32_t datumType, float epsilon,
                                   uint32_t datumId) noexcept {
  using Message = AddToDataDefinitionMessage;
  writeHeader(buffer, kAddToDataDefinitionSize, ClientMessageType::AddToDataDefinition);
  store(buffer, offsetof(Message, defineId), defineId);
  if (uint32_t result = copyStringField(buffer + offsetof(Message, datumName), datumName))
    return result;
  if (uint32_t result = copyStringField(buffer + offsetof(Message, unitsName), unitsName))
    return result;
  store(buffer, offsetof(Message, datumType), datumType);
  static_assert(sizeof(float) == sizeof(uint32_t));
  uint32_t epsilonBits;
  std::memcpy(&epsilonBits, &epsilon, sizeof epsilonBits);
  store(buffer, offsetof(Message, epsilonBits), epsilonBits);
  store(buffer, offsetof(Message, datumId), datumId);
  return 0;
}

uint32_t encodeRequestDataOnSimObject(uint8_t* buffer, uint32_t requestId, uint32_t defineId,
                                      uint32_t objectId, uint32_t period, uint32_t flags,
                                      uint32_t origin, uint32_t interval, uint32_t limit) noexcept {
  using Message = RequestDataOnSimObjectMessage;
  writeHeader(buffer, kRequestDataOnSimObjectSize, ClientMessageType::RequestDataOnSimObject);
  store(buffer, offsetof(Message, requestId), requestId);
  store(buffer, offsetof(Message, defineId), defineId);
  store(buffer, offsetof(Message, objectId), objectId);
  store(buffer, offsetof(Message, period), period);
  store(buffer, offsetof(Message, flags), flags);
  store(buffer, offsetof(Message, origin), origin);
  store(buffer, offsetof(Message, interval), interval);
  store(buffer, offsetof(Message, limit), limit);
  return 0;
}

uint32_t encodeSetDataOnSimObject(uint8_t* buffer, uint32_t defineId, uint32_t objectId,
                                  uint32_t flags, uint32_t arrayCount, uint32_t unitSize,
                                  const void* data) noexcept {
  using Message = SetDataOnSimObjectMessage;
  uint32_t totalSize = 0;
  if (!setDataMessageSize(arrayCount, unitSize, totalSize)) return kMessageTooLarge;
  writeHeader(buffer, totalSize, ClientMessageType::SetDataOnSimObject);
  store(buffer, offsetof(Message, defineId), defineId);
  store(buffer, offsetof(Message, objectId), objectId);
  store(buffer, offsetof(Message, flags), flags);
  store(buffer, offsetof(Message, elementCount), elementCountOf(arrayCount));
  store(buffer, offsetof(Message, unitSize), unitSize);
  const uint32_t dataLength = totalSize - kSetDataOnSimObjectHeaderSize;
  if (dataLength != 0) std::memcpy(buffer + kSetDataOnSimObjectHeaderSize, data, dataLength);
  return 0;
}

uint32_t encodeRequestSystemState(uint8_t* buffer, uint32_t requestId,
                                  const char* stateName) noexcept {
  using Message = RequestSystemStateMessage;
  writeHeader(buffer, kRequestSystemStateSize, ClientMessageType::RequestSystemState);
  store(buffer, offsetof(Message, requestId), requestId);
  return copyStringField(buffer + offsetof(Message, stateName), stateName);
}

const char* clientMessageName(uint32_t type) noexcept {
  switch (static_cast<ClientMessageType>(type)) {
  case ClientMessageType::Open:
    return "Open";
  case ClientMessageType::MapClientEventToSimEvent:
    return "MapClientEventToSimEvent";
  case ClientMessageType::TransmitClientEvent:
    return "TransmitClientEvent";
  case ClientMessageType::AddToDataDefinition:
    return "AddToDataDefinition";
  case ClientMessageType::RequestDataOnSimObject:
    return "RequestDataOnSimObject";
  case ClientMessageType::SetDataOnSimObject:
    return "SetDataOnSimObject";
  case ClientMessageType::RequestSystemState:
    return "RequestSystemState";
  }
  return "";
}

std::vector<MessageHeader> messageHeadersIn(const uint8_t* data, size_t length) {
  std::vector<MessageHeader> found;
  size_t at = 0;
  while (length - at >= sizeof(MessageHeader)) {
    const uint8_t* header = data + at;
    const uint32_t size = load(header, offsetof(MessageHeader, size));
    if (size < sizeof(MessageHeader) || size > length - at) break;
    found.push_back({size, load(header, offsetof(MessageHeader, version)),
                     load(header, offsetof(MessageHeader, type)),
                     load(header, offsetof(MessageHeader, sequence))});
    at += size;
  }
  return found;
}

} // namespace wire
