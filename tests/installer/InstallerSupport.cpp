#include "tests/installer/InstallerSupport.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// Releases a COM interface at the end of its scope.
template <typename Interface> class ComRef {
public:
  ComRef() = default;
  ~ComRef() {
    if (pointer_ != nullptr) pointer_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  void** out() { return reinterpret_cast<void**>(&pointer_); }

private:
  Interface* pointer_ = nullptr;
};

class RegistryKey {
public:
  RegistryKey(HKEY root, const std::wstring& key, REGSAM access) {
    if (RegOpenKeyExW(root, key.c_str(), 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY get() const { return key_; }

private:
  HKEY key_ = nullptr;
};

const wchar_t* const uninstallList = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

} // namespace

std::filesystem::path shellFolder(int csidl) {
  wchar_t folder[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder);
  return folder;
}

ComSession::ComSession()
    : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ComSession::~ComSession() {
  if (initialized_) CoUninitialize();
}

std::optional<Shortcut> readShortcut(const std::filesystem::path& file) {
  ComRef<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.out()))) {
    return std::nullopt;
  }
  ComRef<IPersistFile> persisted;
  if (FAILED(link->QueryInterface(IID_IPersistFile, persisted.out())) ||
      FAILED(persisted->Load(file.c_str(), STGM_READ))) {
    return std::nullopt;
  }
  wchar_t text[MAX_PATH * 2] = {};
  Shortcut shortcut;
  if (SUCCEEDED(link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH))) shortcut.target = text;
  text[0] = L'\0';
  if (SUCCEEDED(link->GetArguments(text, MAX_PATH * 2))) shortcut.arguments = text;
  text[0] = L'\0';
  if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH * 2))) shortcut.workingFolder = text;
  text[0] = L'\0';
  if (SUCCEEDED(link->GetIconLocation(text, MAX_PATH * 2, &shortcut.iconIndex)))
    shortcut.iconFile = text;
  return shortcut;
}

std::optional<std::wstring> readRegistryString(HKEY root, const std::wstring& key,
                                               const std::wstring& name, REGSAM view) {
  RegistryKey opened(root, key, KEY_QUERY_VALUE | view);
  if (opened.get() == nullptr) return std::nullopt;
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, nullptr, &bytes) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(value.data()), &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(value.data());
}

std::optional<DWORD> readRegistryDword(HKEY root, const std::wstring& key,
                                       const std::wstring& name) {
  RegistryKey opened(root, key, KEY_QUERY_VALUE);
  DWORD type = 0;
  DWORD value = 0;
  DWORD bytes = sizeof value;
  if (opened.get() == nullptr ||
      RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return std::nullopt;
  }
  return value;
}

bool registryKeyExists(HKEY root, const std::wstring& key) {
  return RegistryKey(root, key, KEY_QUERY_VALUE).get() != nullptr;
}

int uninstallEntriesNamed(const std::wstring& part) {
  RegistryKey list(HKEY_CURRENT_USER, uninstallList, KEY_ENUMERATE_SUB_KEYS);
  if (list.get() == nullptr) return 0;
  int count = 0;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (RegEnumKeyExW(list.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const auto displayName = readRegistryString(
        HKEY_CURRENT_USER, std::wstring(uninstallList) + L"\\" + name, L"DisplayName");
    if (displayName && displayName->find(part) != std::wstring::npos) ++count;
  }
  return count;
}

SavedRegistryValue::SavedRegistryValue(HKEY root, std::wstring key, std::wstring name, REGSAM view)
    : root_(root), key_(std::move(key)), name_(std::move(name)), view_(view),
      saved_(readRegistryString(root_, key_, name_, view_)) {
  for (std::wstring path = key_;
       !path.empty() && RegistryKey(root_, path, KEY_QUERY_VALUE | view_).get() == nullptr;
       path = path.substr(0, std::min(path.size(), path.rfind(L'\\')))) {
    missingKeys_.push_back(path);
    if (path.find(L'\\') == std::wstring::npos) break;
  }
}

SavedRegistryValue::~SavedRegistryValue() {
  if (saved_) {
    set(*saved_);
  } else {
    remove();
  }
  for (const auto& created : missingKeys_) // each goes only when it has no subkeys
    RegDeleteKeyExW(root_, created.c_str(), view_, 0);
}

void SavedRegistryValue::set(const std::wstring& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root_, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view_, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void SavedRegistryValue::remove() {
  RegistryKey key(root_, key_, KEY_SET_VALUE | view_);
  if (key.get() != nullptr) RegDeleteValueW(key.get(), name_.c_str());
}

std::optional<DWORD> runToTheEnd(const std::wstring& commandLine, DWORD milliseconds) {
  std::wstring line = commandLine;
  STARTUPINFOW startupInfo = {};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startupInfo, &started)) {
    return std::nullopt;
  }
  CloseHandle(started.hThread);
  std::optional<DWORD> exitCode;
  if (WaitForSingleObject(started.hProcess, milliseconds) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(started.hProcess, &code);
    exitCode = code;
  } else {
    TerminateProcess(started.hProcess, 1);
  }
  CloseHandle(started.hProcess);
  return exitCode;
}
