#pragma once
// The records this server writes to its clients, and builders for the odd records used to test a
// client's framing. Every record opens with its total size (offset 0), the record version
// (offset 4) and its id (offset 8), all 32-bit little-endian. README.md gives every layout.
#include <cstdint>
#include <string>
#include <vector>

namespace simserver::records {

inline constexpr uint32_t kVersion = 4;

namespace id {
inline constexpr uint32_t Open = 2;
inline constexpr uint32_t Ack = 0x1001;
inline constexpr uint32_t Event = 0x1002;
inline constexpr uint32_t Data = 0x1003;
inline constexpr uint32_t SystemState = 0x1004;
inline constexpr uint32_t Fault = 0x1005;
inline constexpr uint32_t Pattern = 0x1006;
} // namespace id

inline constexpr uint32_t kOpenSize = 308;
inline constexpr uint32_t kAckSize = 24;
inline constexpr uint32_t kEventSize = 36;
inline constexpr uint32_t kDataFixedSize = 40;
inline constexpr uint32_t kSystemStateSize = 280;
inline constexpr uint32_t kFaultSize = 28;
inline constexpr uint32_t kPatternMinimumSize = 12;

// Answer to Open. applicationName points at the Open message's 256-byte name field, which is
// echoed unchanged.
std::vector<uint8_t> openReply(const uint8_t* applicationName, uint32_t openSequence,
                               uint32_t clientId, uint32_t connectionId);

std::vector<uint8_t> ack(uint32_t messageType, uint32_t sequence, uint32_t messageIndex);

std::vector<uint8_t> event(uint32_t groupId, uint32_t eventId, uint32_t data, uint32_t objectId,
                           uint32_t flags, uint32_t sequence);

std::vector<uint8_t> data(uint32_t requestId, uint32_t definitionId, uint32_t objectId,
                          uint32_t period, uint32_t flags, uint32_t definitionEntries,
                          const std::vector<uint8_t>& payload);

std::vector<uint8_t> systemState(uint32_t requestId, const uint8_t* stateName);

std::vector<uint8_t> fault(uint32_t sequence, uint32_t messageType, uint32_t violationKind,
                           uint32_t messageIndex);

// A well-formed record of totalSize bytes (at least 12) with id Pattern, whose byte at offset i
// (i >= 12) is i % 251: a client can check that a large record arrived intact.
std::vector<uint8_t> pattern(uint32_t totalSize);

// 12 bytes: the given (normally impossible) size field, the version and id Pattern. With a size
// field of 1, 2 or 3 this is the malformed record a client must refuse.
std::vector<uint8_t> withSizeField(uint32_t sizeField);

// Expected byte of a pattern record at the given offset.
inline uint8_t patternByte(uint32_t offset) {
  return static_cast<uint8_t>(offset % 251);
}

} // namespace simserver::records
