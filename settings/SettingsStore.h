#pragma once
// One named settings file of the add-on, held in memory as sections of key/value pairs. The file
// lives in "Aerolumen" under the roaming application-data folder; every setValue rewrites it
// from memory after keeping a ".bak" copy of the previous file.
#include <filesystem>
#include <istream>
#include <mutex>
#include <string>

#include "settings/IniFormat.h"

class SettingsStore {
public:
  // Creates the settings folder (with missing parents) and loads the store's file, if any. A file
  // that exists but cannot be read to the end loads nothing and is remembered as unreadable.
  // Throws std::filesystem::filesystem_error when the folder cannot be created and
  // std::runtime_error when the application-data folder cannot be found.
  explicit SettingsStore(std::string storeName);
  // The same with `baseFolder` in place of the application-data folder.
  SettingsStore(std::string storeName, std::filesystem::path baseFolder);

  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // Deletes the settings file, then its backup; missing files are skipped. Throws
  // std::filesystem::filesystem_error when an existing file cannot be deleted.
  void deleteFiles();

  // Stores the value and rewrites the file before returning. Input that would not read back
  // unchanged throws std::invalid_argument and changes nothing. A file that exists but could not
  // be read when the store was opened is never written: std::filesystem::filesystem_error, and
  // nothing changes. A file that cannot be written keeps its old content and
  // std::filesystem::filesystem_error names it and the system error; the value then lives in
  // memory only.
  void setValue(const std::string& section, const std::string& key, const std::string& value);

  const IniSections& sections() const noexcept { return sections_; }
  const std::filesystem::path& filePath() const noexcept { return filePath_; }
  const std::filesystem::path& backupPath() const noexcept { return backupPath_; }

private:
  void load(std::istream& in);
  void save();
  void backUp();

  IniSections sections_;
  std::filesystem::path filePath_;
  std::filesystem::path backupPath_;
  std::mutex mutex_;
  unsigned long loadError_ = 0; // the system error that kept the existing file from being read
};
