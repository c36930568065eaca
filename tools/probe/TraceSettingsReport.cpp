#include "tools/probe/TraceSettingsReport.h"

#include <windows.h>

#include <vector>

#include "diagnostics/TraceLine.h"
#include "diagnostics/TraceSetup.h"
#include "tools/probe/CodeWords.h"
#include "tools/probe/ProbeReport.h"

namespace probe {

namespace {

bool isFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring fullPath(const std::wstring& path) {
  std::vector<wchar_t> full(32768);
  const DWORD length = GetFullPathNameW(path.c_str(), DWORD(full.size()), full.data(), nullptr);
  return length == 0 || length >= full.size() ? path : std::wstring(full.data(), length);
}

// Tries the file the way the library opens it, leaving nothing behind.
void checkWritable(const std::wstring& path, TraceSettingsReport& report) {
  const std::wstring full = fullPath(path);
  report.path = tracefmt::utf8(full);
  if (isFolder(full)) {
    report.cannot = "a folder has the file's name";
    return;
  }
  const size_t slash = full.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : full.substr(0, slash);
  if (!folder.empty() && folder.back() != L':' && !isFolder(folder)) {
    report.cannot = "the folder " + tracefmt::utf8(folder) + " does not exist";
    return;
  }
  const bool exists = GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES;
  HANDLE file = CreateFileW(
      full.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      exists ? OPEN_EXISTING : CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL | (exists ? 0 : FILE_FLAG_DELETE_ON_CLOSE), nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    report.error = error;
    report.cannot = error == ERROR_ACCESS_DENIED
                        ? "access denied"
                        : "it cannot be opened for writing (error " + codeWithWords(error) + ")";
    return;
  }
  CloseHandle(file);
  report.writable = true;
}

std::string problemList(const std::vector<tracecfg::Problem>& problems) {
  std::string out;
  for (const tracecfg::Problem& problem : problems)
    out += "  " + problem.key + "=" + problem.value + ": " + problem.text + "\n";
  return out;
}

} // namespace

int examineTraceSettings(TraceSettingsReport& report) {
  const tracecfg::Found found = tracecfg::findSettings();
  report.source = found.source == tracecfg::Source::Environment ? "environment"
                  : found.source == tracecfg::Source::File      ? "file"
                                                                : "none";
  report.settingsFile = tracefmt::utf8(found.settingsFile);
  report.settingsFileRead = found.settingsFileRead;
  report.level = found.path.empty() ? 0 : found.levels.level;
  report.maxKiB = found.levels.maxBytes / 1024;
  report.problems = found.levels.problems;
  const std::string from = found.source == tracecfg::Source::Environment
                               ? "the environment variable WIREBRIDGE_TRACE"
                               : report.settingsFile + ", section [Trace]";
  if (found.path.empty()) {
    report.verdict =
        "The trace is off: WIREBRIDGE_TRACE is not set and " +
        (report.settingsFile.empty() ? std::string("there is no Documents folder")
         : report.settingsFileRead   ? report.settingsFile + " names no File in section [Trace]"
                                     : "there is no " + report.settingsFile) +
        ".";
    report.advice.push_back("To turn it on, set WIREBRIDGE_TRACE to a file path, or put "
                            "[Trace] with File=wirebridge-trace.log in " +
                            (report.settingsFile.empty() ? std::string("Wirebridge.cfg in "
                                                                       "Documents")
                                                         : report.settingsFile) +
                            ".");
    return 0;
  }
  checkWritable(found.path, report);
  if (!report.writable) {
    report.verdict = "The trace is set up in " + from + " but cannot write " + report.path + ": " +
                     report.cannot + ".";
    report.advice.push_back("Name a file in a folder that exists and that you may write to, in " +
                            from + ".");
    for (const tracecfg::Problem& problem : report.problems)
      report.advice.push_back("Fix " + problem.key + ": " + problem.text + ".");
    return 1;
  }
  if (report.level == 0) {
    report.verdict = "The trace is off: " + from + " names " + report.path + " with level 0.";
  } else {
    report.verdict = "The trace is on (level " + std::to_string(report.level) + ", up to " +
                     std::to_string(report.maxKiB) + " KB) from " + from + " and writes " +
                     report.path + ".";
  }
  for (const tracecfg::Problem& problem : report.problems)
    report.advice.push_back("Fix " + problem.key + " in " + from + ": " + problem.text + ".");
  return 0;
}

std::string renderTraceSettingsText(const TraceSettingsReport& report) {
  std::string out = "Wirebridge trace settings\n";
  out += "  Environment variable WIREBRIDGE_TRACE: " +
         std::string(report.source == "environment" ? "set (it wins)" : "not set") + "\n";
  if (!report.settingsFile.empty()) {
    out += "  Settings file: " + report.settingsFile +
           (report.settingsFileRead ? "" : " (no such file)") + "\n";
  }
  if (!report.path.empty()) {
    out += "  Trace file: " + report.path + "\n";
    out += "  Level " + std::to_string(report.level) + ", size limit " +
           std::to_string(report.maxKiB) + " KB\n";
  }
  if (!report.problems.empty())
    out += "\nValues not taken as written:\n" + problemList(report.problems);
  return out + renderVerdict(report.verdict, report.advice);
}

std::string renderTraceSettingsJson(const TraceSettingsReport& report) {
  std::string out = "{\"traceSettings\":{\"source\":" + jsonString(report.source);
  out += ",\"settingsFile\":" +
         (report.settingsFile.empty() ? std::string("null") : jsonString(report.settingsFile));
  out += ",\"file\":" + (report.path.empty() ? std::string("null") : jsonString(report.path));
  out += ",\"on\":" + std::string(report.level != 0 && report.writable ? "true" : "false");
  out += ",\"level\":" + std::to_string(report.level);
  out += ",\"maxSizeKB\":" + std::to_string(report.maxKiB);
  out += ",\"writable\":" + std::string(report.writable ? "true" : "false");
  out += ",\"cannot\":" + (report.cannot.empty() ? std::string("null") : jsonString(report.cannot));
  out += ",\"problems\":[";
  for (size_t i = 0; i < report.problems.size(); ++i) {
    const tracecfg::Problem& problem = report.problems[i];
    out += std::string(i != 0 ? "," : "") + "{\"key\":" + jsonString(problem.key) +
           ",\"value\":" + jsonString(problem.value) + ",\"text\":" + jsonString(problem.text) +
           "}";
  }
  out += "]},\"verdict\":" + jsonString(report.verdict) + ",\"advice\":[";
  for (size_t i = 0; i < report.advice.size(); ++i)
    out += std::string(i != 0 ? "," : "") + jsonString(report.advice[i]);
  out += "],\"error\":null}\n";
  return out;
}

} // namespace probe
