#pragma once
// Shared helpers of the server's tests: connecting a raw client to an endpoint, the Open
// handshake, the registry values, and counting the process's threads and handles.
#include "HandBuilt.h"
#include "RawClient.h"

#include "tests/support/SavedSimulatorKeys.h"
#include "tools/simserver/Server.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace testsupport {

using namespace std::chrono_literals;
using handbuilt::Bytes;
using rawclient::RawClient;
using rawclient::ReadOutcome;

// Written out here rather than taken from the code under test.
inline const std::wstring kStandardPipe = L"\\\\.\\pipe\\Lockheed Martin Prepar3D v4\\SimConnect";
inline const std::wstring kPortsKey = L"SOFTWARE\\Lockheed Martin\\Prepar3D v4";
inline const std::wstring kVendorKey = L"SOFTWARE\\Lockheed Martin";
inline constexpr auto kWait = std::chrono::milliseconds(20000);

inline std::unique_ptr<RawClient> connectTo(const simserver::Server& server,
                                            simserver::Endpoint endpoint) {
  DWORD error = 0;
  std::unique_ptr<RawClient> client;
  switch (endpoint) {
  case simserver::Endpoint::Pipe:
    client = RawClient::connectPipe(server.pipePath(), &error);
    break;
  case simserver::Endpoint::IPv6:
    client = RawClient::connectTcp(AF_INET6, server.ipv6Port(), &error);
    break;
  case simserver::Endpoint::IPv4:
    client = RawClient::connectTcp(AF_INET, server.ipv4Port(), &error);
    break;
  }
  EXPECT_TRUE(client) << "connecting to " << simserver::endpointName(endpoint) << " failed, error "
                      << error;
  return client;
}

// Sends an Open message with sequence 1 and returns the 308-byte reply (shorter on failure).
inline Bytes handshake(RawClient& client, const std::string& application = "Raw client") {
  EXPECT_TRUE(client.write(handbuilt::open(1, application)));
  Bytes reply = client.readExactly(308);
  EXPECT_EQ(reply.size(), 308u);
  return reply;
}

struct RegistryString {
  DWORD type = 0;
  std::wstring text;
};

inline std::optional<RegistryString> readRegistryValue(const std::wstring& key,
                                                       const wchar_t* name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
    return std::nullopt;
  wchar_t data[64] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  RegistryString value;
  const LSTATUS status =
      RegQueryValueExW(opened, name, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(opened);
  if (status != ERROR_SUCCESS) return std::nullopt;
  value.text = data;
  return value;
}

// Writes a string value (REG_SZ or REG_EXPAND_SZ) under HKCU, creating the key; true on success.
inline bool writeRegistryString(const std::wstring& key, const wchar_t* name,
                                const std::wstring& text, DWORD type = REG_SZ) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &opened,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LSTATUS status =
      RegSetValueExW(opened, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(opened);
  return status == ERROR_SUCCESS;
}

// The value's text, or "(none)" when it is missing.
inline std::wstring registryText(const std::wstring& key, const wchar_t* name) {
  const auto value = readRegistryValue(key, name);
  return value ? value->text : L"(none)";
}

inline bool registryKeyExists(const std::wstring& key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
    return false;
  RegCloseKey(opened);
  return true;
}

// Removes what an earlier run may have left: the port values and, when empty, the keys.
inline void clearPortsKey() {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kPortsKey.c_str(), 0, KEY_SET_VALUE, &opened) ==
      ERROR_SUCCESS) {
    RegDeleteValueW(opened, L"SimConnect_Port_IPv4");
    RegDeleteValueW(opened, L"SimConnect_Port_IPv6");
    RegDeleteValueW(opened, L"Unrelated");
    RegCloseKey(opened);
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, kPortsKey.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, kVendorKey.c_str());
}

// A test that starts with no published ports and leaves the simulator's keys as it found them.
class PortsKeyTest : public ::testing::Test {
protected:
  void SetUp() override { clearPortsKey(); }
  void TearDown() override { clearPortsKey(); }
  SavedSimulatorKeys savedKeys_; // what clearPortsKey wipes comes back after TearDown
  rawclient::Winsock winsock_;
};

size_t countThreadsOfThisProcess();
DWORD countHandlesOfThisProcess();

// A TCP port that was free a moment ago (bound to port 0, then released).
uint16_t freeTcpPort(int family);

// Checks a 308-byte Open reply: size, version, id 2, the echoed name, the simulator name, the
// sequence, the client id (returned) and the connection id.
uint32_t checkOpenReply(const Bytes& reply, const std::string& application, uint32_t connectionId);

} // namespace testsupport
