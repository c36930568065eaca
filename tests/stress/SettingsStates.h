#pragma once
// The states of the settings file that the interrupted-writer test can meet: the seeded
// sections, unchanged, and a section "Counter" whose one entry "value" carries a write counter,
// padding of a length that changes from write to write, and a checksum over both. A file cut
// anywhere loses a section, an entry, a line end or part of the checksummed value.
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

namespace settings_states {

inline const char* const kStoreName = "stress";
inline const char* const kCounterSection = "Counter";
inline const char* const kCounterKey = "value";

inline uint32_t checksum(const std::string& text) {
  uint32_t hash = 2166136261u; // FNV-1a
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

inline std::string padding(uint64_t counter) {
  std::string text(40 + counter * 37 % 300, 'a');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = char('a' + (counter + i) % 26);
  return text;
}

// The value the writer stores at write number `counter`.
inline std::string counterValue(uint64_t counter) {
  const std::string body = std::to_string(counter) + ":" + padding(counter);
  char sum[16];
  std::snprintf(sum, sizeof sum, ":%08x", static_cast<unsigned>(checksum(body)));
  return body + sum;
}

// The write number a value stands for, when it is one the writer could have stored.
inline std::optional<uint64_t> counterOf(const std::string& value) {
  const size_t colon = value.find(':');
  if (colon == 0 || colon == std::string::npos) return std::nullopt;
  for (size_t i = 0; i < colon; ++i)
    if (value[i] < '0' || value[i] > '9') return std::nullopt;
  const uint64_t counter = std::stoull(value.substr(0, colon));
  if (value != counterValue(counter)) return std::nullopt;
  return counter;
}

// The sections seeded before the first writer starts: 6 sections of 25 entries.
inline std::map<std::string, std::map<std::string, std::string>> seededSections() {
  std::map<std::string, std::map<std::string, std::string>> sections;
  for (int s = 0; s < 6; ++s) {
    auto& entries = sections["Fixed." + std::to_string(s)];
    for (int k = 0; k < 25; ++k)
      entries["key." + std::to_string(k)] =
          "seeded value " + std::to_string(s) + "." + std::to_string(k) + " of the stress store";
  }
  return sections;
}

} // namespace settings_states
