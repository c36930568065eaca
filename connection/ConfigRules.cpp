#include "connection/ConfigRules.h"

#include <algorithm>

#include "connection/SimulatorInterface.h"

namespace config {

std::wstring sectionName(uint32_t configIndex) {
  std::wstring name = L"SimConnect";
  if (configIndex != 0) {
    name += L'.';
    name += std::to_wstring(configIndex);
  }
  return name;
}

int32_t parseInt(std::wstring_view text) noexcept {
  size_t pos = 0;
  while (pos < text.size() && isNumberSpace(text[pos])) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
    negative = text[pos] == L'-';
    ++pos;
  }
  // The magnitude saturates one past INT32_MAX, which is exactly the magnitude of INT32_MIN.
  constexpr int64_t kSaturated = int64_t{INT32_MAX} + 1;
  int64_t magnitude = 0;
  for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
    magnitude = std::min(magnitude * 10 + static_cast<int64_t>(text[pos] - L'0'), kSaturated);
  }
  if (negative) {
    return static_cast<int32_t>(-magnitude);
  }
  return static_cast<int32_t>(std::min(magnitude, int64_t{INT32_MAX}));
}

std::optional<uint16_t> tcpPortNumber(std::wstring_view port) noexcept {
  constexpr uint32_t kLargestPort = 65535;
  if (port.empty()) {
    return std::nullopt;
  }
  uint32_t value = 0;
  for (const wchar_t c : port) {
    if (c < L'0' || c > L'9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<uint32_t>(c - L'0');
    if (value > kLargestPort) {
      return std::nullopt;
    }
  }
  if (value == 0) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

namespace {
constexpr wchar_t foldAscii(wchar_t c) noexcept {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}
} // namespace

bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b) noexcept {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](wchar_t x, wchar_t y) { return foldAscii(x) == foldAscii(y); });
}

std::optional<TransportProtocol> protocolFromName(std::wstring_view name) noexcept {
  if (equalsIgnoringCase(name, L"Auto")) {
    return TransportProtocol::Pipe;
  }
  if (equalsIgnoringCase(name, L"IPv4")) {
    return TransportProtocol::IPv4;
  }
  if (equalsIgnoringCase(name, L"IPv6")) {
    return TransportProtocol::IPv6;
  }
  if (equalsIgnoringCase(name, L"Pipe")) {
    return TransportProtocol::Pipe;
  }
  return std::nullopt;
}

const char* protocolName(TransportProtocol protocol) noexcept {
  switch (protocol) {
  case TransportProtocol::Pipe:
    return "Pipe";
  case TransportProtocol::IPv4:
    return "IPv4";
  case TransportProtocol::IPv6:
    return "IPv6";
  }
  return "unknown";
}

const wchar_t* keyName(ConfigKey key) noexcept {
  switch (key) {
  case ConfigKey::Protocol:
    return L"Protocol";
  case ConfigKey::Address:
    return L"Address";
  case ConfigKey::Port:
    return L"Port";
  case ConfigKey::MaxReceiveSize:
    return L"MaxReceiveSize";
  case ConfigKey::DisableNagle:
    return L"DisableNagle";
  }
  return L"";
}

void applyValue(ConfigKey key, std::wstring_view value, ConnectionConfig& config) {
  value = cutFileValue(value);
  if (value.empty()) {
    return;
  }
  switch (key) {
  case ConfigKey::Protocol:
    if (const auto protocol = protocolFromName(value)) {
      config.protocol = *protocol;
    }
    break;
  case ConfigKey::Address:
    config.address = cutFieldValue(value);
    break;
  case ConfigKey::Port:
    config.port = cutFieldValue(value);
    break;
  case ConfigKey::MaxReceiveSize: {
    const auto size = static_cast<uint32_t>(parseInt(value));
    if (size > config.maxReceiveSize) {
      config.maxReceiveSize = size;
    }
    break;
  }
  case ConfigKey::DisableNagle:
    config.disableNagle = parseInt(value) != 0;
    break;
  }
}

void applySection(const SectionValues& values, ConnectionConfig& config,
                  const RegistryPortReader& readPort) {
  for (const ConfigKey key : kConfigKeys) {
    const std::wstring& value = values[static_cast<size_t>(key)];
    applyValue(key, value, config);
    if (key != ConfigKey::Protocol || !values[static_cast<size_t>(ConfigKey::Port)].empty()) {
      continue;
    }
    const auto protocol = protocolFromName(cutFileValue(value));
    if (protocol == TransportProtocol::IPv4 || protocol == TransportProtocol::IPv6) {
      // The reader empties the port when the simulator publishes none: a port left over from an
      // earlier file belonged to another transport choice and must not be used for this one.
      readPort(*protocol == TransportProtocol::IPv6, config.port);
      if (config.port.size() > kFieldMaxLength) {
        config.port.resize(kFieldMaxLength);
      }
    }
  }
}

namespace {

std::wstring fileSource(std::wstring_view file, std::wstring_view section, ConfigKey key) {
  std::wstring source(file);
  source += L" [";
  source += section;
  source += L"] ";
  source += keyName(key);
  return source;
}

} // namespace

void attributeSection(ConfigSources& sources, std::wstring_view file, std::wstring_view section,
                      const SectionValues& values, uint32_t maxReceiveSizeBefore,
                      const ConnectionConfig& after) {
  const auto given = [&](ConfigKey key) -> const std::wstring& {
    return values[static_cast<size_t>(key)];
  };
  const auto protocol = protocolFromName(cutFileValue(given(ConfigKey::Protocol)));
  if (protocol) sources.protocol = fileSource(file, section, ConfigKey::Protocol);
  if (!given(ConfigKey::Address).empty()) {
    sources.address = fileSource(file, section, ConfigKey::Address);
  }
  if (!given(ConfigKey::Port).empty()) {
    sources.port = fileSource(file, section, ConfigKey::Port);
  } else if (protocol == TransportProtocol::IPv4) {
    sources.port = std::wstring(L"registry ") + sim::kPortValueIPv4;
  } else if (protocol == TransportProtocol::IPv6) {
    sources.port = std::wstring(L"registry ") + sim::kPortValueIPv6;
  }
  if (after.maxReceiveSize != maxReceiveSizeBefore) {
    sources.maxReceiveSize = fileSource(file, section, ConfigKey::MaxReceiveSize);
  }
  if (!given(ConfigKey::DisableNagle).empty()) {
    sources.disableNagle = fileSource(file, section, ConfigKey::DisableNagle);
  }
}

} // namespace config
