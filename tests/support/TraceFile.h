#pragma once
// The connection trace in tests: pointing it at a file through the environment for one test, and
// reading the file's events back.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/TraceLine.h"
#include "include/Wirebridge.h"

// Points the trace at a file through the environment for one test, and turns it off again.
class TraceSettings {
public:
  TraceSettings(const std::wstring& path, const wchar_t* level, const wchar_t* maxKiB = nullptr) {
    SetEnvironmentVariableW(L"WIREBRIDGE_TRACE", path.c_str());
    SetEnvironmentVariableW(L"WIREBRIDGE_TRACE_LEVEL", level);
    SetEnvironmentVariableW(L"WIREBRIDGE_TRACE_MAX_KB", maxKiB);
  }
  ~TraceSettings() {
    SetEnvironmentVariableW(L"WIREBRIDGE_TRACE", nullptr);
    SetEnvironmentVariableW(L"WIREBRIDGE_TRACE_LEVEL", nullptr);
    SetEnvironmentVariableW(L"WIREBRIDGE_TRACE_MAX_KB", nullptr);
    // Every open reads the settings again, also one refused for its arguments.
    SimConnect_Open(nullptr, nullptr, nullptr, 0, nullptr, 0);
  }
  TraceSettings(const TraceSettings&) = delete;
  TraceSettings& operator=(const TraceSettings&) = delete;
};

inline std::vector<tracefmt::Record> traceEvents(const std::string& text,
                                                 const std::string& event) {
  std::vector<tracefmt::Record> found;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    tracefmt::Record record = tracefmt::parseLine(std::string_view(text).substr(at, end - at));
    if (record.event == event) found.push_back(std::move(record));
    at = end + 1;
  }
  return found;
}

inline std::string fieldOf(const tracefmt::Record& record, const char* key) {
  const std::string* found = record.find(key);
  return found != nullptr ? *found : "<missing " + std::string(key) + ">";
}
