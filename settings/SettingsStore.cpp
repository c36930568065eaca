#include "settings/SettingsStore.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <windows.h>

#include <shlobj.h>

#include "settings/IniCarriable.h"
#include "settings/TextFileReplace.h"

namespace {

const wchar_t* const settingsFolderName = L"Aerolumen";
const char* const fileNamePrefix = "settings_pro_Aerolumen P3Dv4_";
const char* const fileNameSuffix = ".ini";

std::filesystem::path roamingAppDataFolder() {
  wchar_t folder[MAX_PATH] = {};
  const HRESULT result =
      SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
  if (FAILED(result)) {
    char message[96];
    std::snprintf(message, sizeof message,
                  "the roaming application-data folder cannot be found (HRESULT 0x%08lX)",
                  static_cast<unsigned long>(result));
    throw std::runtime_error(message);
  }
  return folder;
}

// Store names are narrow strings in the ANSI code page, like every narrow Win32 argument; the
// path itself stays wide so that user folders outside that code page still work.
std::wstring widenAnsi(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (length <= 0)
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "store name cannot be converted");
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
  return wide;
}

} // namespace

SettingsStore::SettingsStore(std::string storeName)
    : SettingsStore(std::move(storeName), roamingAppDataFolder()) {}

SettingsStore::SettingsStore(std::string storeName, std::filesystem::path baseFolder) {
  const std::filesystem::path folder = baseFolder / settingsFolderName;
  std::filesystem::create_directories(folder);
  filePath_ = folder / widenAnsi(fileNamePrefix + storeName + fileNameSuffix);
  backupPath_ = filePath_;
  backupPath_ += L".bak";

  std::ifstream in(filePath_); // text mode: CR LF arrives as LF
  load(in);
}

void SettingsStore::deleteFiles() {
  std::filesystem::remove(filePath_);
  std::filesystem::remove(backupPath_);
}

void SettingsStore::setValue(const std::string& section, const std::string& key,
                             const std::string& value) {
  requireIniCarriable(section, key, value);
  std::lock_guard<std::mutex> lock(mutex_);
  sections_[section][key] = value;
  save();
}

void SettingsStore::load(std::istream& in) {
  readIni(in, sections_);
}

void SettingsStore::save() {
  try {
    std::filesystem::remove(backupPath_);
    std::filesystem::copy(filePath_, backupPath_);
  } catch (const std::exception&) {
    // No backup this time (usually because there is no settings file yet); the write goes on.
  }

  std::ostringstream text;
  writeIni(text, sections_);
  // A file that cannot be replaced keeps its old content and the value stays in memory only;
  // the launcher goes on either way, so the failure is not reported.
  replaceFileWithText(filePath_, text.str());
}
