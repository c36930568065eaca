#pragma once
// Client messages and record fields written out by hand from the wire layout, independent of
// the server's own decoder and of the client library's encoder.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace handbuilt {

using Bytes = std::vector<uint8_t>;

class Writer {
public:
  Writer& u32(uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
      bytes_.push_back(static_cast<uint8_t>(v >> shift));
    return *this;
  }
  Writer& f32(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return u32(bits);
  }
  // A 256-byte string field: the text, its terminator, zeros.
  Writer& text(const std::string& s) {
    Bytes field(256, 0);
    std::memcpy(field.data(), s.data(), s.size() < 255 ? s.size() : 255);
    bytes_.insert(bytes_.end(), field.begin(), field.end());
    return *this;
  }
  Writer& raw(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  Bytes done() const { return bytes_; }

private:
  Bytes bytes_;
};

inline uint32_t u32At(const Bytes& b, size_t offset) {
  return static_cast<uint32_t>(b.at(offset)) | static_cast<uint32_t>(b.at(offset + 1)) << 8 |
         static_cast<uint32_t>(b.at(offset + 2)) << 16 |
         static_cast<uint32_t>(b.at(offset + 3)) << 24;
}

inline std::string textAt(const Bytes& b, size_t offset, size_t width = 256) {
  std::string s;
  for (size_t i = 0; i < width && b.at(offset + i) != 0; ++i)
    s += static_cast<char>(b[offset + i]);
  return s;
}

inline Bytes open(uint32_t sequence, const std::string& application = "Raw client") {
  return Writer()
      .u32(296)
      .u32(26)
      .u32(0xF0000001)
      .u32(sequence)
      .text(application)
      .u32(0)
      .raw({0x00, 0x44, 0x33, 0x50})
      .u32(4)
      .u32(0)
      .u32(0)
      .u32(0)
      .done();
}

inline Bytes mapClientEvent(uint32_t sequence, uint32_t eventId, const std::string& name) {
  return Writer().u32(276).u32(26).u32(0xF0000004).u32(sequence).u32(eventId).text(name).done();
}

inline Bytes transmitEvent(uint32_t sequence, uint32_t object, uint32_t eventId, uint32_t data,
                           uint32_t group, uint32_t flags) {
  return Writer()
      .u32(36)
      .u32(26)
      .u32(0xF0000005)
      .u32(sequence)
      .u32(object)
      .u32(eventId)
      .u32(data)
      .u32(group)
      .u32(flags)
      .done();
}

inline Bytes addToDataDefinition(uint32_t sequence, uint32_t definition, const std::string& datum,
                                 const std::string& units, uint32_t dataType, float epsilon,
                                 uint32_t datumId) {
  return Writer()
      .u32(544)
      .u32(26)
      .u32(0xF000000C)
      .u32(sequence)
      .u32(definition)
      .text(datum)
      .text(units)
      .u32(dataType)
      .f32(epsilon)
      .u32(datumId)
      .done();
}

inline Bytes requestData(uint32_t sequence, uint32_t request, uint32_t definition, uint32_t object,
                         uint32_t period, uint32_t flags, uint32_t origin, uint32_t interval,
                         uint32_t limit) {
  return Writer()
      .u32(48)
      .u32(26)
      .u32(0xF000000E)
      .u32(sequence)
      .u32(request)
      .u32(definition)
      .u32(object)
      .u32(period)
      .u32(flags)
      .u32(origin)
      .u32(interval)
      .u32(limit)
      .done();
}

inline Bytes setData(uint32_t sequence, uint32_t definition, uint32_t object, uint32_t flags,
                     uint32_t count, uint32_t unit, const Bytes& data) {
  return Writer()
      .u32(static_cast<uint32_t>(36 + data.size()))
      .u32(26)
      .u32(0xF0000010)
      .u32(sequence)
      .u32(definition)
      .u32(object)
      .u32(flags)
      .u32(count)
      .u32(unit)
      .raw(data)
      .done();
}

inline Bytes requestSystemState(uint32_t sequence, uint32_t request, const std::string& state) {
  return Writer().u32(276).u32(26).u32(0xF0000035).u32(sequence).u32(request).text(state).done();
}

inline Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

} // namespace handbuilt
