#include "tools/probe/ConfigWarnings.h"

#include <string>
#include <string_view>

#include "connection/ConfigRules.h"

namespace probe {

namespace {

// The trace writes values as UTF-8; the rules compare ASCII words and digits, so any other
// character only has to stay something that matches nothing.
std::wstring widened(std::string_view text) {
  std::wstring wide;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    wide += byte < 0x80 ? wchar_t(byte) : wchar_t(0xFFFD);
  }
  return wide;
}

// Length in UTF-16 units, as the library's bounds count it.
size_t utf16Length(std::string_view text) {
  size_t length = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) == 0x80) continue; // continuation byte
    length += (byte & 0xF8) == 0xF0 ? 2 : 1;
  }
  return length;
}

// A ';' or '#' after white space, or "//": a comment to the writer, part of the value to the
// private-profile reading.
bool hasTrailingComment(std::string_view value) {
  if (value.find("//") != std::string_view::npos) return true;
  for (size_t i = 1; i < value.size(); ++i) {
    if ((value[i] == ';' || value[i] == '#') && (value[i - 1] == ' ' || value[i - 1] == '\t'))
      return true;
  }
  return false;
}

// With the pipe first, Port names the pipe, not a TCP port.
bool pipeFirst(const Report& report) {
  return report.effective && report.effective->protocol.value == "Pipe";
}

std::string keyEffect(const Report& report, const std::string& key) {
  if (key == "Protocol") return "Protocol is ignored";
  if (key == "Port" && pipeFirst(report)) return "the pipe's name takes the comment along";
  if (key == "Port") return "the port is not a number and reaches nothing";
  if (key == "MaxReceiveSize") return "only the digits before it count";
  if (key == "DisableNagle") return "only the digits before it count";
  return "the value is used with the comment in it";
}

void checkValue(const Report& report, const ConfigFile& file, const std::string& key,
                const std::string& value, std::vector<Warning>& out) {
  const auto warn = [&](std::string text) {
    out.push_back(Warning{file.path, report.section, key, value, std::move(text)});
  };
  if (hasTrailingComment(value)) {
    warn("text after the value looks like a comment, but the file keeps it as part of the "
         "value: " +
         keyEffect(report, key) + "; put comments on lines of their own");
    return;
  }
  if (utf16Length(value) >= config::kFileValueMaxLength) {
    warn("2047 characters or more: only the first 2047 are read");
  }
  if (key == "Protocol" && !config::protocolFromName(widened(value))) {
    warn("not one of Auto, Pipe, IPv4, IPv6: ignored, so the protocol stays as before (Pipe "
         "unless an earlier file set it)");
  } else if ((key == "Address" || key == "Port") && utf16Length(value) > config::kFieldMaxLength) {
    warn("longer than 1023 characters: cut to its first 1023");
  } else if (key == "Port" && !isPortNumber(value) && !pipeFirst(report)) {
    warn("not a port number from 1 to 65535: no TCP connection can use it");
  } else if (key == "MaxReceiveSize") {
    const auto limit = uint32_t(config::parseInt(widened(value)));
    if (limit <= kDefaultMaxReceiveSize) {
      warn("not above the smallest receive limit " + std::to_string(kDefaultMaxReceiveSize) +
           ": ignored");
    } else if (report.effective &&
               report.effective->maxReceiveSize.source.rfind(file.path + " [", 0) != 0) {
      warn("a larger or equal value, " + report.effective->maxReceiveSize.value + " from " +
           report.effective->maxReceiveSize.source +
           ", wins: MaxReceiveSize keeps the largest value of all files");
    }
  }
}

void checkRegistryPort(const std::optional<std::string>& port, const char* valueName,
                       std::vector<Warning>& out) {
  if (!port || isPortNumber(*port)) return;
  out.push_back(Warning{kPortsKeyName, "", valueName, *port,
                        "not a port number from 1 to 65535: no TCP connection can use it"});
}

} // namespace

bool isPortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + uint32_t(c - '0');
  }
  return value >= 1 && value <= 65535;
}

std::vector<Warning> configWarnings(const Report& report) {
  std::vector<Warning> warnings;
  for (const ConfigFile& file : report.files) {
    for (const auto& [key, value] : file.values)
      checkValue(report, file, key, value, warnings);
  }
  checkRegistryPort(report.registryIPv4, "SimConnect_Port_IPv4", warnings);
  checkRegistryPort(report.registryIPv6, "SimConnect_Port_IPv6", warnings);
  return warnings;
}

} // namespace probe
