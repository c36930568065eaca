#include "settings/SettingsStore.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <windows.h>

#include <shlobj.h>

#include "settings/FileContent.h"
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

// What a text-mode stream on Windows reads: CR LF becomes LF and a Ctrl-Z ends the text.
std::string asReadInTextMode(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\x1A'; ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    text += bytes[i];
  }
  return text;
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

  const FileRead read = readWholeFile(filePath_);
  loadError_ = read.error;
  if (!read.exists || read.error != 0) return; // an unreadable file is not loaded in part
  std::istringstream in(asReadInTextMode(read.bytes));
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
  // Writing what was loaded of a file that could not be read would lose the rest of it.
  if (loadError_ != 0)
    throw std::filesystem::filesystem_error(
        "the settings file exists but could not be read, so it is left unchanged", filePath_,
        std::error_code(static_cast<int>(loadError_), std::system_category()));
  sections_[section][key] = value;
  save();
}

void SettingsStore::load(std::istream& in) {
  readIni(in, sections_);
}

void SettingsStore::save() {
  backUp();
  std::ostringstream text;
  writeIni(text, sections_);
  replaceFileContent(filePath_, withCrLf(text.str()));
}

// The backup replaces the previous one only once it is complete, so a file that cannot be copied
// (or that does not exist) leaves the previous backup in place. Failures are dropped: the write
// goes on without a new backup.
void SettingsStore::backUp() {
  const FileRead current = readWholeFile(filePath_);
  if (current.exists && current.error == 0) replaceInOneStep(backupPath_, current.bytes);
}
