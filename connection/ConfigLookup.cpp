#include "connection/ConfigLookup.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <memory>
#include <type_traits>
#include <vector>

#include "connection/ConfigRules.h"
#include "connection/SimulatorInterface.h"
#include "diagnostics/Trace.h"

namespace {

constexpr wchar_t kConfigFileName[] = L"SimConnect.cfg";
constexpr DWORD kPathCapacity = 260;
// Only whether a section has any line matters; its first characters are enough to tell.
constexpr DWORD kSectionProbeLength = 60;
constexpr DWORD kValueBufferLength = 2048;
// Published ports are short decimal strings: 9 characters and the terminator at most.
constexpr DWORD kRegistryPortBytes = 20;

// The two known folders, declared here so that no GUID library is needed.
constexpr GUID kFolderPublicDocuments = {
    0xED4824AF, 0xDCE4, 0x45A8, {0x81, 0xE2, 0xFC, 0x79, 0x65, 0x08, 0x36, 0x34}};
constexpr GUID kFolderDocuments = {
    0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};

struct TaskMemoryFree {
  void operator()(wchar_t* text) const noexcept { CoTaskMemFree(text); }
};
using ShellString = std::unique_ptr<wchar_t, TaskMemoryFree>;

struct RegistryKeyClose {
  void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using RegistryKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegistryKeyClose>;

using ConfigPath = std::array<wchar_t, kPathCapacity>;

bool joinConfigFile(const wchar_t* folder, ConfigPath& path) {
  return PathCombineW(path.data(), folder, kConfigFileName) != nullptr;
}

std::wstring knownFolder(const GUID& folderId) {
  PWSTR folder = nullptr;
  const HRESULT result = SHGetKnownFolderPath(folderId, 0, nullptr, &folder);
  const ShellString owner(folder); // the caller frees the result, whatever the call returned
  return SUCCEEDED(result) && folder != nullptr ? std::wstring(folder) : std::wstring();
}

bool knownFolderConfigFile(const GUID& folderId, ConfigPath& path) {
  const std::wstring folder = knownFolder(folderId);
  return !folder.empty() && joinConfigFile(folder.c_str(), path);
}

bool currentDirectoryConfigFile(ConfigPath& path) {
  std::array<wchar_t, kPathCapacity> folder{};
  // The length without terminator when the folder fits, the needed size when it does not.
  const DWORD length = GetCurrentDirectoryW(kPathCapacity, folder.data());
  return length != 0 && length < kPathCapacity && joinConfigFile(folder.data(), path);
}

// Hands the configuration file of each search location, in order, to `visit`; a location whose
// folder or path can't be had is skipped. Stops early when `visit` returns true.
template <typename Visit> void forEachConfigFile(Visit&& visit) {
  ConfigPath path{};
  if (knownFolderConfigFile(kFolderPublicDocuments, path) && visit(path.data())) {
    return;
  }
  if (knownFolderConfigFile(kFolderDocuments, path) && visit(path.data())) {
    return;
  }
  if (currentDirectoryConfigFile(path)) {
    visit(path.data());
  }
}

// Applies the indexed section of one file; with `attribution`, also notes where each setting
// came from and traces what the file held.
void applyConfigFile(const wchar_t* filePath, uint32_t configIndex, ConnectionConfig& config,
                     trace::ConfigAttribution* attribution) {
  if (filePath == nullptr) {
    return; // the profile functions would read win.ini instead
  }
  const std::wstring section = config::sectionName(configIndex);
  std::vector<wchar_t> buffer(kValueBufferLength);
  config::SectionValues values;
  for (const config::ConfigKey key : config::kConfigKeys) {
    const DWORD length = GetPrivateProfileStringW(section.c_str(), config::keyName(key), L"",
                                                  buffer.data(), kValueBufferLength, filePath);
    values[static_cast<size_t>(key)].assign(buffer.data(),
                                            std::min<DWORD>(length, kValueBufferLength - 1));
  }
  const uint32_t maxReceiveSizeBefore = config.maxReceiveSize;
  // A section whose Protocol is IPv4 or IPv6 and that has no Port takes the port the simulator
  // publishes for that family (empty when it publishes none), so that naming the protocol alone
  // reaches a local simulator. A Port in the section is applied after Protocol and wins.
  config::applySection(values, config, readRegistryPort);
  if (attribution != nullptr) {
    attribution->section(filePath, section, values, maxReceiveSizeBefore, config);
  }
}

} // namespace

std::wstring configSectionName(uint32_t configIndex) {
  return config::sectionName(configIndex);
}

uint32_t findConfigSection(uint32_t configIndex) {
  if (!config::sectionRequired(configIndex)) {
    return kConfigSectionFound;
  }
  const std::wstring section = configSectionName(configIndex);
  bool found = false;
  forEachConfigFile([&](const wchar_t* path) {
    std::array<wchar_t, kSectionProbeLength> lines{};
    // A section without lines, and a file that can't be read, give 0 characters.
    found =
        GetPrivateProfileSectionW(section.c_str(), lines.data(), kSectionProbeLength, path) >= 1;
    trace::configProbe(path, section, found);
    return found;
  });
  return found ? kConfigSectionFound : kConfigSectionMissing;
}

void loadConnectionConfig(uint32_t configIndex, ConnectionConfig& config,
                          trace::ConfigAttribution* attribution) {
  config = ConnectionConfig{};
  if (config::readsFiles(configIndex)) {
    // Every location is read: later files override the keys they give.
    forEachConfigFile([&](const wchar_t* path) {
      applyConfigFile(path, configIndex, config, attribution);
      return false;
    });
  }
}

void readConfigSection(const wchar_t* filePath, uint32_t configIndex, ConnectionConfig& config) {
  applyConfigFile(filePath, configIndex, config, nullptr);
}

std::wstring userDocumentsFolder() {
  return knownFolder(kFolderDocuments);
}

bool readRegistryPort(bool ipv6, std::wstring& port) {
  port.clear();
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, sim::kPortsRegistryKey, 0, KEY_READ, &opened) !=
      ERROR_SUCCESS) {
    return false;
  }
  const RegistryKey key(opened);
  // The port is the characters actually returned, up to the first terminator among them. Data
  // that fills all 20 bytes without a terminator (a string stored without one, or a value of
  // another type) gives its 10 characters and nothing beyond them; an odd last byte is dropped.
  std::array<wchar_t, kRegistryPortBytes / sizeof(wchar_t)> data{};
  DWORD size = kRegistryPortBytes;
  if (RegQueryValueExW(key.get(), ipv6 ? sim::kPortValueIPv6 : sim::kPortValueIPv4, nullptr,
                       nullptr, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS) {
    return false;
  }
  const size_t returned = std::min<DWORD>(size, kRegistryPortBytes) / sizeof(wchar_t);
  port.assign(data.data(), std::find(data.data(), data.data() + returned, L'\0'));
  return true;
}
