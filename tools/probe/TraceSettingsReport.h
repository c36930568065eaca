#pragma once
// wirebridge-probe --trace-settings: whether the library's trace is on, from where, which file it
// would write, and why it cannot.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/TraceSettings.h"

namespace probe {

struct TraceSettingsReport {
  std::string source; // "environment", "file" or "none"
  std::string settingsFile;
  bool settingsFileRead = false;
  std::string path;
  int level = 0;
  uint64_t maxKiB = 0;
  std::vector<tracecfg::Problem> problems;
  bool writable = false;
  std::string cannot; // why the file can't be written; empty when it can
  std::optional<uint32_t> error;
  std::string verdict;
  std::vector<std::string> advice;
};

// Looks at this machine as the library would at its next open; exit code 0 when the trace is
// usable or off, 1 when it is set up but cannot write its file.
int examineTraceSettings(TraceSettingsReport& report);

std::string renderTraceSettingsText(const TraceSettingsReport& report);
std::string renderTraceSettingsJson(const TraceSettingsReport& report);

} // namespace probe
