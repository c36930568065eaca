#pragma once
// What wirebridge-probe found out about one open, gathered from the library's own trace of it
// and from the conversation that followed, and its two renderings: text for a person, one JSON
// object for a support script.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace probe {

struct ConfigFile {
  std::string path;
  bool found = false;
  bool section = false;      // the section is there with at least one line
  bool sectionEmpty = false; // the section is named but has no lines (counts as absent)
  std::vector<std::pair<std::string, std::string>> values; // keys the section gave
};

struct Setting {
  std::string value;
  std::string source;
};

struct Effective {
  Setting protocol, address, port, maxReceiveSize, disableNagle;
};

struct Attempt {
  std::string transport; // "pipe", "ipv6" or "ipv4"
  std::string target;
  std::string result; // "connected", "failed" or "skipped"
  std::string why;    // for a skipped step: why it made no attempt
  uint32_t code = 0;
  uint64_t ms = 0;
  std::string description; // the system's text for `code`, for the text rendering
};

struct Report {
  uint32_t index = 0;
  std::string dll;
  std::string section;
  std::vector<ConfigFile> files;
  std::optional<Effective> effective; // none when the open stopped before loading
  std::optional<std::string> registryIPv4, registryIPv6;
  std::vector<Attempt> attempts;
  uint32_t openResult = 0;
  uint64_t openMs = 0;
  bool connected = false;
  std::optional<uint32_t> serial;
  // The server's open reply, when it arrived within the time-out.
  std::optional<uint32_t> replyId, replyLength, clientId;
  std::optional<double> roundTripMs; // set when the request was answered in time
  bool requestSent = false;
};

// Fills the configuration, registry and attempt parts from the trace lines of one open (the
// lines from its "open" line on).
void readTrace(std::string_view trace, Report& report);

std::string renderText(const Report& report);
std::string renderJson(const Report& report);

} // namespace probe
