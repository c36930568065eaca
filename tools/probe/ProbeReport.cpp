#include "tools/probe/ProbeReport.h"

#include <cstdio>
#include <string>

#include "connection/ConfigRules.h"
#include "diagnostics/TraceLine.h"
#include "tools/probe/CodeWords.h"
#include "tools/probe/Verdict.h"

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

// "0x" and hex digits, as the trace writes codes.
uint32_t hexNumber(const std::string& text) {
  uint32_t value = 0;
  const size_t start = text.rfind("0x", 0) == 0 ? 2 : 0;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) break;
    value = value << 4 | uint32_t(digit);
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

std::string renderVerdict(const std::string& verdict, const std::vector<std::string>& advice) {
  std::string out = "\nVerdict: " + verdict + "\n";
  if (!advice.empty()) {
    out += "Next steps:\n";
    int step = 0;
    for (const std::string& line : advice)
      out += "  " + std::to_string(++step) + ". " + line + "\n";
  }
  return out;
}

void readTrace(std::string_view trace, Report& report) {
  size_t at = 0;
  while (at < trace.size()) {
    size_t end = trace.find('\n', at);
    if (end == std::string_view::npos) end = trace.size();
    const tracefmt::Record record = tracefmt::parseLine(trace.substr(at, end - at));
    at = end + 1;
    const std::string& event = record.event;
    if (event == "open") {
      // Only the last open counts: its trace-derived parts start afresh.
      report.traceSeen = true;
      report.section.clear();
      report.files.clear();
      report.effective.reset();
      report.registryIPv4.reset();
      report.registryIPv6.reset();
      report.attempts.clear();
      report.serial.reset();
      report.lost.reset();
      report.results.clear();
    } else if (event == "disconnect") {
      // The first loss of the connection the open made; a failed attempt is no loss.
      if (!report.lost && report.serial && number(record, "serial") == *report.serial) {
        Loss loss;
        loss.reason = int32_t(number(record, "reason"));
        loss.code = hexNumber(field(record, "code"));
        loss.error = uint32_t(number(record, "error"));
        loss.why = field(record, "why");
        report.lost = loss;
      }
    } else if (event == "result") {
      report.results.push_back(CallResult{field(record, "call"), hexNumber(field(record, "hr"))});
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

static std::string renderTextEnding(const Report& report) {
  std::string out;
  if (report.lost) {
    out += "Connection lost: " + lossText(report) + "; code " + codeWithWords(report.lost->code);
    if (report.lost->error != 0) out += ", system error " + codeWithWords(report.lost->error);
    out += "\n";
  }
  if (!report.warnings.empty()) {
    out += "\nValues rejected, ignored or cut:\n";
    for (const Warning& warning : report.warnings) {
      out += "  " + warning.file;
      if (!warning.section.empty()) out += " [" + warning.section + "]";
      out += " " + warning.key + "=" + warning.value + "\n    " + warning.text + "\n";
    }
  }
  return out + renderVerdict(report.verdict, report.advice);
}

std::string renderFailureText(const Report& report) {
  std::string out = "wirebridge-probe: " + report.error->text;
  if (report.error->code) out += " (error " + codeWithWords(*report.error->code) + ")";
  out += "\n";
  out += "Verdict: " + report.verdict + "\n";
  int step = 0;
  for (const std::string& advice : report.advice)
    out += "  " + std::to_string(++step) + ". " + advice + "\n";
  return out;
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
      const std::string words = codeWords(attempt.code);
      out += ", error " + std::to_string(attempt.code);
      if (!words.empty() || !attempt.description.empty())
        out += " (" + (words.empty() ? attempt.description : words) + ")";
    }
    if (attempt.result == "skipped") {
      out += " (" + (attempt.why.empty() ? std::string("no port") : attempt.why) + ")";
    }
    out += ", " + std::to_string(attempt.ms) + " ms\n";
  }
  out += "\nSimConnect_Open returned " + codeWithWords(report.openResult) + " after " +
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
    } else if (report.lost) {
      out += "Open reply: none before the connection was lost\n";
    } else {
      out += "Open reply: none within the time-out\n";
    }
    if (report.roundTripMs) {
      char text[64];
      std::snprintf(text, sizeof(text), "%.1f ms", *report.roundTripMs);
      out += std::string("Round trip of RequestSystemState: ") + text + "\n";
    } else if (report.requestSent && !report.lost) {
      out += "Round trip of RequestSystemState: unanswered within the time-out\n";
    }
  }
  return out + renderTextEnding(report);
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
    out += "{\"transport\":" + jsonString(attempt.transport) +
           ",\"target\":" + jsonString(attempt.target) +
           ",\"result\":" + jsonString(attempt.result) +
           ",\"code\":" + std::to_string(attempt.code) + ",\"ms\":" + std::to_string(attempt.ms) +
           ",\"codeText\":" + jsonString(attempt.code != 0 ? codeWords(attempt.code) : "") + "}";
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
  out += ",\"openResultText\":" + jsonString(codeWords(report.openResult));
  out += std::string(",\"answered\":") + (report.answered() ? "true" : "false");
  out += ",\"lost\":";
  if (report.lost) {
    out += "{\"reason\":" + jsonString(lossText(report)) +
           ",\"code\":" + std::to_string(report.lost->code) +
           ",\"codeText\":" + jsonString(codeWords(report.lost->code)) +
           ",\"error\":" + std::to_string(report.lost->error) + "}";
  } else {
    out += "null";
  }
  out += ",\"verdict\":" + jsonString(report.verdict);
  out += ",\"advice\":[";
  for (size_t i = 0; i < report.advice.size(); ++i)
    out += (i != 0 ? "," : "") + jsonString(report.advice[i]);
  out += "],\"warnings\":[";
  for (size_t i = 0; i < report.warnings.size(); ++i) {
    const Warning& warning = report.warnings[i];
    out += std::string(i != 0 ? "," : "") + "{\"file\":" + jsonString(warning.file) +
           ",\"section\":" + jsonString(warning.section) + ",\"key\":" + jsonString(warning.key) +
           ",\"value\":" + jsonString(warning.value) + ",\"text\":" + jsonString(warning.text) +
           "}";
  }
  out += "],\"error\":";
  if (report.error) {
    out += "{\"kind\":" + jsonString(report.error->kind) +
           ",\"argument\":" + jsonOptional(report.error->argument) +
           ",\"code\":" + jsonNumber(report.error->code) +
           ",\"text\":" + jsonString(report.error->text) + "}";
  } else {
    out += "null";
  }
  out += "}\n";
  return out;
}

} // namespace probe
