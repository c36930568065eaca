// The order of attempts and fallbacks of SimConnect_Open, observed from the server's side.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestPrograms.h"
#include "client/SimClient.h"
#include "connection/OpenClose.h"
#include "include/Wirebridge.h"
#include "tests/support/ConnectedClient.h"
#include "tests/support/LocalSimulatorSetup.h"
#include "tests/support/TraceFile.h"

using simserver::Endpoint;
using namespace std::chrono_literals;

namespace {

class OpenSequence : public testing::Test {
protected:
  // Opens with the index; on success, the endpoint the server saw.
  HRESULT open(uint32_t index = 0) {
    return SimConnect_Open(&handle, "open-test", nullptr, 0, nullptr, index);
  }
  Endpoint endpointOf(const simserver::Server& server) {
    EXPECT_TRUE(server.waitForConnections(1, 10s));
    return server.info(server.connections().back())->endpoint;
  }

  LocalSimulatorSetup setup;
  HANDLE handle = reinterpret_cast<HANDLE>(1);
};

TEST_F(OpenSequence, NothingToReachFailsAfterEveryFallback) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(open(), E_FAIL);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(handle, nullptr);
  // Four attempts (pipe, IPv6, IPv4, standard pipe), each closed with its pauses.
  EXPECT_GE(elapsed, 1400ms);
  EXPECT_EQ(liveClientCount, 0);
  EXPECT_EQ(liveTransportCount, 0);
  EXPECT_FALSE(winsockIsStarted()); // the last close ended Winsock again
}

TEST_F(OpenSequence, PipeIsTriedFirst) {
  simserver::Server server(serving(true, true, true));
  server.start();
  ASSERT_EQ(open(), S_OK);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(endpointOf(server), Endpoint::Pipe);
  ASSERT_TRUE(server.waitForMessages(1, 1, 10s));
  const auto messages = server.messages(1);
  EXPECT_EQ(messages[0].header.type, 0xF0000001u);
  EXPECT_EQ(messages[0].header.sequence, 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(messages[0].bytes.data() + 16), "open-test");
  EXPECT_FALSE(winsockIsStarted()); // a pipe-only open never starts Winsock
}

TEST_F(OpenSequence, WithoutThePipeIPv6AtThePublishedPort) {
  simserver::Server server(serving(false, true, true));
  server.start();
  ASSERT_EQ(open(), S_OK);
  EXPECT_EQ(endpointOf(server), Endpoint::IPv6);
  EXPECT_TRUE(winsockIsStarted());
}

TEST_F(OpenSequence, WithoutAnIPv6PortIPv4) {
  simserver::Server server(serving(false, true, false));
  server.start();
  ASSERT_EQ(open(), S_OK);
  EXPECT_EQ(endpointOf(server), Endpoint::IPv4);
}

TEST_F(OpenSequence, IPv4ToLoopbackFallsBackToTheStandardPipe) {
  simserver::Server server(serving(true, false, false));
  server.start();
  // A configured pipe name does not matter for the last attempt.
  setup.writeConfig("[SimConnect.3]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=1\n");
  ASSERT_EQ(open(3), S_OK);
  EXPECT_EQ(endpointOf(server), Endpoint::Pipe);
}

TEST_F(OpenSequence, TcpWithoutAnAddressIsLoopbackWithItsFallbacks) {
  // No published port: neither TCP step connects, and only the loopback fallbacks reach the pipe.
  simserver::Server pipeOnly(serving(true, false, false));
  pipeOnly.start();
  setup.writeConfig("[SimConnect.9]\nProtocol=IPv4\n[SimConnect.10]\nProtocol=IPv6\n");
  for (const uint32_t index : {9u, 10u}) {
    SCOPED_TRACE(index == 9 ? "IPv4" : "IPv6");
    const size_t before = pipeOnly.connections().size();
    ASSERT_EQ(open(index), S_OK);
    ASSERT_TRUE(pipeOnly.waitForConnections(before + 1, 10s));
    EXPECT_EQ(pipeOnly.info(pipeOnly.connections().back())->endpoint, Endpoint::Pipe);
  }
  pipeOnly.stop();

  // With the published port, each family reaches its own loopback listener.
  for (const bool ipv6 : {false, true}) {
    SCOPED_TRACE(ipv6 ? "IPv6" : "IPv4");
    simserver::Server server(serving(false, !ipv6, ipv6));
    server.start();
    ASSERT_EQ(open(ipv6 ? 10 : 9), S_OK);
    EXPECT_EQ(endpointOf(server), ipv6 ? Endpoint::IPv6 : Endpoint::IPv4);
  }
}

TEST_F(OpenSequence, ConfiguredPipeNameOnThisMachine) {
  simserver::Options options = serving(true, false, false);
  options.pipePath = L"\\\\.\\pipe\\wirebridge-open-test";
  simserver::Server server(options);
  server.start();
  setup.writeConfig("[SimConnect.1]\nProtocol=Pipe\nAddress=.\nPort=wirebridge-open-test\n");
  ASSERT_EQ(open(1), S_OK);
  EXPECT_EQ(endpointOf(server), Endpoint::Pipe);
}

TEST_F(OpenSequence, PipeOnAnotherMachineIsTheOnlyAttempt) {
  simserver::Server server(serving(false, true, true));
  server.start();
  // Any machine name but "." counts as another machine; the loopback address keeps it local.
  setup.writeConfig("[SimConnect.2]\nProtocol=Pipe\nAddress=127.0.0.1\n");
  EXPECT_EQ(open(2), E_FAIL);
  EXPECT_EQ(handle, nullptr);
  EXPECT_TRUE(server.connections().empty());
}

TEST_F(OpenSequence, IPv6WithoutAPortTakesThePublishedOne) {
  simserver::Server server(serving(false, false, true));
  server.start();
  setup.writeConfig("[SimConnect.4]\nProtocol=IPv6\nAddress=::1\n");
  ASSERT_EQ(open(4), S_OK);
  EXPECT_EQ(endpointOf(server), Endpoint::IPv6);
}

TEST_F(OpenSequence, IPv6ToAnotherHostIsTheOnlyAttempt) {
  simserver::Server server(serving(true, true, false));
  server.start();
  // Not "::1" (though it reaches the loopback network, so nothing leaves the machine).
  setup.writeConfig("[SimConnect.5]\nProtocol=IPv6\nAddress=::ffff:127.0.0.2\nPort=1\n");
  EXPECT_EQ(open(5), E_FAIL);
  EXPECT_TRUE(server.connections().empty());
}

void publishIPv4Port(const std::wstring& port) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, sim::kPortsRegistryKey, 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, sim::kPortValueIPv4, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(port.c_str()),
                           DWORD((port.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(OpenSequence, PortBeyond65535IsNoPortAndNotWrappedOntoAnother) {
  // The server's IPv4 port plus 65536 names that very port once taken modulo 65536: a step that
  // wrapped it would connect there instead of falling back to the standard pipe.
  simserver::Server server(serving(true, true, false));
  server.start();
  const std::string wrapped = std::to_string(server.ipv4Port() + 65536u);
  testfiles::TemporaryFile traceFile{"", false};
  TraceSettings settings(traceFile.path(), L"1");

  // From the file.
  setup.writeConfig("[SimConnect.11]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=" + wrapped +
                    "\n[SimConnect.12]\nProtocol=IPv4\n");
  ASSERT_EQ(open(11), S_OK);
  EXPECT_EQ(endpointOf(server), Endpoint::Pipe);
  // From the registry, for a section that names the protocol alone.
  publishIPv4Port(std::wstring(wrapped.begin(), wrapped.end()));
  ASSERT_EQ(open(12), S_OK);
  ASSERT_TRUE(server.waitForConnections(2, 10s));
  for (const auto connection : server.connections()) {
    EXPECT_EQ(server.info(connection)->endpoint, Endpoint::Pipe);
  }

  // The trace names the refused port and why no attempt was made.
  const auto attempts = traceEvents(traceFile.read(), "attempt");
  ASSERT_EQ(attempts.size(), 4u);
  for (const size_t skipped : {0u, 2u}) {
    EXPECT_EQ(fieldOf(attempts[skipped], "transport"), "ipv4");
    EXPECT_EQ(fieldOf(attempts[skipped], "target"), "127.0.0.1:" + wrapped);
    EXPECT_EQ(fieldOf(attempts[skipped], "result"), "skipped");
    EXPECT_EQ(fieldOf(attempts[skipped], "why"), "port not a number from 1 to 65535");
    EXPECT_EQ(fieldOf(attempts[skipped + 1], "transport"), "pipe");
    EXPECT_EQ(fieldOf(attempts[skipped + 1], "result"), "connected");
  }
}

TEST_F(OpenSequence, MissingSectionIsAnInvalidArgumentBeforeAnyAttempt) {
  simserver::Server server(serving(true, true, true));
  server.start();
  setup.writeConfig("[SimConnect.7]\n");
  EXPECT_EQ(open(7), E_INVALIDARG); // a section without lines counts as absent
  EXPECT_EQ(open(8), E_INVALIDARG);
  EXPECT_EQ(handle, nullptr);
  EXPECT_TRUE(server.connections().empty());
  EXPECT_EQ(liveClientCount, 0);
}

size_t largeRecords = 0;
void CALLBACK countLargeRecord(SIMCONNECT_RECV*, DWORD length, void*) {
  if (length == 60000) ++largeRecords;
}

TEST_F(OpenSequence, ReceiveLimitAndNagleSettingsReachTheConnection) {
  simserver::Server server(serving(false, true, false));
  server.start();
  const std::string port = std::to_string(server.ipv4Port());
  setup.writeConfig("[SimConnect.6]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=" + port +
                    "\nMaxReceiveSize=100000\nDisableNagle=1\n"
                    "[SimConnect.9]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=" +
                    port + "\n");
  // A record above the default limit of 41088 bytes.
  std::vector<uint8_t> large(60000, 0x5A);
  const uint32_t size = uint32_t(large.size());
  const uint32_t id = 0x55;
  std::memcpy(large.data(), &size, 4);
  std::memcpy(large.data() + 8, &id, 4);
  auto noDelayOf = [](HANDLE client) {
    int value = 0; // the system may write a single byte
    int length = sizeof(value);
    if (getsockopt(reinterpret_cast<SOCKET>(static_cast<SimClient*>(client)->handle), IPPROTO_TCP,
                   TCP_NODELAY, reinterpret_cast<char*>(&value), &length) != 0) {
      return -1;
    }
    return value != 0 ? 1 : 0;
  };

  ASSERT_EQ(open(6), S_OK);
  HANDLE configured = handle;
  ASSERT_TRUE(server.waitForConnections(1, 10s));
  EXPECT_EQ(noDelayOf(configured), 1);
  ASSERT_TRUE(server.sendRaw(server.connections().back(), large));
  largeRecords = 0;
  HRESULT dispatched = S_OK;
  EXPECT_TRUE(waitUntil([&] {
    dispatched = SimConnect_CallDispatch(configured, countLargeRecord, nullptr);
    return largeRecords == 1 || dispatched != S_OK;
  }));
  EXPECT_EQ(dispatched, S_OK);
  EXPECT_EQ(largeRecords, 1u);

  ASSERT_EQ(open(9), S_OK); // the defaults: Nagle on, the smaller limit
  HANDLE plain = handle;
  ASSERT_TRUE(server.waitForConnections(2, 10s));
  EXPECT_EQ(noDelayOf(plain), 0);
  ASSERT_TRUE(server.sendRaw(server.connections().back(), large));
  EXPECT_TRUE(waitUntil([&] { return static_cast<SimClient*>(plain)->IsLost(); }));
  largeRecords = 0;
  EXPECT_EQ(SimConnect_CallDispatch(plain, countLargeRecord, nullptr), HRESULT(0x80004004L));
  EXPECT_EQ(largeRecords, 0u);
}

TEST_F(OpenSequence, WinsockStaysStartedWhileAClientLives) {
  simserver::Server server(serving(false, true, false));
  server.start();
  ASSERT_EQ(open(), S_OK);
  EXPECT_TRUE(winsockIsStarted());
  // A failing open while the first client lives leaves Winsock alone.
  setup.writeConfig("[SimConnect.6]\nProtocol=IPv4\nAddress=127.0.0.2\nPort=1\n");
  HANDLE second = nullptr;
  EXPECT_EQ(SimConnect_Open(&second, "second", nullptr, 0, nullptr, 6), E_FAIL);
  EXPECT_TRUE(winsockIsStarted());
  EXPECT_EQ(SimConnect_TransmitClientEvent(handle, 0, 1, 2, 3, 4), S_OK);
  ASSERT_TRUE(server.waitForMessages(server.connections()[0], 2, 10s));
}

} // namespace
