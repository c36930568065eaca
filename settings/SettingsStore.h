#pragma once
// One named settings file of the add-on, held in memory as sections of key/value pairs. The file
// lives in "Aerolumen" under the roaming application-data folder; every setValue rewrites it
// from memory after keeping a ".bak" copy of the previous file.
#include <filesystem>
#include <istream>
#include <mutex>
#include <string>

#include "settings/IniFormat.h"

struct FileRead;

class SettingsStore {
public:
  // Creates the settings folder (with missing parents) and loads the store's file, if any. A file
  // that exists but cannot be read to the end, or that a rewrite in place left unfinished, loads
  // nothing and is remembered. Throws SettingsFileError when the folder cannot be created and
  // std::runtime_error when the application-data folder cannot be found.
  explicit SettingsStore(std::string storeName);
  // The same with `baseFolder` in place of the application-data folder.
  SettingsStore(std::string storeName, std::filesystem::path baseFolder);

  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // Deletes the settings file, then its backup; missing files are skipped. Throws
  // SettingsFileError when an existing file cannot be deleted.
  void deleteFiles();

  // Stores the value and rewrites the file before returning: after a backup of the file, in one
  // step, or, where the file cannot be replaced, in place once the backup holds the current
  // content. Input that would not read back unchanged throws std::invalid_argument and changes
  // nothing. Every failure of the file work throws SettingsFileError, which names the file, the
  // system error and what the file was left holding; the value then lives in memory only:
  // - unchanged: the file could not be read when the store was opened, could not be written, could
  //   not be backed up for a rewrite in place, or a rewrite in place failed part-way and the
  //   previous content was put back;
  // - written: the new content is in the file, only its flush to the disk failed;
  // - damaged: a rewrite in place failed part-way and the previous content could not be put back,
  //   or an earlier one left the file unfinished; the backup (path2) holds the previous content.
  void setValue(const std::string& section, const std::string& key, const std::string& value);

  const IniSections& sections() const noexcept { return sections_; }
  const std::filesystem::path& filePath() const noexcept { return filePath_; }
  const std::filesystem::path& backupPath() const noexcept { return backupPath_; }

private:
  void load(std::istream& in);
  void save();
  unsigned long backUp(const FileRead& current);

  IniSections sections_;
  std::filesystem::path filePath_;
  std::filesystem::path backupPath_;
  std::mutex mutex_;
  unsigned long loadError_ = 0; // the system error that kept the existing file from being read
  bool damaged_ = false;        // the file holds what is left of a rewrite that did not finish
};
