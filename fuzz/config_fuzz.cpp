// Feeds arbitrary text to the configuration value rules. Input: one mode byte, then the text,
// either one character per byte (mode bit 0 clear: dense in digits, signs and names) or one
// UTF-16 code unit per two bytes, little-endian (mode bit 0 set).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "connection/ConfigRules.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "config_fuzz: %s\n", what);
    std::abort();
  }
}

std::wstring decode(const uint8_t* data, size_t size) {
  std::wstring text;
  if (size == 0) {
    return text;
  }
  const bool wide = (data[0] & 1) != 0;
  for (size_t i = 1; i < size; i += wide ? 2 : 1) {
    if (wide) {
      const unsigned high = i + 1 < size ? data[i + 1] : 0;
      text += static_cast<wchar_t>(data[i] | (high << 8));
    } else {
      text += static_cast<wchar_t>(data[i]);
    }
  }
  return text;
}

// The number as _wtoi reads it, done the long way: the digits as text, compared as text with
// the bound of their sign.
int32_t referenceParseInt(std::wstring_view text) {
  const std::wstring_view space = L" \t\n\v\f\r";
  size_t pos = 0;
  while (pos < text.size() && space.find(text[pos]) != std::wstring_view::npos) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
    negative = text[pos] == L'-';
    ++pos;
  }
  std::string digits;
  for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
    if (!digits.empty() || text[pos] != L'0') {
      digits += static_cast<char>(text[pos]);
    }
  }
  const std::string bound = negative ? "2147483648" : "2147483647";
  if (digits.size() > bound.size() || (digits.size() == bound.size() && digits > bound)) {
    digits = bound;
  }
  const long long magnitude = digits.empty() ? 0 : std::stoll(digits);
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

std::optional<TransportProtocol> referenceProtocol(std::wstring_view name) {
  std::wstring lower(name);
  for (wchar_t& c : lower) {
    if (c >= L'A' && c <= L'Z') {
      c = static_cast<wchar_t>(c + (L'a' - L'A'));
    }
  }
  if (lower == L"auto" || lower == L"pipe") {
    return TransportProtocol::Pipe;
  }
  if (lower == L"ipv4") {
    return TransportProtocol::IPv4;
  }
  if (lower == L"ipv6") {
    return TransportProtocol::IPv6;
  }
  return std::nullopt;
}

// A TCP port the long way: every character a digit, the digits without leading zeros at most
// five, and their value from 1 to 65535.
std::optional<uint16_t> referenceTcpPort(std::wstring_view text) {
  std::string digits;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') {
      return std::nullopt;
    }
    if (!digits.empty() || c != L'0') {
      digits += static_cast<char>(c);
    }
  }
  if (digits.empty() || digits.size() > 5) {
    return std::nullopt;
  }
  const unsigned long value = std::stoul(digits);
  if (value > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

bool validProtocol(TransportProtocol protocol) {
  return protocol == TransportProtocol::Pipe || protocol == TransportProtocol::IPv4 ||
         protocol == TransportProtocol::IPv6;
}

void checkApplyValue(const std::wstring& text, const ConnectionConfig& before) {
  const std::wstring_view fileValue = config::cutFileValue(text);
  check(fileValue.size() <= 2047 && fileValue == std::wstring_view(text).substr(0, 2047),
        "file cut");
  for (const config::ConfigKey key : config::kConfigKeys) {
    ConnectionConfig after = before;
    config::applyValue(key, text, after);
    check(validProtocol(after.protocol), "protocol value");
    check(after.address.size() <= 1023 && after.port.size() <= 1023, "field bound");
    check(after.maxReceiveSize >= before.maxReceiveSize, "receive size shrank");
    if (fileValue.empty()) {
      check(after.protocol == before.protocol && after.address == before.address &&
                after.port == before.port && after.maxReceiveSize == before.maxReceiveSize &&
                after.disableNagle == before.disableNagle,
            "empty value changed the config");
      continue;
    }
    const std::wstring field(fileValue.substr(0, 1023));
    switch (key) {
    case config::ConfigKey::Protocol: {
      const auto named = referenceProtocol(fileValue);
      check(after.protocol == (named ? *named : before.protocol), "protocol rule");
      break;
    }
    case config::ConfigKey::Address:
      check(after.address == field && after.port == before.port, "address rule");
      break;
    case config::ConfigKey::Port:
      check(after.port == field && after.address == before.address, "port rule");
      break;
    case config::ConfigKey::MaxReceiveSize: {
      const auto parsed = static_cast<uint32_t>(referenceParseInt(fileValue));
      check(after.maxReceiveSize ==
                (parsed > before.maxReceiveSize ? parsed : before.maxReceiveSize),
            "receive size rule");
      break;
    }
    case config::ConfigKey::DisableNagle:
      check(after.disableNagle == (referenceParseInt(fileValue) != 0), "nagle rule");
      break;
    }
  }
}

// Splits the text at line feeds into the five values of a section.
config::SectionValues splitSection(const std::wstring& text) {
  config::SectionValues values;
  size_t start = 0;
  for (size_t i = 0; i < values.size() && start <= text.size(); ++i) {
    const size_t end = std::min(text.find(L'\n', start), text.size());
    values[i] = text.substr(start, end - start);
    start = end + 1;
  }
  return values;
}

void checkApplySection(const std::wstring& text, const ConnectionConfig& before) {
  const config::SectionValues values = splitSection(text);
  int requests = 0;
  bool askedIPv6 = false;
  const std::wstring published = text; // a reader that may hand back an over-long port
  ConnectionConfig after = before;
  config::applySection(values, after, [&](bool ipv6, std::wstring& port) {
    ++requests;
    askedIPv6 = ipv6;
    port = published;
    return true;
  });
  check(after.address.size() <= 1023 && after.port.size() <= 1023, "section field bound");
  check(validProtocol(after.protocol), "section protocol value");
  const auto named = referenceProtocol(config::cutFileValue(values[0]));
  const bool tcp = named == TransportProtocol::IPv4 || named == TransportProtocol::IPv6;
  const bool expectRequest = tcp && values[2].empty();
  check(requests == (expectRequest ? 1 : 0), "registry request count");
  if (expectRequest) {
    check(askedIPv6 == (named == TransportProtocol::IPv6), "registry family");
    check(after.port == published.substr(0, 1023), "published port");
  }
}

void checkSectionName(const uint8_t* data, size_t size) {
  uint32_t index = 0;
  std::memcpy(&index, data, std::min(size, sizeof index));
  const std::wstring name = config::sectionName(index);
  check(name == (index == 0 ? std::wstring(L"SimConnect")
                            : L"SimConnect." + std::to_wstring(static_cast<unsigned long>(index))),
        "section name");
  check(name.size() <= 21, "section name length");
  check(config::sectionRequired(index) == (index != 0 && index != 0xFFFFFFFFu), "section rule");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = decode(data, size);
  const int32_t parsed = config::parseInt(text);
  check(parsed == referenceParseInt(text), "parseInt differs from the reference");
  check(config::protocolFromName(text) == referenceProtocol(text), "protocol name");
  check(config::tcpPortNumber(text) == referenceTcpPort(text), "tcp port");

  ConnectionConfig before;
  checkApplyValue(text, before);
  // A config that earlier files already changed.
  before.protocol = TransportProtocol::IPv6;
  before.address = L"earlier";
  before.port = L"earlier";
  before.maxReceiveSize = size > 4 ? static_cast<uint32_t>(data[1]) << 24 | data[2] : 100000;
  before.disableNagle = true;
  checkApplyValue(text, before);
  checkApplySection(text, before);
  checkSectionName(data, size);
  return 0;
}
