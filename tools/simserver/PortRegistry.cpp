#include "tools/simserver/PortRegistry.h"

#include "connection/SimulatorInterface.h"

namespace simserver {
namespace {

// Creates (or opens) one key below HKCU; tells whether it was new.
UniqueRegKey createKey(const std::wstring& path, bool& created) {
  UniqueRegKey key;
  DWORD disposition = 0;
  const LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                         KEY_READ | KEY_WRITE, nullptr, key.out(), &disposition);
  if (status != ERROR_SUCCESS)
    throwSystemError("creating registry key HKCU\\" + narrow(path) + " failed",
                     static_cast<DWORD>(status));
  created = disposition == REG_CREATED_NEW_KEY;
  return key;
}

bool keyIsEmpty(const std::wstring& path) {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS)
    return false;
  DWORD subKeys = 0;
  DWORD values = 0;
  if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  return subKeys == 0 && values == 0;
}

// The value as it stands before the server writes its own, whatever its type and size.
void rememberValue(HKEY key, const wchar_t* name, bool& existed, DWORD& type,
                   std::vector<BYTE>& data) {
  existed = false;
  for (;;) {
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS status =
        RegQueryValueExW(key, name, nullptr, &type, data.empty() ? nullptr : data.data(), &size);
    if (status == ERROR_FILE_NOT_FOUND) return;
    if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && data.size() < size)) {
      data.resize(size);
      continue;
    }
    if (status != ERROR_SUCCESS)
      throwSystemError("reading registry value " + narrow(name) + " failed",
                       static_cast<DWORD>(status));
    data.resize(size);
    existed = true;
    return;
  }
}

} // namespace

PortPublication::PortPublication(std::optional<uint16_t> ipv4Port,
                                 std::optional<uint16_t> ipv6Port) {
  const std::wstring fullPath = sim::kPortsRegistryKey;
  try {
    // Each level separately, to know which ones this server brought into being.
    UniqueRegKey key;
    for (size_t end = fullPath.find(L'\\');; end = fullPath.find(L'\\', end + 1)) {
      const std::wstring path = fullPath.substr(0, end);
      bool created = false;
      UniqueRegKey level = createKey(path, created);
      if (created) createdKeys_.push_back(path);
      if (end == std::wstring::npos) {
        key = std::move(level);
        break;
      }
    }
    auto publish = [&](const wchar_t* name, uint16_t port) {
      Written previous;
      previous.name = name;
      rememberValue(key.get(), name, previous.existed, previous.type, previous.data);
      // Recorded before the write, so that a failure half-way still restores this value.
      values_.push_back(std::move(previous));
      const std::wstring text = std::to_wstring(port);
      const LSTATUS status =
          RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
      if (status != ERROR_SUCCESS)
        throwSystemError("writing registry value " + narrow(name) + " failed",
                         static_cast<DWORD>(status));
    };
    if (ipv4Port) publish(sim::kPortValueIPv4, *ipv4Port);
    if (ipv6Port) publish(sim::kPortValueIPv6, *ipv6Port);
  } catch (...) {
    withdraw();
    throw;
  }
}

PortPublication::~PortPublication() {
  withdraw();
}

void PortPublication::withdraw() {
  const std::wstring fullPath = sim::kPortsRegistryKey;
  {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, fullPath.c_str(), 0, KEY_SET_VALUE, key.out()) ==
        ERROR_SUCCESS)
      for (const Written& value : values_) {
        if (value.existed) {
          RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                         static_cast<DWORD>(value.data.size()));
        } else {
          RegDeleteValueW(key.get(), value.name.c_str());
        }
      }
  }
  values_.clear();
  for (auto path = createdKeys_.rbegin(); path != createdKeys_.rend(); ++path)
    if (keyIsEmpty(*path)) RegDeleteKeyW(HKEY_CURRENT_USER, path->c_str());
  createdKeys_.clear();
}

} // namespace simserver
