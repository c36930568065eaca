#pragma once
// Little-endian reading and writing of the 32-bit fields that every message and record is made of.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace simserver {

inline uint32_t readU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void writeU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline float readF32(const uint8_t* p) {
  const uint32_t bits = readU32(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline void writeF32(uint8_t* p, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  writeU32(p, bits);
}

// Text of a fixed 256-byte string field: the bytes before the first zero (all 256 without one).
inline std::string readStringField(const uint8_t* p, size_t width = 256) {
  size_t length = 0;
  while (length < width && p[length] != 0)
    ++length;
  return std::string(reinterpret_cast<const char*>(p), length);
}

// Copies text into a fixed field, cut to width - 1 bytes so that a terminator always fits.
inline void writeStringField(uint8_t* p, const std::string& text, size_t width = 256) {
  const size_t length = text.size() < width ? text.size() : width - 1;
  std::memcpy(p, text.data(), length);
  std::memset(p + length, 0, width - length);
}

} // namespace simserver
