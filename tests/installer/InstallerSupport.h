#pragma once
// Helpers for running the setup under test: shortcuts read back as the shell reads them, registry
// values saved and put back, the per-user folders the setup writes to, and programs run to the end.
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A per-user shell folder (CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY, CSIDL_LOCAL_APPDATA, ...).
std::filesystem::path shellFolder(int csidl);

// COM for the calling thread, for as long as the object lives.
class ComSession {
public:
  ComSession();
  ~ComSession();
  ComSession(const ComSession&) = delete;
  ComSession& operator=(const ComSession&) = delete;

private:
  bool initialized_;
};

struct Shortcut {
  std::wstring target;
  std::wstring arguments;
  std::wstring workingFolder;
  std::wstring iconFile;
  int iconIndex = -1;
};

// The shortcut as IShellLinkW gives it; nothing when it cannot be loaded.
std::optional<Shortcut> readShortcut(const std::filesystem::path& file);

std::optional<std::wstring> readRegistryString(HKEY root, const std::wstring& key,
                                               const std::wstring& name, REGSAM view = 0);
std::optional<DWORD> readRegistryDword(HKEY root, const std::wstring& key,
                                       const std::wstring& name);
bool registryKeyExists(HKEY root, const std::wstring& key);
// Subkeys of HKCU's uninstall list whose DisplayName contains `part`.
int uninstallEntriesNamed(const std::wstring& part);

// A registry string value that a test sets or removes; what was there is put back at the end,
// and keys that setting it created are removed again.
class SavedRegistryValue {
public:
  SavedRegistryValue(HKEY root, std::wstring key, std::wstring name, REGSAM view);
  ~SavedRegistryValue();
  SavedRegistryValue(const SavedRegistryValue&) = delete;
  SavedRegistryValue& operator=(const SavedRegistryValue&) = delete;
  void set(const std::wstring& value);
  void remove();

private:
  HKEY root_;
  std::wstring key_;
  std::wstring name_;
  REGSAM view_;
  std::vector<std::wstring> missingKeys_; // the key and its missing parents, deepest first
  std::optional<std::wstring> saved_;
};

// Runs a command line to its end; gives its exit code, or nothing when it could not be started
// or did not end within `milliseconds` (it is then killed).
std::optional<DWORD> runToTheEnd(const std::wstring& commandLine, DWORD milliseconds);

// Polls `condition` every 50 ms until it holds or `milliseconds` have passed.
template <typename Condition> bool holdsWithin(DWORD milliseconds, Condition condition) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
}
