#pragma once
// How the values of SimConnect.cfg turn into a ConnectionConfig, without any Windows call: the
// section naming, number parsing, protocol names, length bounds and the order in which the keys
// of one section are applied. The Windows layer (ConfigLookup) only fetches the raw strings.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "connection/ConnectionConfig.h"

namespace config {

// A value read from the file keeps at most this many characters (a 2048-character read buffer).
inline constexpr size_t kFileValueMaxLength = 2047;
// Address and port keep at most this many characters.
inline constexpr size_t kFieldMaxLength = kConfigStringCapacity - 1;

// Index for which no file is read at all; index 0 uses the unnumbered section.
inline constexpr uint32_t kNoFileIndex = 0xFFFFFFFFu;

// "SimConnect" for index 0, otherwise "SimConnect.<index in unsigned decimal>".
std::wstring sectionName(uint32_t configIndex);
// Indexes 0 and 0xFFFFFFFF open without a section; every other one needs its section somewhere.
constexpr bool sectionRequired(uint32_t configIndex) noexcept {
  return configIndex - 1u <= 0xFFFFFFFDu;
}
constexpr bool readsFiles(uint32_t configIndex) noexcept {
  return configIndex != kNoFileIndex;
}

// White space skipped before a number: that of the C locale (tab, line feed, vertical tab, form
// feed, carriage return, space).
constexpr bool isNumberSpace(wchar_t c) noexcept {
  return c == L' ' || (c >= L'\t' && c <= L'\r');
}
// Decimal number the way _wtoi reads it: leading white space, an optional sign, then ASCII digits
// up to the first other character. No digits gives 0; values outside the signed 32-bit range give
// the nearest bound.
int32_t parseInt(std::wstring_view text) noexcept;

// Compares two strings with ASCII letters folded to one case; every other character matches only
// itself.
bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b) noexcept;
// "Auto" and "Pipe" name Pipe, "IPv4" and "IPv6" the TCP families, in any letter case; any other
// text names nothing.
std::optional<TransportProtocol> protocolFromName(std::wstring_view name) noexcept;
// "Pipe", "IPv4" or "IPv6" ("unknown" for any other value).
const char* protocolName(TransportProtocol protocol) noexcept;

// The bounds: what the file read keeps of a value, and what address and port keep of it.
constexpr std::wstring_view cutFileValue(std::wstring_view value) noexcept {
  return value.substr(0, kFileValueMaxLength);
}
inline std::wstring cutFieldValue(std::wstring_view value) {
  return std::wstring(value.substr(0, kFieldMaxLength));
}

// The port number of a TCP port setting: ASCII decimal digits only (leading zeros allowed; no
// sign, no white space, no service name) with a value from 1 to 65535. Anything else is no port,
// as an empty setting is: the socket layer would otherwise take a larger number modulo 65536
// and reach another server's port.
std::optional<uint16_t> tcpPortNumber(std::wstring_view port) noexcept;

// The keys of a section, in the order they are applied.
enum class ConfigKey : size_t { Protocol, Address, Port, MaxReceiveSize, DisableNagle };
inline constexpr size_t kConfigKeyCount = 5;
inline constexpr std::array<ConfigKey, kConfigKeyCount> kConfigKeys = {
    ConfigKey::Protocol, ConfigKey::Address, ConfigKey::Port, ConfigKey::MaxReceiveSize,
    ConfigKey::DisableNagle};
const wchar_t* keyName(ConfigKey key) noexcept;

// Applies one key's value as read from the file. An empty value changes nothing.
//   Protocol: a known protocol name sets `protocol`; other text is ignored.
//   Address, Port: replaced by the value, cut to kFieldMaxLength.
//   MaxReceiveSize: the parsed number, taken as unsigned, replaces only a smaller current value.
//   DisableNagle: true for a non-zero number, false for zero (and for text that is no number).
void applyValue(ConfigKey key, std::wstring_view value, ConnectionConfig& config);

// The values of one section, indexed by ConfigKey; empty where the key is absent.
using SectionValues = std::array<std::wstring, kConfigKeyCount>;
// Replaces `port` with the simulator's published port of one TCP family (IPv6 when true); the
// port ends empty and the result is false when it can't be read.
using RegistryPortReader = std::function<bool(bool ipv6, std::wstring& port)>;

// Applies one section's values in key order. When the section's Protocol selects IPv4 or IPv6
// and the section gives no Port, the port comes from the registry for that family (readPort),
// so that a section naming only the protocol reaches a local simulator; a Port in the section
// always wins, as it is applied after Protocol.
void applySection(const SectionValues& values, ConnectionConfig& config,
                  const RegistryPortReader& readPort);

// Where each effective setting came from: "default", a file with section and key
// ("<path> [<section>] <key>"), or "registry <value name>".
struct ConfigSources {
  std::wstring protocol = L"default";
  std::wstring address = L"default";
  std::wstring port = L"default";
  std::wstring maxReceiveSize = L"default";
  std::wstring disableNagle = L"default";
};

// Updates `sources` for one file's section as applySection applied it, given the values the
// section held, the receive limit before it was applied and the settings after.
void attributeSection(ConfigSources& sources, std::wstring_view file, std::wstring_view section,
                      const SectionValues& values, uint32_t maxReceiveSizeBefore,
                      const ConnectionConfig& after);

} // namespace config
