#pragma once
// Looks at the add-on's settings file the way the add-on's component inside the simulator would:
// read-only, without creating anything.
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

struct SettingsSnapshot {
  std::filesystem::path path;
  bool exists = false;
  FILETIME lastWrite{}; // zero when the file does not exist
  std::string content;  // the bytes of the file as they are
};

// The file of the store "settings" in the roaming application-data folder.
std::filesystem::path settingsFilePath();

SettingsSnapshot takeSettingsSnapshot(const std::filesystem::path& path);

// The value of `key` in section `section` of INI text ("[section]" headers, "key = value"
// entries, blanks around both trimmed); empty when absent.
std::optional<std::string> findSetting(const std::string& content, const std::string& section,
                                       const std::string& key);
