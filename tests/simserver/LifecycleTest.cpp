// Many clients at once, and a stop that ends every connection promptly and leaves nothing behind:
// no thread, no handle, no pipe, no listener, no registry value.
#include "TestSupport.h"

#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace testsupport;
using simserver::ClosedBy;
using simserver::Endpoint;
using simserver::FaultScript;
using simserver::Options;
using simserver::Server;

class SimServerLifecycle : public PortsKeyTest {};

TEST_F(SimServerLifecycle, ManyClientsAtOnceOnEveryEndpoint) {
  Server server;
  server.start();
  const Endpoint endpoints[] = {Endpoint::Pipe, Endpoint::IPv6, Endpoint::IPv4};
  const int perEndpoint = 12;
  std::mutex mutex;
  std::set<uint32_t> clientIds;
  std::vector<std::unique_ptr<RawClient>> clients; // kept open until every handshake is done
  std::vector<std::thread> threads;
  for (const Endpoint endpoint : endpoints)
    for (int i = 0; i < perEndpoint; ++i)
      threads.emplace_back([&, endpoint, i] {
        const std::string name =
            std::string(simserver::endpointName(endpoint)) + " client " + std::to_string(i);
        auto client = connectTo(server, endpoint);
        if (!client) return;
        const Bytes reply = handshake(*client, name);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(handbuilt::textAt(reply, 12), name);
        clientIds.insert(handbuilt::u32At(reply, 300));
        clients.push_back(std::move(client));
      });
  for (std::thread& thread : threads)
    thread.join();

  const size_t total = 3 * perEndpoint;
  EXPECT_EQ(clients.size(), total);
  EXPECT_EQ(clientIds.size(), total) << "every connection has its own client id";
  EXPECT_EQ(clientIds.count(0), 0u);
  const auto ids = server.connections();
  ASSERT_EQ(ids.size(), total);
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i], i + 1);
    EXPECT_EQ(server.messages(ids[i]).size(), 1u);
    EXPECT_EQ(server.info(ids[i])->closedBy, ClosedBy::Open);
  }
  EXPECT_TRUE(server.violations().empty());
}

TEST_F(SimServerLifecycle, StopEndsBusyConnectionsPromptlyAndLeavesNothingBehind) {
  // One run first, so that what Winsock and the runtime set up once is not counted.
  { Server(Options()).start(); }
  const size_t threadsBefore = countThreadsOfThisProcess();
  const DWORD handlesBefore = countHandlesOfThisProcess();
  ASSERT_GT(threadsBefore, 0u);

  auto server = std::make_unique<Server>();
  server->start();
  const uint16_t ipv4Port = server->ipv4Port();
  const uint16_t ipv6Port = server->ipv6Port();

  std::vector<std::unique_ptr<RawClient>> clients;
  for (const Endpoint endpoint : {Endpoint::Pipe, Endpoint::IPv6, Endpoint::IPv4}) {
    clients.push_back(connectTo(*server, endpoint));
    ASSERT_TRUE(clients.back());
    handshake(*clients.back());
  }
  // A connection whose reader is paused under a pending client write ...
  FaultScript paused;
  paused.pauseReadingAfterMessages = 1;
  paused.pauseReadingFor = 60000ms;
  server->setNextConnectionFaults(paused);
  clients.push_back(connectTo(*server, Endpoint::Pipe));
  ASSERT_TRUE(clients.back());
  handshake(*clients.back());
  ASSERT_TRUE(
      clients.back()->beginWrite(handbuilt::setData(2, 1, 0, 0, 1, 1 << 20, Bytes(1 << 20, 1))));
  // ... one writing slowly in small pieces ...
  FaultScript slow;
  slow.pieceSize = 1;
  slow.piecePause = 1000ms;
  server->setNextConnectionFaults(slow);
  clients.push_back(connectTo(*server, Endpoint::IPv4));
  ASSERT_TRUE(clients.back());
  ASSERT_TRUE(clients.back()->write(handbuilt::open(1)));
  // ... and one that never sent anything.
  clients.push_back(connectTo(*server, Endpoint::IPv6));
  ASSERT_TRUE(server->waitForConnections(6, kWait));

  const auto stopping = std::chrono::steady_clock::now();
  server->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 15s) << "stop must not hang";

  for (size_t i = 0; i < clients.size(); ++i) {
    const ReadOutcome outcome = clients[i]->readToEnd();
    EXPECT_NE(outcome.kind, ReadOutcome::TimedOut) << "client " << i << " still connected";
  }
  for (const simserver::ConnectionId id : server->connections())
    EXPECT_EQ(server->info(id)->closedBy, ClosedBy::Stop) << "connection " << id;

  DWORD error = 0;
  EXPECT_FALSE(RawClient::connectPipe(kStandardPipe, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(RawClient::connectTcp(AF_INET, ipv4Port, &error));
  EXPECT_FALSE(RawClient::connectTcp(AF_INET6, ipv6Port, &error));
  EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4"));
  EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv6"));

  clients.clear();
  server.reset();
  EXPECT_EQ(countThreadsOfThisProcess(), threadsBefore);
  EXPECT_EQ(countHandlesOfThisProcess(), handlesBefore);
}

TEST_F(SimServerLifecycle, AStoppedServerStartsAgainWithAFreshRecord) {
  Server server;
  server.start();
  {
    auto client = connectTo(server, Endpoint::Pipe);
    ASSERT_TRUE(client);
    handshake(*client);
  }
  server.stop();
  EXPECT_EQ(server.connections().size(), 1u) << "kept for inspection after stop";
  EXPECT_FALSE(server.running());

  server.start();
  EXPECT_TRUE(server.running());
  EXPECT_TRUE(server.connections().empty());
  auto client = connectTo(server, Endpoint::Pipe);
  ASSERT_TRUE(client);
  checkOpenReply(handshake(*client), "Raw client", 1);
  EXPECT_EQ(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4")->text,
            std::to_wstring(server.ipv4Port()));
}

} // namespace
