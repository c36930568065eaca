#include "tools/sample-client/PrivateConfig.h"

#include <vector>

namespace sample {
namespace {

std::string narrow(const std::wstring& text) {
  std::string result;
  for (const wchar_t c : text)
    result += c < 128 ? char(c) : '?';
  return result;
}

std::wstring currentDirectory() {
  const DWORD length = GetCurrentDirectoryW(0, nullptr);
  std::vector<wchar_t> buffer(length + 1);
  GetCurrentDirectoryW(DWORD(buffer.size()), buffer.data());
  return buffer.data();
}

} // namespace

std::string publishedPort(bool ipv6) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Lockheed Martin\\Prepar3D v4", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return {};
  wchar_t value[32] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  const LSTATUS status =
      RegQueryValueExW(key, ipv6 ? L"SimConnect_Port_IPv6" : L"SimConnect_Port_IPv4", nullptr,
                       &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  return narrow(value);
}

PrivateConfig::PrivateConfig(bool ipv6, DWORD configIndex, const std::string& port) {
  previousDirectory_ = currentDirectory();
  wchar_t temporary[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH + 1, temporary) == 0) return;
  folder_ = std::wstring(temporary) + L"sample-client-" + std::to_wstring(GetCurrentProcessId());
  folderMade_ = CreateDirectoryW(folder_.c_str(), nullptr) != 0;
  if (!folderMade_ || !SetCurrentDirectoryW(folder_.c_str())) return;
  file_ = folder_ + L"\\SimConnect.cfg";
  content_ = "[SimConnect." + std::to_string(configIndex) + "]\r\n" +
             "Protocol=" + (ipv6 ? "IPv6" : "IPv4") + "\r\n" +
             "Address=" + (ipv6 ? "::1" : "127.0.0.1") + "\r\n" +
             (port.empty() ? "" : "Port=" + port + "\r\n");
  const HANDLE file = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  fileMade_ = true;
  DWORD written = 0;
  const BOOL wrote = WriteFile(file, content_.data(), DWORD(content_.size()), &written, nullptr);
  CloseHandle(file);
  ready_ = wrote && written == content_.size();
}

PrivateConfig::~PrivateConfig() {
  SetCurrentDirectoryW(previousDirectory_.c_str());
  if (fileMade_) DeleteFileW(file_.c_str());
  if (folderMade_) RemoveDirectoryW(folder_.c_str());
}

std::string PrivateConfig::describe() const {
  std::string text = narrow(file_.empty() ? folder_ : file_) + ":";
  for (const char c : content_)
    if (c == '\n')
      text += " |";
    else if (c != '\r')
      text += c;
  return text;
}

} // namespace sample
