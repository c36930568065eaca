#pragma once
// The client-to-server messages as this server reads them: the 16-byte header, the seven known
// types with their sizes and string fields, the rules a conversation must follow, and a
// one-line description of each message for the log. Written apart from the client's encoder so
// that the two check each other.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simserver {

struct MessageHeader {
  uint32_t size = 0;
  uint32_t version = 0;
  uint32_t type = 0;
  uint32_t sequence = 0;
};

inline constexpr size_t kMessageHeaderSize = 16;
inline constexpr uint32_t kClientProtocolVersion = 26;

namespace message_type {
inline constexpr uint32_t Open = 0xF0000001;
inline constexpr uint32_t MapClientEventToSimEvent = 0xF0000004;
inline constexpr uint32_t TransmitClientEvent = 0xF0000005;
inline constexpr uint32_t AddToDataDefinition = 0xF000000C;
inline constexpr uint32_t RequestDataOnSimObject = 0xF000000E;
inline constexpr uint32_t SetDataOnSimObject = 0xF0000010;
inline constexpr uint32_t RequestSystemState = 0xF0000035;
} // namespace message_type

// What can be wrong with a message or with the stream. The numbers travel in fault records.
enum class ViolationKind : uint32_t {
  StreamSize = 1,        // size field below 16 or above the server's limit: the stream is lost
  BadVersion = 2,        // header version is not 26
  UnknownType = 3,       // type id is none of the seven
  WrongSize = 4,         // size does not match the type
  BadString = 5,         // a string field without terminator, or non-zero bytes behind it
  BadOpenFields = 6,     // the Open message's fixed fields (reserved, tag, version numbers)
  OpenNotFirst = 7,      // a request before any Open message
  RepeatedOpen = 8,      // a second Open message on the same connection
  SequenceZero = 9,      // sequence number 0
  SequenceNotRising = 10 // sequence number not above the previous message's
};

const char* violationName(ViolationKind kind);

struct Finding {
  ViolationKind kind;
  std::string detail;
};

MessageHeader readHeader(const uint8_t* message);

// "Open", "TransmitClientEvent", ... or nullptr for an unknown type id.
const char* messageTypeName(uint32_t type);

// Checks one framed message (size bytes, size >= 16) against the format and against the
// conversation so far; remembers what the order rules need.
class ConversationRules {
public:
  std::vector<Finding> check(const uint8_t* message, size_t size);

private:
  bool openSeen_ = false;
  bool anySequence_ = false;
  uint32_t lastSequence_ = 0;
};

// One line with the header and the decoded fields, e.g.
// "#3 TransmitClientEvent seq=3 size=36 object=0 event=7 data=42 group=1 flags=0x10".
std::string describeMessage(const uint8_t* message, size_t size);

} // namespace simserver
