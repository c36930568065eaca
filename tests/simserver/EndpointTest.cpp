// The server's endpoints: the standard pipe and both loopback listeners, the published ports,
// and what the options switch on and off.
#include "TestSupport.h"

#include <set>

namespace {

using namespace testsupport;
using simserver::Endpoint;
using simserver::Options;
using simserver::Server;

class SimServerEndpoints : public PortsKeyTest {};

TEST_F(SimServerEndpoints, OpenIsAnsweredOnThePipeAndOnBothLoopbacksWithThePublishedPorts) {
  Server server;
  server.start();

  const auto ipv4 = readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4");
  const auto ipv6 = readRegistryValue(kPortsKey, L"SimConnect_Port_IPv6");
  ASSERT_TRUE(ipv4);
  ASSERT_TRUE(ipv6);
  EXPECT_EQ(ipv4->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(ipv6->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(ipv4->text, std::to_wstring(server.ipv4Port()));
  EXPECT_EQ(ipv6->text, std::to_wstring(server.ipv6Port()));
  EXPECT_NE(server.ipv4Port(), 0);
  EXPECT_NE(server.ipv6Port(), 0);

  DWORD error = 0;
  auto overPipe = RawClient::connectPipe(kStandardPipe, &error);
  ASSERT_TRUE(overPipe) << error;
  const uint32_t pipeClient =
      checkOpenReply(handshake(*overPipe, "Over the pipe"), "Over the pipe", 1);

  auto overIPv6 =
      RawClient::connectTcp(AF_INET6, static_cast<uint16_t>(std::stoi(ipv6->text)), &error);
  ASSERT_TRUE(overIPv6) << "::1 unavailable? error " << error;
  const uint32_t ipv6Client = checkOpenReply(handshake(*overIPv6, "Over ::1"), "Over ::1", 2);

  auto overIPv4 =
      RawClient::connectTcp(AF_INET, static_cast<uint16_t>(std::stoi(ipv4->text)), &error);
  ASSERT_TRUE(overIPv4) << error;
  const uint32_t ipv4Client =
      checkOpenReply(handshake(*overIPv4, "Over 127.0.0.1"), "Over 127.0.0.1", 3);

  EXPECT_EQ((std::set<uint32_t>{pipeClient, ipv6Client, ipv4Client}).size(), 3u)
      << "client ids must differ";
  ASSERT_EQ(server.connections(), (std::vector<simserver::ConnectionId>{1, 2, 3}));
  EXPECT_EQ(server.info(1)->endpoint, Endpoint::Pipe);
  EXPECT_EQ(server.info(2)->endpoint, Endpoint::IPv6);
  EXPECT_EQ(server.info(3)->endpoint, Endpoint::IPv4);
  EXPECT_EQ(server.info(1)->clientId, pipeClient);
  EXPECT_TRUE(server.violations().empty());
}

TEST_F(SimServerEndpoints, PortValuesAreRemovedOnStopAndTheKeyOnlyWhenTheServerCreatedIt) {
  {
    Server server;
    server.start();
    EXPECT_TRUE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4"));
    server.stop();
    EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4"));
    EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv6"));
    EXPECT_FALSE(registryKeyExists(kPortsKey)) << "the server created the key, so it goes too";
  }

  // A key that was there before keeps its other values.
  ASSERT_TRUE(writeRegistryString(kPortsKey, L"Unrelated", L"kept"));
  {
    Server server;
    server.start();
    EXPECT_TRUE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv6"));
  } // the destructor stops the server
  EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4"));
  EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv6"));
  const auto kept = readRegistryValue(kPortsKey, L"Unrelated");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->text, L"kept");
}

TEST_F(SimServerEndpoints, PortsPublishedBeforeTheServerAreRestoredWithTheirTypeWhenItStops) {
  // As a simulator installed on the machine leaves them.
  ASSERT_TRUE(writeRegistryString(kPortsKey, L"SimConnect_Port_IPv4", L"500"));
  ASSERT_TRUE(writeRegistryString(kPortsKey, L"SimConnect_Port_IPv6", L"501", REG_EXPAND_SZ));

  for (const bool destructorStops : {false, true}) {
    SCOPED_TRACE(destructorStops ? "stopped by the destructor" : "stopped by stop()");
    {
      Server server;
      server.start();
      EXPECT_EQ(registryText(kPortsKey, L"SimConnect_Port_IPv4"),
                std::to_wstring(server.ipv4Port()));
      EXPECT_EQ(registryText(kPortsKey, L"SimConnect_Port_IPv6"),
                std::to_wstring(server.ipv6Port()));
      if (!destructorStops) server.stop();
    }
    const auto ipv4 = readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4");
    const auto ipv6 = readRegistryValue(kPortsKey, L"SimConnect_Port_IPv6");
    ASSERT_TRUE(ipv4);
    ASSERT_TRUE(ipv6);
    EXPECT_EQ(ipv4->text, L"500");
    EXPECT_EQ(ipv4->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(ipv6->text, L"501");
    EXPECT_EQ(ipv6->type, static_cast<DWORD>(REG_EXPAND_SZ));
  }

  // A server that publishes one family leaves the other family's value alone.
  Options ipv4Only;
  ipv4Only.servePipe = false;
  ipv4Only.serveIPv6 = false;
  Server server(ipv4Only);
  server.start();
  EXPECT_EQ(registryText(kPortsKey, L"SimConnect_Port_IPv6"), L"501");
  server.stop();
  EXPECT_EQ(registryText(kPortsKey, L"SimConnect_Port_IPv4"), L"500");
}

TEST_F(SimServerEndpoints, SwitchedOffEndpointsAreNeitherServedNorPublished) {
  Options options;
  options.servePipe = false;
  options.serveIPv6 = false;
  Server server(options);
  server.start();
  EXPECT_EQ(server.ipv6Port(), 0);
  EXPECT_TRUE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4"));
  EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv6"));

  DWORD error = 0;
  EXPECT_FALSE(RawClient::connectPipe(kStandardPipe, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  auto client = connectTo(server, Endpoint::IPv4);
  ASSERT_TRUE(client);
  checkOpenReply(handshake(*client), "Raw client", 1);
  server.stop();

  Options unpublished;
  unpublished.publishPorts = false;
  Server quiet(unpublished);
  quiet.start();
  EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4"));
  EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv6"));
  EXPECT_NE(quiet.ipv4Port(), 0);
}

TEST_F(SimServerEndpoints, PipeNameAndPortsAreConfigurable) {
  Options options;
  options.pipePath = L"\\\\.\\pipe\\simserver endpoint test";
  options.ipv4Port = freeTcpPort(AF_INET);
  options.ipv6Port = freeTcpPort(AF_INET6);
  Server server(options);
  server.start();
  EXPECT_EQ(server.ipv4Port(), options.ipv4Port);
  EXPECT_EQ(server.ipv6Port(), options.ipv6Port);
  EXPECT_EQ(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4")->text,
            std::to_wstring(options.ipv4Port));

  DWORD error = 0;
  EXPECT_FALSE(RawClient::connectPipe(kStandardPipe, &error)) << "only the configured pipe";
  auto client = RawClient::connectPipe(L"\\\\.\\pipe\\simserver endpoint test", &error);
  ASSERT_TRUE(client) << error;
  checkOpenReply(handshake(*client), "Raw client", 1);
  auto tcp = RawClient::connectTcp(AF_INET6, options.ipv6Port, &error);
  ASSERT_TRUE(tcp) << error;
  checkOpenReply(handshake(*tcp), "Raw client", 2);
}

TEST_F(SimServerEndpoints, ASecondServerOnTheSamePipeOrPortFailsToStartAndTheFirstKeepsServing) {
  Server first;
  first.start();

  Options samePipe;
  samePipe.serveIPv4 = samePipe.serveIPv6 = false;
  Server second(samePipe);
  try {
    second.start();
    ADD_FAILURE() << "a second server on the same pipe started";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("already served"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(second.running());

  Options samePort;
  samePort.servePipe = false;
  samePort.serveIPv6 = false;
  samePort.ipv4Port = first.ipv4Port();
  Server third(samePort);
  EXPECT_THROW(third.start(), std::runtime_error);

  auto client = connectTo(first, Endpoint::Pipe);
  ASSERT_TRUE(client);
  checkOpenReply(handshake(*client), "Raw client", 1);
  EXPECT_EQ(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4")->text,
            std::to_wstring(first.ipv4Port()))
      << "the failed server must not overwrite the running one's ports";
}

} // namespace
