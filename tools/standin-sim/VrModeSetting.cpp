#include "tools/standin-sim/VrModeSetting.h"

#include <windows.h>

#include <shlobj.h> // after windows.h, which it needs

#include <memory>
#include <type_traits>

namespace standin {
namespace {

struct HandleClose {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && isBlank(text[first]))
    ++first;
  while (last > first && isBlank(text[last - 1]))
    --last;
  return text.substr(first, last - first);
}

std::optional<std::string> readWholeFile(const std::wstring& path) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return std::nullopt;
  }
  std::string content;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
    content.append(buffer, read);
  return content;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(size_t(length > 0 ? length : 0), '\0');
  if (length > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), length, nullptr,
                        nullptr);
  return result;
}

} // namespace

std::optional<std::string> findIniValue(const std::string& text, const std::string& section,
                                        const std::string& key) {
  std::optional<std::string> found;
  std::string current;
  size_t lineStart = 0;
  while (lineStart <= text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    const std::string line = trimmed(text.substr(lineStart, lineEnd - lineStart));
    lineStart = lineEnd + 1;
    if (line.size() < 4 || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() == ']') current = line.substr(1, line.size() - 2);
      continue;
    }
    const size_t equals = line.find('=');
    if (current.empty() || equals == std::string::npos || equals == 0) continue;
    if (current == section && trimmed(line.substr(0, equals)) == key)
      found = trimmed(line.substr(equals + 1));
  }
  return found;
}

std::wstring defaultSettingsPath() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
    return {};
  return std::wstring(folder) + L"\\Aerolumen\\settings_pro_Aerolumen P3Dv4_settings.ini";
}

VrModeReport readVrMode(const std::wstring& path) {
  VrModeReport report;
  report.path = path;
  if (path.empty()) return report;
  const std::optional<std::string> content = readWholeFile(path);
  if (!content) return report;
  report.fileFound = true;
  report.value = findIniValue(*content, "Loading", "ForceVRMode");
  report.on = report.value == std::string("1");
  return report;
}

std::string VrModeReport::describe() const {
  std::string text = std::string("VR mode ") + (on ? "ON" : "off") + ": ";
  if (path.empty()) return text + "the application-data folder could not be found";
  if (!fileFound) return text + "no settings file at " + narrow(path);
  if (!value) return text + "no ForceVRMode entry in section [Loading] of " + narrow(path);
  return text + "[Loading] ForceVRMode = " + *value + " in " + narrow(path);
}

} // namespace standin
