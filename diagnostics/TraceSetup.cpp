#include "diagnostics/TraceSetup.h"

#include <windows.h>

#include <shlwapi.h>

#include <array>

#include "connection/ConfigLookup.h"
#include "connection/UniqueHandle.h"

namespace tracecfg {

namespace {

std::wstring environment(const wchar_t* name) {
  std::array<wchar_t, 1024> value{};
  const DWORD length = GetEnvironmentVariableW(name, value.data(), DWORD(value.size()));
  if (length == 0 || length >= value.size()) return {};
  return std::wstring(value.data(), length);
}

// The file's bytes (at most kSettingsFileMaxBytes); false when it can't be read.
bool readSmallFile(const std::wstring& path, std::string& bytes) {
  const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  bytes.resize(kSettingsFileMaxBytes);
  DWORD got = 0;
  if (!ReadFile(file.get(), bytes.data(), DWORD(bytes.size()), &got, nullptr)) return false;
  bytes.resize(got);
  return true;
}

} // namespace

Found findSettings() {
  Found found;
  if (std::wstring path = environment(kTraceVariable); !path.empty()) {
    found.source = Source::Environment;
    found.path = std::move(path);
    found.levels = interpret(environment(kLevelVariable), environment(kMaxSizeVariable),
                             "WIREBRIDGE_TRACE_LEVEL", "WIREBRIDGE_TRACE_MAX_KB");
    return found;
  }
  const std::wstring documents = userDocumentsFolder();
  if (documents.empty()) return found;
  std::array<wchar_t, MAX_PATH> file{};
  if (PathCombineW(file.data(), documents.c_str(), kSettingsFile) == nullptr) return found;
  found.settingsFile = file.data();
  std::string bytes;
  found.settingsFileRead = readSmallFile(found.settingsFile, bytes);
  if (!found.settingsFileRead) return found;
  const std::wstring text = decodeSettingsText(bytes);
  const std::wstring path = iniValue(text, kSettingsSection, L"File").value_or(L"");
  if (path.empty()) return found;
  found.source = Source::File;
  found.path = path;
  if (PathIsRelativeW(path.c_str())) {
    std::array<wchar_t, MAX_PATH> joined{};
    if (PathCombineW(joined.data(), documents.c_str(), path.c_str()) == nullptr) {
      found.path.clear();
      return found;
    }
    found.path = joined.data();
  }
  found.levels = interpret(iniValue(text, kSettingsSection, L"Level").value_or(L""),
                           iniValue(text, kSettingsSection, L"MaxSizeKB").value_or(L""));
  return found;
}

} // namespace tracecfg
