#include "tools/simserver/ClientMessages.h"

#include "tools/simserver/ByteOrder.h"

#include <cstdio>

namespace simserver {
namespace {

struct TypeInfo {
  uint32_t id;
  const char* name;
  uint32_t size; // 0: variable (SetDataOnSimObject)
  std::vector<uint32_t> stringOffsets;
};

const std::vector<TypeInfo>& knownTypes() {
  static const std::vector<TypeInfo> types = {
      {message_type::Open, "Open", 296, {16}},
      {message_type::MapClientEventToSimEvent, "MapClientEventToSimEvent", 276, {20}},
      {message_type::TransmitClientEvent, "TransmitClientEvent", 36, {}},
      {message_type::AddToDataDefinition, "AddToDataDefinition", 544, {20, 276}},
      {message_type::RequestDataOnSimObject, "RequestDataOnSimObject", 48, {}},
      {message_type::SetDataOnSimObject, "SetDataOnSimObject", 0, {}},
      {message_type::RequestSystemState, "RequestSystemState", 276, {20}},
  };
  return types;
}

const TypeInfo* findType(uint32_t id) {
  for (const TypeInfo& type : knownTypes())
    if (type.id == id) return &type;
  return nullptr;
}

constexpr uint32_t kSetDataFixedSize = 36;
constexpr uint32_t kOpenTag = 0x50334400; // bytes 00 'D' '3' 'P'

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string quoted(const std::string& text) {
  std::string result = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      result += escaped;
    } else {
      result += c;
    }
  }
  return result + "\"";
}

// Empty when the 256-byte field is a proper string: terminated, zeros behind the terminator.
std::string stringFieldProblem(const uint8_t* message, uint32_t offset) {
  const uint8_t* field = message + offset;
  size_t terminator = 0;
  while (terminator < 256 && field[terminator] != 0)
    ++terminator;
  if (terminator == 256)
    return "string at offset " + std::to_string(offset) + " has no terminator within 256 bytes";
  for (size_t i = terminator + 1; i < 256; ++i)
    if (field[i] != 0)
      return "string at offset " + std::to_string(offset) + " has byte " + hex(field[i]) +
             " at offset " + std::to_string(offset + i) + " behind its terminator";
  return {};
}

std::string openFieldsProblem(const uint8_t* message) {
  std::string problem;
  auto expect = [&](uint32_t offset, uint32_t wanted) {
    const uint32_t actual = readU32(message + offset);
    if (actual != wanted)
      problem += (problem.empty() ? "" : "; ") + std::string("offset ") + std::to_string(offset) +
                 " holds " + hex(actual) + ", expected " + hex(wanted);
  };
  expect(272, 0);
  expect(276, kOpenTag);
  expect(280, 4);
  expect(284, 0);
  expect(288, 0);
  expect(292, 0);
  return problem;
}

} // namespace

const char* violationName(ViolationKind kind) {
  switch (kind) {
  case ViolationKind::StreamSize:
    return "StreamSize";
  case ViolationKind::BadVersion:
    return "BadVersion";
  case ViolationKind::UnknownType:
    return "UnknownType";
  case ViolationKind::WrongSize:
    return "WrongSize";
  case ViolationKind::BadString:
    return "BadString";
  case ViolationKind::BadOpenFields:
    return "BadOpenFields";
  case ViolationKind::OpenNotFirst:
    return "OpenNotFirst";
  case ViolationKind::RepeatedOpen:
    return "RepeatedOpen";
  case ViolationKind::SequenceZero:
    return "SequenceZero";
  case ViolationKind::SequenceNotRising:
    return "SequenceNotRising";
  }
  return "Unknown";
}

MessageHeader readHeader(const uint8_t* message) {
  return MessageHeader{readU32(message), readU32(message + 4), readU32(message + 8),
                       readU32(message + 12)};
}

const char* messageTypeName(uint32_t type) {
  const TypeInfo* info = findType(type);
  return info ? info->name : nullptr;
}

std::vector<Finding> ConversationRules::check(const uint8_t* message, size_t size) {
  std::vector<Finding> findings;
  const MessageHeader header = readHeader(message);

  if (header.version != kClientProtocolVersion)
    findings.push_back(
        {ViolationKind::BadVersion, "version " + std::to_string(header.version) + ", expected 26"});

  const TypeInfo* type = findType(header.type);
  if (!type) {
    findings.push_back({ViolationKind::UnknownType, "type " + hex(header.type)});
  } else {
    bool sizeRight = false;
    if (type->size != 0) {
      sizeRight = size == type->size;
      if (!sizeRight)
        findings.push_back(
            {ViolationKind::WrongSize, std::string(type->name) + " of " + std::to_string(size) +
                                           " bytes, expected " + std::to_string(type->size)});
    } else if (size < kSetDataFixedSize) {
      findings.push_back(
          {ViolationKind::WrongSize,
           std::string(type->name) + " of " + std::to_string(size) + " bytes, shorter than 36"});
    } else {
      const uint64_t count = readU32(message + 28);
      const uint64_t unit = readU32(message + 32);
      const uint64_t expected = kSetDataFixedSize + count * unit;
      sizeRight = size == expected;
      if (!sizeRight)
        findings.push_back({ViolationKind::WrongSize,
                            std::string(type->name) + " of " + std::to_string(size) +
                                " bytes, expected 36 + " + std::to_string(count) + " * " +
                                std::to_string(unit) + " = " + std::to_string(expected)});
    }
    if (sizeRight) {
      for (const uint32_t offset : type->stringOffsets) {
        std::string problem = stringFieldProblem(message, offset);
        if (!problem.empty()) findings.push_back({ViolationKind::BadString, std::move(problem)});
      }
      if (header.type == message_type::Open) {
        std::string problem = openFieldsProblem(message);
        if (!problem.empty())
          findings.push_back({ViolationKind::BadOpenFields, std::move(problem)});
      }
    }
  }

  const bool isOpen = header.type == message_type::Open;
  if (!openSeen_ && !isOpen)
    findings.push_back({ViolationKind::OpenNotFirst, "a message came before the Open message"});
  if (openSeen_ && isOpen)
    findings.push_back({ViolationKind::RepeatedOpen, "a second Open message"});
  openSeen_ = openSeen_ || isOpen;

  if (header.sequence == 0) {
    findings.push_back({ViolationKind::SequenceZero, "sequence number 0"});
  } else {
    if (anySequence_ && header.sequence <= lastSequence_)
      findings.push_back(
          {ViolationKind::SequenceNotRising, "sequence " + std::to_string(header.sequence) +
                                                 " after " + std::to_string(lastSequence_)});
    anySequence_ = true;
    lastSequence_ = header.sequence;
  }
  return findings;
}

std::string describeMessage(const uint8_t* message, size_t size) {
  const MessageHeader header = readHeader(message);
  const char* name = messageTypeName(header.type);
  std::string text = name ? name : "type=" + hex(header.type);
  text += " seq=" + std::to_string(header.sequence) + " size=" + std::to_string(size);
  if (header.version != kClientProtocolVersion)
    text += " version=" + std::to_string(header.version);

  auto u32 = [&](const char* label, uint32_t offset) {
    text += std::string(" ") + label + "=" + std::to_string(readU32(message + offset));
  };
  auto x32 = [&](const char* label, uint32_t offset) {
    text += std::string(" ") + label + "=" + hex(readU32(message + offset));
  };
  auto str = [&](const char* label, uint32_t offset) {
    text += std::string(" ") + label + "=" + quoted(readStringField(message + offset));
  };

  const TypeInfo* type = findType(header.type);
  const bool fixedSizeRight = type && type->size != 0 && size == type->size;
  switch (header.type) {
  case message_type::Open:
    if (!fixedSizeRight) break;
    str("app", 16);
    x32("tag", 276);
    text += " versions=" + std::to_string(readU32(message + 280)) + "." +
            std::to_string(readU32(message + 284)) + "." + std::to_string(readU32(message + 288)) +
            "." + std::to_string(readU32(message + 292));
    break;
  case message_type::MapClientEventToSimEvent:
    if (!fixedSizeRight) break;
    u32("event", 16);
    str("name", 20);
    break;
  case message_type::TransmitClientEvent:
    if (!fixedSizeRight) break;
    u32("object", 16);
    u32("event", 20);
    u32("data", 24);
    u32("group", 28);
    x32("flags", 32);
    break;
  case message_type::AddToDataDefinition:
    if (!fixedSizeRight) break;
    u32("define", 16);
    str("datum", 20);
    str("units", 276);
    u32("datatype", 532);
    text += " epsilon=" + std::to_string(readF32(message + 536));
    u32("datum_id", 540);
    break;
  case message_type::RequestDataOnSimObject:
    if (!fixedSizeRight) break;
    u32("request", 16);
    u32("define", 20);
    u32("object", 24);
    u32("period", 28);
    x32("flags", 32);
    u32("origin", 36);
    u32("interval", 40);
    u32("limit", 44);
    break;
  case message_type::SetDataOnSimObject: {
    if (size < kSetDataFixedSize) break;
    u32("define", 16);
    u32("object", 20);
    x32("flags", 24);
    u32("count", 28);
    u32("unit", 32);
    text += " data=";
    const size_t shown = size - kSetDataFixedSize < 16 ? size - kSetDataFixedSize : 16;
    for (size_t i = 0; i < shown; ++i) {
      char byte[4];
      std::snprintf(byte, sizeof byte, "%02X", message[kSetDataFixedSize + i]);
      text += byte;
    }
    if (shown < size - kSetDataFixedSize) text += "...";
    break;
  }
  case message_type::RequestSystemState:
    if (!fixedSizeRight) break;
    u32("request", 16);
    str("state", 20);
    break;
  default:
    break;
  }
  return text;
}

} // namespace simserver
