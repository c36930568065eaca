#include "tools/standin-p3d/StartupRecord.h"

#include "tools/standin-p3d/SettingsProbe.h"

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                      nullptr, nullptr);
  return out;
}

uint64_t ticks(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::filesystem::path ownPath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::filesystem::path reportPath() {
  const DWORD length = GetEnvironmentVariableW(L"AEROLUMEN_STANDIN_REPORT", nullptr, 0);
  if (length > 1) {
    std::wstring value(length, L'\0');
    value.resize(GetEnvironmentVariableW(L"AEROLUMEN_STANDIN_REPORT", value.data(), length));
    return value;
  }
  return ownPath().parent_path() / L"standin-report.txt";
}

std::filesystem::path currentDirectory() {
  std::wstring buffer(GetCurrentDirectoryW(0, nullptr), L'\0');
  buffer.resize(GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data()));
  return buffer;
}

} // namespace

void recordStartup() {
  // Taken before anything else, so that they show the state at the very start.
  FILETIME firstRun;
  GetSystemTimeAsFileTime(&firstRun);
  const SettingsSnapshot settings = takeSettingsSnapshot(settingsFilePath());

  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto forceVrMode = findSetting(settings.content, "Loading", "ForceVRMode");

  const std::filesystem::path target = reportPath();
  std::filesystem::path partial = target;
  partial += L".partial";
  {
    std::ofstream report(partial, std::ios::binary | std::ios::trunc);
    report << "running=yes\n"
           << "processId=" << GetCurrentProcessId() << "\n"
           << "commandLine=" << utf8(GetCommandLineW()) << "\n"
           << "modulePath=" << utf8(ownPath().wstring()) << "\n"
           << "currentDirectory=" << utf8(currentDirectory().wstring()) << "\n"
           << "processCreated=" << ticks(created) << "\n"
           << "firstRun=" << ticks(firstRun) << "\n"
           << "settingsPath=" << utf8(settings.path.wstring()) << "\n"
           << "settingsFile=" << (settings.exists ? "present" : "missing") << "\n"
           << "settingsWritten=" << ticks(settings.lastWrite) << "\n"
           << "forceVrModeFound=" << (forceVrMode ? "yes" : "no") << "\n"
           << "forceVrModeValue=" << forceVrMode.value_or("") << "\n"
           << "settingsContent:\n"
           << settings.content;
  }
  std::error_code ignored;
  std::filesystem::rename(partial, target, ignored);
}
