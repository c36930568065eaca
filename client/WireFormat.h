#pragma once
// Client-to-server messages: a 16-byte header followed by a fixed body (SetDataOnSimObject adds a
// data tail). All integers are unsigned 32-bit little-endian, the one float an IEEE single, and
// string fields are 256-byte zero-terminated arrays. The structs below describe the layouts (their
// natural layout has no padding, which the static_asserts pin down); the encoders never cast the
// buffer to them but store each field little-endian at its offset, so the bytes are the same on
// any host and the buffer needs no alignment.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace wire {

// The system's result for an insufficient buffer: a string does not fit its 256-byte field.
constexpr uint32_t kStringTooLong = 0x8007007A;
// Returned by encodeSetDataOnSimObject when its size does not fit the 32-bit size field
// (the same value as E_INVALIDARG). Callers refuse such a request with setDataMessageSize first.
constexpr uint32_t kMessageTooLarge = 0x80070057;

constexpr uint32_t kStringFieldSize = 256;

enum class ClientMessageType : uint32_t {
  Open = 0xF0000001,
  MapClientEventToSimEvent = 0xF0000004,
  TransmitClientEvent = 0xF0000005,
  AddToDataDefinition = 0xF000000C,
  RequestDataOnSimObject = 0xF000000E,
  SetDataOnSimObject = 0xF0000010,
  RequestSystemState = 0xF0000035,
};

struct MessageHeader {
  uint32_t size; // total length of the message, header included
  uint32_t version;
  uint32_t type; // a ClientMessageType
  uint32_t sequence;
};
static_assert(sizeof(MessageHeader) == 16);
static_assert(offsetof(MessageHeader, size) == 0);
static_assert(offsetof(MessageHeader, version) == 4);
static_assert(offsetof(MessageHeader, type) == 8);
static_assert(offsetof(MessageHeader, sequence) == 12);

struct OpenMessage {
  MessageHeader header;
  char applicationName[kStringFieldSize];
  uint32_t reserved;
  uint32_t simulatorTag;        // 0x50334400: the bytes 00 'D' '3' 'P'
  uint32_t interfaceVersion[4]; // 4, 0, 0, 0
};
static_assert(sizeof(OpenMessage) == 296);
static_assert(offsetof(OpenMessage, applicationName) == 16);
static_assert(offsetof(OpenMessage, reserved) == 272);
static_assert(offsetof(OpenMessage, simulatorTag) == 276);
static_assert(offsetof(OpenMessage, interfaceVersion) == 280);

struct MapClientEventToSimEventMessage {
  MessageHeader header;
  uint32_t eventId;
  char eventName[kStringFieldSize];
};
static_assert(sizeof(MapClientEventToSimEventMessage) == 276);
static_assert(offsetof(MapClientEventToSimEventMessage, eventId) == 16);
static_assert(offsetof(MapClientEventToSimEventMessage, eventName) == 20);

struct TransmitClientEventMessage {
  MessageHeader header;
  uint32_t objectId;
  uint32_t eventId;
  uint32_t eventData;
  uint32_t groupId;
  uint32_t flags;
};
static_assert(sizeof(TransmitClientEventMessage) == 36);
static_assert(offsetof(TransmitClientEventMessage, objectId) == 16);
static_assert(offsetof(TransmitClientEventMessage, eventId) == 20);
static_assert(offsetof(TransmitClientEventMessage, eventData) == 24);
static_assert(offsetof(TransmitClientEventMessage, groupId) == 28);
static_assert(offsetof(TransmitClientEventMessage, flags) == 32);

struct AddToDataDefinitionMessage {
  MessageHeader header;
  uint32_t defineId;
  char datumName[kStringFieldSize];
  char unitsName[kStringFieldSize];
  uint32_t datumType;
  uint32_t epsilonBits; // IEEE single, bit for bit
  uint32_t datumId;
};
static_assert(sizeof(AddToDataDefinitionMessage) == 544);
static_assert(offsetof(AddToDataDefinitionMessage, defineId) == 16);
static_assert(offsetof(AddToDataDefinitionMessage, datumName) == 20);
static_assert(offsetof(AddToDataDefinitionMessage, unitsName) == 276);
static_assert(offsetof(AddToDataDefinitionMessage, datumType) == 532);
static_assert(offsetof(AddToDataDefinitionMessage, epsilonBits) == 536);
static_assert(offsetof(AddToDataDefinitionMessage, datumId) == 540);

struct RequestDataOnSimObjectMessage {
  MessageHeader header;
  uint32_t requestId;
  uint32_t defineId;
  uint32_t objectId;
  uint32_t period;
  uint32_t flags;
  uint32_t origin;
  uint32_t interval;
  uint32_t limit;
};
static_assert(sizeof(RequestDataOnSimObjectMessage) == 48);
static_assert(offsetof(RequestDataOnSimObjectMessage, requestId) == 16);
static_assert(offsetof(RequestDataOnSimObjectMessage, defineId) == 20);
static_assert(offsetof(RequestDataOnSimObjectMessage, objectId) == 24);
static_assert(offsetof(RequestDataOnSimObjectMessage, period) == 28);
static_assert(offsetof(RequestDataOnSimObjectMessage, flags) == 32);
static_assert(offsetof(RequestDataOnSimObjectMessage, origin) == 36);
static_assert(offsetof(RequestDataOnSimObjectMessage, interval) == 40);
static_assert(offsetof(RequestDataOnSimObjectMessage, limit) == 44);

// Followed by elementCount * unitSize bytes of data.
struct SetDataOnSimObjectMessage {
  MessageHeader header;
  uint32_t defineId;
  uint32_t objectId;
  uint32_t flags;
  uint32_t elementCount; // the array count, or 1 when that is 0
  uint32_t unitSize;
};
static_assert(sizeof(SetDataOnSimObjectMessage) == 36);
static_assert(offsetof(SetDataOnSimObjectMessage, defineId) == 16);
static_assert(offsetof(SetDataOnSimObjectMessage, objectId) == 20);
static_assert(offsetof(SetDataOnSimObjectMessage, flags) == 24);
static_assert(offsetof(SetDataOnSimObjectMessage, elementCount) == 28);
static_assert(offsetof(SetDataOnSimObjectMessage, unitSize) == 32);

struct RequestSystemStateMessage {
  MessageHeader header;
  uint32_t requestId;
  char stateName[kStringFieldSize];
};
static_assert(sizeof(RequestSystemStateMessage) == 276);
static_assert(offsetof(RequestSystemStateMessage, requestId) == 16);
static_assert(offsetof(RequestSystemStateMessage, stateName) == 20);

// Total sizes of the fixed-size messages.
constexpr uint32_t kOpenSize = sizeof(OpenMessage);
constexpr uint32_t kMapClientEventToSimEventSize = sizeof(MapClientEventToSimEventMessage);
constexpr uint32_t kTransmitClientEventSize = sizeof(TransmitClientEventMessage);
constexpr uint32_t kAddToDataDefinitionSize = sizeof(AddToDataDefinitionMessage);
constexpr uint32_t kRequestDataOnSimObjectSize = sizeof(RequestDataOnSimObjectMessage);
constexpr uint32_t kSetDataOnSimObjectHeaderSize = sizeof(SetDataOnSimObjectMessage);
constexpr uint32_t kRequestSystemStateSize = sizeof(RequestSystemStateMessage);

// Copies `source` into a 256-byte field: null gives an empty string; up to 255 characters are
// copied whole with their terminator (result 0); a longer string leaves its first 255 characters
// and a zero in the last byte and gives kStringTooLong.
uint32_t copyStringField(uint8_t* field, const char* source) noexcept;

// Total size of a SetDataOnSimObject message: 36 + elementCount * unitSize, the element count
// being `arrayCount`, or 1 when that is 0. False when the total does not fit in 32 bits.
bool setDataMessageSize(uint32_t arrayCount, uint32_t unitSize, uint32_t& totalSize) noexcept;

// Stores the message number at offset 12.
void writeSequence(uint8_t* buffer, uint32_t sequence) noexcept;

// Encoders. Each builds its message in place in a zero-filled buffer of the message's total size
// (the sequence field is left as the caller set it): size, version and type, then the body fields
// in layout order. They return 0, or kStringTooLong when a string does not fit; the build stops at
// the first failing string, leaving the fields behind it unwritten.
uint32_t encodeOpen(uint8_t* buffer, const char* applicationName) noexcept;
uint32_t encodeMapClientEventToSimEvent(uint8_t* buffer, uint32_t eventId,
                                        const char* eventName) noexcept;
uint32_t encodeTransmitClientEvent(uint8_t* buffer, uint32_t objectId, uint32_t eventId,
                                   uint32_t eventData, uint32_t groupId, uint32_t flags) noexcept;
uint32_t encodeAddToDataDefinition(uint8_t* buffer, uint32_t defineId, const char* datumName,
                                   const char* unitsName, uint32_t datumType, float epsilon,
                                   uint32_t datumId) noexcept;
uint32_t encodeRequestDataOnSimObject(uint8_t* buffer, uint32_t requestId, uint32_t defineId,
                                      uint32_t objectId, uint32_t period, uint32_t flags,
                                      uint32_t origin, uint32_t interval, uint32_t limit) noexcept;
// The buffer holds setDataMessageSize(arrayCount, unitSize) bytes; exactly elementCount * unitSize
// bytes are read from `data` (none when that is 0). Gives kMessageTooLarge, writing nothing, when
// the size does not fit in 32 bits.
uint32_t encodeSetDataOnSimObject(uint8_t* buffer, uint32_t defineId, uint32_t objectId,
                                  uint32_t flags, uint32_t arrayCount, uint32_t unitSize,
                                  const void* data) noexcept;
uint32_t encodeRequestSystemState(uint8_t* buffer, uint32_t requestId,
                                  const char* stateName) noexcept;

// The name of a client message type ("Open", ...), or "" for a type this client never sends.
const char* clientMessageName(uint32_t type) noexcept;

// The headers of the messages laid back to back in `data` (one flush may carry several); stops at
// a header that is short or whose size does not fit what is left.
std::vector<MessageHeader> messageHeadersIn(const uint8_t* data, size_t length);

} // namespace wire
