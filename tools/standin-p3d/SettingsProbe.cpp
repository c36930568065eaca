#include "tools/standin-p3d/SettingsProbe.h"

#include <shlobj.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace

std::filesystem::path settingsFilePath() {
  wchar_t appData[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData);
  return std::filesystem::path(appData) / L"Aerolumen" /
         L"settings_pro_Aerolumen P3Dv4_settings.ini";
}

SettingsSnapshot takeSettingsSnapshot(const std::filesystem::path& path) {
  SettingsSnapshot snapshot;
  snapshot.path = path;
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) return snapshot;
  snapshot.exists = true;
  snapshot.lastWrite = attributes.ftLastWriteTime;
  std::ifstream file(path, std::ios::binary);
  snapshot.content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return snapshot;
}

std::optional<std::string> findSetting(const std::string& content, const std::string& section,
                                       const std::string& key) {
  std::istringstream lines(content);
  std::string line;
  std::string currentSection;
  std::optional<std::string> found;
  while (std::getline(lines, line)) {
    line = trimmed(line);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      currentSection = line.substr(1, line.size() - 2);
      continue;
    }
    const auto equals = line.find('=');
    if (currentSection != section || equals == std::string::npos || equals == 0) continue;
    if (trimmed(line.substr(0, equals)) == key) found = trimmed(line.substr(equals + 1));
  }
  return found;
}
