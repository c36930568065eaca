#include "tools/standin-sim/RecordText.h"

#include <cstdio>

namespace standin {
namespace {

struct Field {
  const char* label;
  size_t offset;
  bool hex;
};

std::string fields(const uint8_t* record, size_t length, std::initializer_list<Field> list) {
  std::string text;
  for (const Field& field : list) {
    if (field.offset + 4 > length) break;
    const uint32_t value = recordU32(record, field.offset);
    text +=
        std::string(" ") + field.label + "=" + (field.hex ? hex32(value) : std::to_string(value));
  }
  return text;
}

std::string quotedField(const uint8_t* record, size_t length, size_t offset, size_t width) {
  if (offset + width > length) return "?";
  return "\"" + recordString(record + offset, width) + "\"";
}

std::string payloadText(const uint8_t* bytes, size_t count) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < count && i < 32; ++i) {
    std::snprintf(piece, sizeof piece, "%02x", bytes[i]);
    text += (i == 0 ? "" : " ");
    text += piece;
  }
  if (count > 32) text += " ...";
  return text;
}

} // namespace

uint32_t recordU32(const uint8_t* record, size_t offset) {
  const uint8_t* p = record + offset;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string recordString(const uint8_t* field, size_t width) {
  size_t length = 0;
  while (length < width && field[length] != 0)
    ++length;
  return std::string(reinterpret_cast<const char*>(field), length);
}

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string requestTypeName(uint32_t type) {
  switch (type) {
  case 0xF0000001:
    return "Open";
  case 0xF0000004:
    return "MapClientEventToSimEvent";
  case 0xF0000005:
    return "TransmitClientEvent";
  case 0xF000000C:
    return "AddToDataDefinition";
  case 0xF000000E:
    return "RequestDataOnSimObject";
  case 0xF0000010:
    return "SetDataOnSimObject";
  case 0xF0000035:
    return "RequestSystemState";
  default:
    return "type " + hex32(type);
  }
}

std::string describeRecord(const uint8_t* record, size_t length) {
  if (length < 12) return "short record (" + std::to_string(length) + " bytes)";
  const uint32_t id = recordU32(record, 8);
  const std::string size = " (" + std::to_string(length) + " bytes)";
  switch (id) {
  case record_id::Open:
    return "Open reply app=" + quotedField(record, length, 12, 256) +
           " simulator=" + quotedField(record, length, 268, 16) +
           fields(record, length,
                  {{"major", 284, false},
                   {"minor", 288, false},
                   {"protocol", 292, false},
                   {"openSeq", 296, false},
                   {"clientId", 300, false},
                   {"connection", 304, false}}) +
           size;
  case record_id::Ack:
    return "Ack for " + (length >= 16 ? requestTypeName(recordU32(record, 12)) : "?") +
           fields(record, length, {{"seq", 16, false}, {"index", 20, false}}) + size;
  case record_id::Event:
    return "Event" +
           fields(record, length,
                  {{"group", 12, false},
                   {"event", 16, false},
                   {"data", 20, false},
                   {"object", 24, false},
                   {"flags", 28, true},
                   {"seq", 32, false}}) +
           size;
  case record_id::Data: {
    std::string text = "Data" + fields(record, length,
                                       {{"request", 12, false},
                                        {"definition", 16, false},
                                        {"object", 20, false},
                                        {"period", 24, false},
                                        {"flags", 28, true},
                                        {"payloadBytes", 32, false},
                                        {"entries", 36, false}});
    if (length > 40) text += " payload=[" + payloadText(record + 40, length - 40) + "]";
    return text + size;
  }
  case record_id::SystemState:
    return "SystemState" +
           fields(record, length, {{"request", 12, false}, {"integer", 16, false}}) +
           " string=" + quotedField(record, length, 24, 256) + size;
  case record_id::Fault:
    return "Fault" +
           fields(record, length,
                  {{"seq", 12, false},
                   {"type", 16, true},
                   {"violation", 20, false},
                   {"index", 24, false}}) +
           size;
  case record_id::Pattern:
    return "Pattern" + size;
  default:
    return "record id " + hex32(id) + size;
  }
}

} // namespace standin
