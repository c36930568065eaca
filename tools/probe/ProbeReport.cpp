#include "tools/probe/ProbeReport.h"

#include <cstdio>
#include <string>

#include "connection/ConfigRules.h"
#include "connection/TraceFormat.h"

namespace probe {

namespace {

std::string field(const tracefmt::Record& record, std::string_view key) {
  const std::string* value = record.find(key);
  return value != nullptr ? *value : std::string();
}

uint64_t number(const tracefmt::Record& record, std::string_view key) {
  const std::string text = field(record, key);
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + uint64_t(c - '0');
  }
  return value;
}

ConfigFile& fileEntry(Report& report, const std::string& path) {
  for (ConfigFile& file : report.files) {
    if (file.path == path) return file;
  }
  ConfigFile file;
  file.path = path;
  report.files.push_back(file);
  return report.files.back();
}

void readConfigLine(const tracefmt::Record& record, Report& report, bool withValues) {
  ConfigFile& file = fileEntry(report, field(record, "file"));
  file.found = field(record, "found") == "yes";
  const std::string lines = field(record, "lines");
  file.section = lines == "yes";
  file.sectionEmpty = lines == "empty";
  report.section = field(record, "section");
  if (!withValues) return;
  file.values.clear();
  for (const config::ConfigKey configKey : config::kConfigKeys) {
    const std::string key = tracefmt::utf8(config::keyName(configKey));
    if (const std::string* value = record.find(key)) file.values.emplace_back(key, *value);
  }
}

Setting setting(const tracefmt::Record& record, const std::string& key) {
  return Setting{field(record, key), field(record, key + ".from")};
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\u%04x", unsigned(c));
        out += escaped;
      } else {
        out += c;
      }
    }
  }
  return out + "\"";
}

std::string jsonOptional(const std::optional<std::string>& text) {
  return text ? jsonString(*text) : "null";
}

template <typename T> std::string jsonNumber(const std::optional<T>& value) {
  return value ? std::to_string(*value) : "null";
}

std::string jsonSetting(const Setting& setting, bool numeric, bool boolean) {
  std::string value;
  if (boolean) {
    value = setting.value == "0" ? "false" : "true";
  } else if (numeric) {
    value = setting.value.empty() ? "null" : setting.value;
  } else {
    value = jsonString(setting.value);
  }
  return "{\"value\":" + value + ",\"source\":" + jsonString(setting.source) + "}";
}

std::string shown(const std::string& value) {
  return value.empty() ? "(empty)" : value;
}

} // namespace

void readTrace(std::string_view trace, Report& report) {
  size_t at = 0;
  while (at < trace.size()) {
    size_t end = trace.find('\n', at);
    if (end == std::string_view::npos) end = trace.size();
    const tracefmt::Record record = tracefmt::parseLine(trace.substr(at, end - at));
    at = end + 1;
    const std::string& event = record.event;
    if (event == "open") {
      // Only the last open counts: start afresh.
      const std::string dll = report.dll;
      const uint32_t index = report.index;
      report = Report{};
      report.dll = dll;
      report.index = index;
    } else if (event == "registry") {
      const std::string* ipv4 = record.find("ipv4");
      const std::string* ipv6 = record.find("ipv6");
      // A missing value is written as none (a published port is a decimal string).
      report.registryIPv4 =
          ipv4 != nullptr && *ipv4 != "none" ? std::optional(*ipv4) : std::nullopt;
      report.registryIPv6 =
          ipv6 != nullptr && *ipv6 != "none" ? std::optional(*ipv6) : std::nullopt;
    } else if (event == "config-probe") {
      readConfigLine(record, report, false);
    } else if (event == "config-read") {
      readConfigLine(record, report, true);
    } else if (event == "effective") {
      Effective effective;
      effective.protocol = setting(record, "protocol");
      effective.address = setting(record, "address");
      effective.port = setting(record, "port");
      effective.maxReceiveSize = setting(record, "maxReceiveSize");
      effective.disableNagle = setting(record, "disableNagle");
      report.effective = effective;
    } else if (event == "attempt") {
      Attempt attempt;
      attempt.transport = field(record, "transport");
      attempt.target = field(record, "target");
      attempt.result = field(record, "result");
      attempt.why = field(record, "why");
      attempt.code = uint32_t(number(record, "error"));
      attempt.ms = number(record, "ms");
      if (attempt.result == "connected") report.serial = uint32_t(number(record, "serial"));
      report.attempts.push_back(attempt);
    }
  }
}

std::string renderText(const Report& report) {
  std::string out;
  out += "Wirebridge probe, configuration index " + std::to_string(report.index) + "\n";
  out += "Library: " + report.dll + "\n\n";
  if (report.files.empty()) {
    out += "Configuration files: none read";
    out += report.index == 0xFFFFFFFFu ? " (index 4294967295 reads no file)\n" : "\n";
  } else {
    out += "Configuration files, section [" + report.section + "], in the order read:\n";
    for (const ConfigFile& file : report.files) {
      out += "  " + file.path + "\n    ";
      if (!file.found) {
        out += "no such file\n";
        continue;
      }
      out += file.section        ? "section present"
             : file.sectionEmpty ? "section present but empty (counts as absent)"
                                 : "file found, section absent";
      for (const auto& value : file.values)
        out += "; " + value.first + "=" + value.second;
      out += "\n";
    }
  }
  out += "\nPorts published in the registry: IPv4 " +
         (report.registryIPv4 ? *report.registryIPv4 : std::string("none")) + ", IPv6 " +
         (report.registryIPv6 ? *report.registryIPv6 : std::string("none")) + "\n";
  if (report.effective) {
    const Effective& e = *report.effective;
    out += "\nEffective settings:\n";
    out += "  Protocol        " + e.protocol.value + "  (" + e.protocol.source + ")\n";
    out += "  Address         " + shown(e.address.value) + "  (" + e.address.source + ")\n";
    out += "  Port            " + shown(e.port.value) + "  (" + e.port.source + ")\n";
    out += "  MaxReceiveSize  " + e.maxReceiveSize.value + "  (" + e.maxReceiveSize.source + ")\n";
    out += "  DisableNagle    " + e.disableNagle.value + "  (" + e.disableNagle.source + ")\n";
  } else {
    out += "\nEffective settings: none; the open stopped before loading the configuration\n";
  }
  out += "\nAttempts, in order:\n";
  if (report.attempts.empty()) out += "  none\n";
  int number = 0;
  for (const Attempt& attempt : report.attempts) {
    out += "  " + std::to_string(++number) + ". " + attempt.transport + " " + attempt.target +
           ": " + attempt.result;
    if (attempt.result == "failed") {
      out += ", error " + std::to_string(attempt.code);
      if (!attempt.description.empty()) out += " (" + attempt.description + ")";
    }
    if (attempt.result == "skipped") {
      out += " (" + (attempt.why.empty() ? std::string("no port") : attempt.why) + ")";
    }
    out += ", " + std::to_string(attempt.ms) + " ms\n";
  }
  out += "\nSimConnect_Open returned " + tracefmt::hex32(report.openResult) + " after " +
         std::to_string(report.openMs) + " ms: ";
  out += report.connected ? "connected" : "not connected";
  if (report.serial && report.connected) {
    out += " (connection " + std::to_string(*report.serial) + ")";
  }
  out += "\n";
  if (report.connected) {
    if (report.replyId) {
      out += "Open reply: id " + std::to_string(*report.replyId) + ", " +
             std::to_string(*report.replyLength) + " bytes, client id " +
             (report.clientId ? std::to_string(*report.clientId) : std::string("(none)")) + "\n";
    } else {
      out += "Open reply: none within the time-out\n";
    }
    if (report.roundTripMs) {
      char text[64];
      std::snprintf(text, sizeof(text), "%.1f ms", *report.roundTripMs);
      out += std::string("Round trip of RequestSystemState: ") + text + "\n";
    } else if (report.requestSent) {
      out += "Round trip of RequestSystemState: unanswered within the time-out\n";
    }
  }
  return out;
}

std::string renderJson(const Report& report) {
  std::string out = "{";
  out += "\"index\":" + std::to_string(report.index);
  out += ",\"dll\":" + jsonString(report.dll);
  out +=
      ",\"section\":" + (report.files.empty() ? std::string("null") : jsonString(report.section));
  out += ",\"files\":[";
  for (size_t i = 0; i < report.files.size(); ++i) {
    const ConfigFile& file = report.files[i];
    if (i != 0) out += ",";
    out += "{\"path\":" + jsonString(file.path) + ",\"found\":" + (file.found ? "true" : "false") +
           ",\"section\":" + (file.section ? "true" : "false") +
           ",\"sectionEmpty\":" + (file.sectionEmpty ? "true" : "false") + ",\"values\":{";
    for (size_t v = 0; v < file.values.size(); ++v) {
      if (v != 0) out += ",";
      out += jsonString(file.values[v].first) + ":" + jsonString(file.values[v].second);
    }
    out += "}}";
  }
  out += "],\"effective\":";
  if (report.effective) {
    const Effective& e = *report.effective;
    out += "{\"protocol\":" + jsonSetting(e.protocol, false, false) +
           ",\"address\":" + jsonSetting(e.address, false, false) +
           ",\"port\":" + jsonSetting(e.port, false, false) +
           ",\"maxReceiveSize\":" + jsonSetting(e.maxReceiveSize, true, false) +
           ",\"disableNagle\":" + jsonSetting(e.disableNagle, false, true) + "}";
  } else {
    out += "null";
  }
  out += ",\"registry\":{\"ipv4\":" + jsonOptional(report.registryIPv4) +
         ",\"ipv6\":" + jsonOptional(report.registryIPv6) + "}";
  out += ",\"attempts\":[";
  for (size_t i = 0; i < report.attempts.size(); ++i) {
    const Attempt& attempt = report.attempts[i];
    if (i != 0) out += ",";
    out +=
        "{\"transport\":" + jsonString(attempt.transport) +
        ",\"target\":" + jsonString(attempt.target) + ",\"result\":" + jsonString(attempt.result) +
        ",\"code\":" + std::to_string(attempt.code) + ",\"ms\":" + std::to_string(attempt.ms) + "}";
  }
  out += "],\"openResult\":" + std::to_string(report.openResult);
  out += ",\"openMs\":" + std::to_string(report.openMs);
  out += std::string(",\"connected\":") + (report.connected ? "true" : "false");
  out += ",\"serial\":" + (report.connected ? jsonNumber(report.serial) : std::string("null"));
  out += ",\"openReply\":";
  if (report.replyId) {
    out += "{\"id\":" + std::to_string(*report.replyId) +
           ",\"length\":" + std::to_string(*report.replyLength) + "}";
  } else {
    out += "null";
  }
  out += ",\"clientId\":" + jsonNumber(report.clientId);
  out += ",\"roundTrip\":";
  if (!report.requestSent) {
    out += "null";
  } else if (report.roundTripMs) {
    char text[64];
    std::snprintf(text, sizeof(text), "{\"answered\":true,\"ms\":%.3f}", *report.roundTripMs);
    out += text;
  } else {
    out += "{\"answered\":false,\"ms\":null}";
  }
  out += "}\n";
  return out;
}

} // namespace probe
