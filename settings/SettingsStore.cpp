#include "settings/SettingsStore.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <windows.h>

#include <shlobj.h>

#include "settings/FileContent.h"
#include "settings/IniCarriable.h"
#include "settings/SettingsFileError.h"
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
  std::error_code folderError;
  std::filesystem::create_directories(folder, folderError);
  if (folderError)
    throw SettingsFileError("the settings folder could not be created", folder, folderError);
  filePath_ = folder / widenAnsi(fileNamePrefix + storeName + fileNameSuffix);
  backupPath_ = filePath_;
  backupPath_ += L".bak";

  const FileRead read = readWholeFile(filePath_);
  loadError_ = read.error;
  if (!read.exists || read.error != 0) return; // an unreadable file is not loaded in part
  // What is left of a rewrite that did not finish is not loaded either: its backup holds the
  // settings, and writing what little is left would lose them for good.
  damaged_ = hasIncompleteWriteMark(read.bytes);
  if (damaged_) return;
  std::istringstream in(asReadInTextMode(read.bytes));
  load(in);
}

void SettingsStore::deleteFiles() {
  for (const std::filesystem::path* file : {&filePath_, &backupPath_}) {
    std::error_code error;
    std::filesystem::remove(*file, error);
    if (error) throw SettingsFileError("a settings file could not be deleted", *file, error);
  }
}

void SettingsStore::setValue(const std::string& section, const std::string& key,
                             const std::string& value) {
  requireIniCarriable(section, key, value);
  std::lock_guard<std::mutex> lock(mutex_);
  // Writing what was loaded of a file that could not be read would lose the rest of it.
  if (loadError_ != 0)
    throw SettingsFileError(
        "the settings file exists but could not be read, so it is left unchanged", filePath_,
        systemError(loadError_));
  if (damaged_)
    throw SettingsFileError(
        "the settings file was damaged by a write that did not finish and is left as it is; its "
        "backup holds the settings from before that write",
        filePath_, backupPath_, systemError(ERROR_FILE_CORRUPT), FileLeft::damaged);
  sections_[section][key] = value;
  save();
}

void SettingsStore::load(std::istream& in) {
  readIni(in, sections_);
}

void SettingsStore::save() {
  std::ostringstream text;
  writeIni(text, sections_);
  const std::string bytes = withCrLf(text.str());

  const FileRead current = readWholeFile(filePath_);
  const DWORD backupError = current.exists ? backUp(current) : DWORD{ERROR_FILE_NOT_FOUND};
  const DWORD replaceError = replaceInOneStep(filePath_, bytes);
  if (replaceError == 0) return;
  // With no file to rewrite, the refusal of the new file is the reason worth telling.
  if (!refusedForSharingOrAccess(replaceError) || !current.exists)
    throw SettingsFileError("the settings file could not be written and is left unchanged",
                            filePath_, systemError(replaceError));
  // A rewrite in place can fail part-way; it is only started when the backup holds the content
  // that it would overwrite.
  if (backupError != 0)
    throw SettingsFileError(
        "the settings file could not be replaced, and no backup of it could be made for writing it "
        "in place, so it is left unchanged",
        filePath_, backupPath_, systemError(backupError), FileLeft::unchanged);

  const InPlaceWrite write = rewriteInPlace(filePath_, bytes);
  if (write.error == 0) return;
  if (write.left == FileLeft::written)
    throw SettingsFileError("the settings file was written, but could not be flushed to the disk",
                            filePath_, systemError(write.error), FileLeft::written);
  if (write.left == FileLeft::unchanged)
    throw SettingsFileError("the settings file could not be written and is left unchanged",
                            filePath_, systemError(write.error));
  // Failed part-way: put back the content that the backup holds too.
  const InPlaceWrite restore = rewriteInPlace(filePath_, current.bytes);
  if (restore.left == FileLeft::written)
    throw SettingsFileError("writing the settings file failed part-way; its previous content was "
                            "put back",
                            filePath_, systemError(write.error), FileLeft::unchanged);
  throw SettingsFileError("writing the settings file failed part-way, and its previous content "
                          "could not be put back; the backup holds it",
                          filePath_, backupPath_, systemError(write.error), FileLeft::damaged);
}

// The backup replaces the previous one in one step once it is complete; where the folder or a
// holder refuses that, the existing backup is rewritten in place, which puts only the backup at
// risk while the settings file is still whole. Returns 0 once the backup holds `current`.
DWORD SettingsStore::backUp(const FileRead& current) {
  if (current.error != 0) return current.error;
  if (hasIncompleteWriteMark(current.bytes)) return ERROR_FILE_CORRUPT;
  const DWORD error = replaceInOneStep(backupPath_, current.bytes);
  if (!refusedForSharingOrAccess(error)) return error;
  const InPlaceWrite inPlace = rewriteInPlace(backupPath_, current.bytes);
  // Without the backup file the refusal of the new file is the reason.
  if (inPlace.error == ERROR_FILE_NOT_FOUND) return error;
  return inPlace.error;
}
