#pragma once
// Keeps what a test may wipe under HKCU\SOFTWARE\Lockheed Martin\Prepar3D v4 (the simulator's
// published ports) and its parent key: every value of both keys is read when the object is made
// and written back when it goes, so that a test run on a machine with the simulator installed
// leaves its registry as it found it. Keys that did not exist are left to the test's own clean-up.
#include <windows.h>

#include <string>
#include <vector>

class SavedSimulatorKeys {
public:
  SavedSimulatorKeys() {
    for (const wchar_t* path : {kVendorKey, kPortsKey})
      saved_.push_back(read(path));
  }
  ~SavedSimulatorKeys() {
    for (const SavedKey& key : saved_)
      write(key);
  }
  SavedSimulatorKeys(const SavedSimulatorKeys&) = delete;
  SavedSimulatorKeys& operator=(const SavedSimulatorKeys&) = delete;

private:
  static constexpr const wchar_t* kVendorKey = L"SOFTWARE\\Lockheed Martin";
  static constexpr const wchar_t* kPortsKey = L"SOFTWARE\\Lockheed Martin\\Prepar3D v4";

  struct SavedValue {
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
  };
  struct SavedKey {
    std::wstring path;
    bool existed = false;
    std::vector<SavedValue> values;
  };

  static SavedKey read(const wchar_t* path) {
    SavedKey saved{path, false, {}};
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return saved;
    saved.existed = true;
    DWORD longestName = 0;
    DWORD longestData = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     &longestName, &longestData, nullptr, nullptr);
    for (DWORD index = 0;; ++index) {
      std::wstring name(longestName + 1, L'\0');
      SavedValue value;
      value.data.resize(longestData);
      DWORD nameLength = DWORD(name.size());
      DWORD dataSize = DWORD(value.data.size());
      if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &value.type,
                        value.data.data(), &dataSize) != ERROR_SUCCESS)
        break;
      value.name = name.substr(0, nameLength);
      value.data.resize(dataSize);
      saved.values.push_back(std::move(value));
    }
    RegCloseKey(key);
    return saved;
  }

  static void write(const SavedKey& saved) {
    if (!saved.existed) return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, saved.path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
      return;
    for (const SavedValue& value : saved.values)
      RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                     DWORD(value.data.size()));
    RegCloseKey(key);
  }

  std::vector<SavedKey> saved_;
};
