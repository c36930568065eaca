#pragma once
// One-line descriptions of the records a SimConnect server sends (the stand-in server's layouts:
// total size at offset 0, record version at 4, id at 8) and of the request types they answer.
// Used by the stand-in simulator's transcript and by the sample add-on and client.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/simserver/Records.h"

namespace standin {

// The record ids are the stand-in server's own.
namespace record_id = simserver::records::id;

uint32_t recordU32(const uint8_t* record, size_t offset);

// The text of a zero-terminated string field (at most `width` bytes).
std::string recordString(const uint8_t* field, size_t width = 256);

// "MapClientEventToSimEvent" for 0xF0000004 and the like; "type 0x..." for others.
std::string requestTypeName(uint32_t type);

// E.g. "Event group=1 event=7 data=1 object=0 flags=0x10 (36 bytes)". Never reads past length.
std::string describeRecord(const uint8_t* record, size_t length);

std::string hex32(uint32_t value);

} // namespace standin
