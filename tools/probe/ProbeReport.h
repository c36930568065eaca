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

// A loss of the connection, from the trace's disconnect line.
struct Loss {
  int32_t reason = 0;
  uint32_t code = 0;  // what the exports report from then on
  uint32_t error = 0; // the system error of the failure itself (0 for none)
  std::string why;    // the trace's own words for the reason
};

// An export that returned something other than S_OK, from the trace's result lines.
struct CallResult {
  std::string call;
  uint32_t hr = 0;
};

// A value that was rejected, ignored or cut, with its effect.
struct Warning {
  std::string file; // the configuration file, or the registry key
  std::string section;
  std::string key;
  std::string value;
  std::string text;
};

// Why the probe could not do its work: a bad command line or a library it cannot use.
struct Failure {
  std::string kind; // "usage" or "dll"
  std::optional<std::string> argument;
  std::optional<uint32_t> code;
  std::string text;
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
  uint32_t timeoutMs = 0;
  uint32_t otherMessages = 0; // messages received that were not the open reply
  bool traceSeen = false;     // the trace held this open's lines
  std::optional<Loss> lost;
  std::vector<CallResult> results;
  std::vector<Warning> warnings;
  std::string verdict;
  std::vector<std::string> advice; // next steps in order; empty when all is well
  std::optional<Failure> error;

  // The server answered the Open message with a client id.
  bool answered() const noexcept { return clientId.has_value(); }
};

// Fills the configuration, registry, attempt, loss and result parts from the trace lines of one
// open (the lines from its "open" line on).
void readTrace(std::string_view trace, Report& report);

// The whole report, ending with the verdict and the next steps.
std::string renderText(const Report& report);
// A run that could not use the library or its command line: the reason and the verdict.
std::string renderFailureText(const Report& report);
std::string renderJson(const Report& report);

// Pieces that the probe's other reports render the same way: a JSON string (quoted, escaped),
// and the closing verdict with its numbered next steps.
std::string jsonString(std::string_view text);
std::string renderVerdict(const std::string& verdict, const std::vector<std::string>& advice);

} // namespace probe
