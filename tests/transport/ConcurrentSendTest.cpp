// Many threads sending at once, on one client and on several: every message reaches the server
// whole, and each client's sequence numbers rise.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/ConnectedClient.h"

using simserver::Endpoint;
using namespace std::chrono_literals;

namespace {

// Alternates message types so that a torn message would show as a wrong size or type.
void sendMany(SimClient* client, uint32_t thread, int count) {
  for (int i = 0; i < count; ++i) {
    HRESULT result;
    switch (i % 3) {
    case 0:
      result = SimConnect_TransmitClientEvent(client, thread, uint32_t(i), 0, 0, 0);
      break;
    case 1:
      result = SimConnect_RequestSystemState(client, thread, "Sim");
      break;
    default: {
      const uint32_t payload[3] = {thread, uint32_t(i), 0xDEADBEEF};
      result =
          SimConnect_SetDataOnSimObject(client, thread, 0, 0, 3, 4, const_cast<uint32_t*>(payload));
    }
    }
    ASSERT_EQ(result, S_OK);
  }
}

class ConcurrentSend : public testing::TestWithParam<Endpoint> {
protected:
  void SetUp() override {
    ASSERT_TRUE(startWinsock());
    auto options = privateServerOptions();
    options.answerRequests = false; // only the sending side is measured here
    server = std::make_unique<simserver::Server>(options);
    server->start();
  }
  TransportLeakCheck leaks;
  std::unique_ptr<simserver::Server> server;
};

TEST_P(ConcurrentSend, EightThreadsOnOneClient) {
  OwnedClient client(GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
  ASSERT_TRUE(connectTo(*client, GetParam(), *server));
  ASSERT_EQ(sendOpenMessage(client.get(), "test"), S_OK);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1500;
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t)
    threads.emplace_back(sendMany, client.get(), t, kPerThread);
  for (auto& thread : threads)
    thread.join();
  ASSERT_TRUE(server->waitForConnections(1, 10s));
  const auto id = server->connections()[0];
  ASSERT_TRUE(server->waitForMessages(id, 1 + kThreads * kPerThread, 60s));
  EXPECT_TRUE(server->violations().empty()) << server->violations()[0].detail;
}

TEST_P(ConcurrentSend, TwoThreadsEachOnFourClients) {
  constexpr int kClients = 4;
  constexpr int kPerThread = 1000;
  std::vector<std::unique_ptr<OwnedClient>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<OwnedClient>(
        GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp));
    ASSERT_TRUE(connectTo(**clients.back(), GetParam(), *server));
    ASSERT_EQ(sendOpenMessage(clients.back()->get(), "test"), S_OK);
  }
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    for (uint32_t t = 0; t < 2; ++t)
      threads.emplace_back(sendMany, client->get(), t, kPerThread);
  }
  for (auto& thread : threads)
    thread.join();
  ASSERT_TRUE(server->waitForConnections(kClients, 10s));
  for (auto id : server->connections()) {
    EXPECT_TRUE(server->waitForMessages(id, 1 + 2 * kPerThread, 60s)) << id;
  }
  EXPECT_TRUE(server->violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, ConcurrentSend,
                         testing::Values(Endpoint::Pipe, Endpoint::IPv4),
                         [](const auto& info) { return simserver::endpointName(info.param); });

} // namespace
