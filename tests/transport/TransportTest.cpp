// Connecting, writing and losing the channel, over the named pipe, IPv4 and IPv6.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/ConnectedClient.h"
#include "tests/support/MessageWindow.h"

using simserver::CloseMode;
using simserver::Endpoint;
using namespace std::chrono_literals;

namespace {

class Channel : public testing::TestWithParam<Endpoint> {
protected:
  void SetUp() override {
    ASSERT_TRUE(startWinsock());
    server.start();
  }

  // Connected, Open sent and seen by the server; the server's connection id.
  simserver::ConnectionId connectAndOpen(OwnedClient& client) {
    EXPECT_TRUE(connectTo(*client, GetParam(), server));
    EXPECT_EQ(sendOpenMessage(client.get(), "test"), S_OK);
    EXPECT_TRUE(server.waitForConnections(1, 10s));
    const auto id = server.connections().back();
    EXPECT_TRUE(server.waitForMessages(id, 1, 10s));
    return id;
  }

  TransportLeakCheck leaks;
  simserver::Server server{privateServerOptions()};
};

TEST_P(Channel, ConnectsAndIsAnsweredOnTheRightEndpoint) {
  OwnedClient client(GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
  const auto id = connectAndOpen(client);
  EXPECT_EQ(client->state, StateConnected);
  EXPECT_NE(client->connectionSerial, 0u);
  EXPECT_FALSE(client->IsLost());
  EXPECT_EQ(server.info(id)->endpoint, GetParam());
  const auto messages = server.messages(id);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].bytes.size(), 296u);
  EXPECT_EQ(messages[0].header.sequence, 1u);
  Collected collected;
  ASSERT_TRUE(waitUntil([&] {
    collected.dispatch(client.get());
    return !collected.records.empty();
  }));
  EXPECT_EQ(collected.records[0].size(), 308u); // the open reply
  EXPECT_TRUE(server.violations().empty());
}

TEST_P(Channel, QueuedMessagesAreWrittenWholeAndInOrder) {
  OwnedClient client(GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
  const auto id = connectAndOpen(client);
  constexpr int kCount = 500;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(SimConnect_TransmitClientEvent(client.get(), 1, uint32_t(i), uint32_t(i * 3), 4, 5),
              S_OK);
  }
  ASSERT_TRUE(server.waitForMessages(id, kCount + 1, 30s));
  const auto messages = server.messages(id);
  for (int i = 0; i < kCount; ++i) {
    const auto& bytes = messages[size_t(i) + 1].bytes;
    ASSERT_EQ(bytes.size(), 36u);
    uint32_t eventId;
    std::memcpy(&eventId, bytes.data() + 20, 4);
    EXPECT_EQ(eventId, uint32_t(i));
    EXPECT_EQ(messages[size_t(i) + 1].header.sequence, uint32_t(i) + 2);
  }
  EXPECT_TRUE(server.violations().empty());
}

TEST_P(Channel, SendOnAClosedTransportQueuesNothing) {
  OwnedClient client(GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
  connectAndOpen(client);
  client->Disconnect(0, 0);
  // Closed without a loss on record: the request is dropped and says so.
  EXPECT_EQ(SimConnect_TransmitClientEvent(client.get(), 1, 2, 3, 4, 5), E_FAIL);
  BlockRef block(MessageBlock::create(allocateMessageData(36), 36, 1, 0));
  EXPECT_FALSE(client->Send(block.get()));
  EXPECT_TRUE(client->sendQueue.empty());
  EXPECT_EQ(block->refCount, 1);
  EXPECT_FALSE(client->IsLost()); // an orderly close is no loss
}

TEST_P(Channel, ServerCloseIsALossWithItsCodeAfterQueuedMessages) {
  OwnedClient client(GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  client->notifyEvent = event;
  const auto id = connectAndOpen(client);
  ASSERT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0); // the open reply arrived
  ASSERT_TRUE(server.closeConnection(id, CloseMode::Orderly));
  ASSERT_TRUE(waitUntil([&] { return client->IsLost(); }));
  // A TCP peer's orderly close is a read of 0 bytes; a pipe whose server end goes is broken.
  const uint32_t expected = GetParam() == Endpoint::Pipe ? 0xC000014B : 0xC000013E;
  EXPECT_EQ(client->lastCode, expected);
  EXPECT_EQ(client->lostReason, GetParam() == Endpoint::Pipe ? 5 : 4);
  // The completion's own system error (a read of 0 bytes has none), not what the pool thread's
  // last error held from an earlier call.
  EXPECT_EQ(client->lastSystemError, GetParam() == Endpoint::Pipe ? 109u : 0u);
  EXPECT_EQ(client->state, StateClosed);
  EXPECT_EQ(client->connectionSerial, 0u);
  Collected collected;
  EXPECT_EQ(uint32_t(collected.dispatch(client.get())), expected);
  EXPECT_EQ(collected.records.size(), 1u); // the open reply, queued before the loss
  EXPECT_EQ(uint32_t(SimConnect_TransmitClientEvent(client.get(), 1, 2, 3, 4, 5)), expected);
  EXPECT_EQ(uint32_t(collected.dispatch(client.get())), expected);
  client.reset();
  CloseHandle(event);
}

TEST_P(Channel, AbortiveCloseIsAResetOrADisconnectedPipe) {
  OwnedClient client(GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
  const auto id = connectAndOpen(client);
  const bool pipe = GetParam() == Endpoint::Pipe;
  ASSERT_TRUE(server.closeConnection(id, pipe ? CloseMode::BreakPipe : CloseMode::Reset));
  ASSERT_TRUE(waitUntil([&] { return client->IsLost(); }));
  if (pipe) {
    // The server disconnected its end without closing it: STATUS_PIPE_DISCONNECTED, which is
    // not one of the remote-close statuses.
    EXPECT_EQ(client->lostReason, 9);
    EXPECT_EQ(client->lastCode, 0xC00000B0u);
    EXPECT_EQ(client->lastSystemError, 233u);
  } else if (client->lostReason == 4) {
    // Wine reports a reset only to a read that is already pending when it arrives; one posted
    // just after it sees the end of the stream instead.
    EXPECT_EQ(client->lastCode, 0xC000013Eu);
    EXPECT_EQ(client->lastSystemError, 0u);
  } else {
    EXPECT_EQ(client->lostReason, 5);
    EXPECT_EQ(client->lastCode, 0xC000020Du);
    EXPECT_EQ(client->lastSystemError, 10054u);
  }
}

TEST_P(Channel, EveryLossWakesTheCallerOnceAtTheWindowAndTheEvent) {
  constexpr UINT kWake = WM_APP + 11;
  const bool pipe = GetParam() == Endpoint::Pipe;
  // A reader that stalls at once, behind small buffers, keeps a write pending on demand.
  simserver::Options options = privateServerOptions();
  options.pipePath += L"-losses";
  options.socketReceiveBuffer = 4096;
  simserver::Server lossy(options);
  lossy.start();
  MessageWindow window;
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const std::vector<uint8_t> data(32000, 0x5A);

  // The server closes; the server cuts (TCP reset, pipe disconnected); the server cuts while a
  // write is pending, so that the read and the write fail together.
  for (const int loss : {0, 1, 2}) {
    SCOPED_TRACE(loss == 0 ? "closed" : loss == 1 ? "cut" : "cut with a write pending");
    OwnedClient client(pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
    client->notifyWindow = window.get();
    client->notifyMessage = kWake;
    client->notifyEvent = event;
    const bool connected =
        pipe ? !client->Connect(0, L".", (privatePipeName() + L"-losses").c_str(), 41088, false)
             : connectTo(*client, GetParam(), lossy);
    ASSERT_TRUE(connected);
    ASSERT_EQ(sendOpenMessage(client.get(), "test"), S_OK);
    ASSERT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0); // the open reply arrived
    EXPECT_EQ(window.drain(kWake), 1);
    ResetEvent(event);
    const auto id = lossy.connections().back();

    if (loss == 2) {
      ASSERT_TRUE(lossy.pauseReading(id, std::chrono::milliseconds(20000)));
      for (int i = 0; i < 200 && !client->IsLost(); ++i) {
        EXPECT_EQ(SimConnect_SetDataOnSimObject(client.get(), 1, 0, 0, 1, DWORD(data.size()),
                                                const_cast<uint8_t*>(data.data())),
                  S_OK);
      }
      EXPECT_TRUE(waitUntil([&] {
        auto guard = client->stateLock.lock();
        return client->writeInProgress;
      }));
      Sleep(200); // the writes stall behind the paused reader
    }
    const CloseMode mode = loss == 0 ? CloseMode::Orderly
                           : pipe    ? CloseMode::BreakPipe
                                     : CloseMode::Reset;
    ASSERT_TRUE(lossy.closeConnection(id, mode));
    ASSERT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(client->IsLost());
    EXPECT_NE(client->lastCode, 0u);
    const uint32_t code = client->lastCode;
    ResetEvent(event);
    Sleep(500); // time for a second failing completion to report the same loss again
    EXPECT_EQ(window.drain(kWake), 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(client->lastCode, code);
  }
  CloseHandle(event);
}

INSTANTIATE_TEST_SUITE_P(Transports, Channel,
                         testing::Values(Endpoint::Pipe, Endpoint::IPv4, Endpoint::IPv6),
                         [](const auto& info) { return simserver::endpointName(info.param); });

TEST(Connect, FailsCleanlyWithoutAServer) {
  ASSERT_TRUE(startWinsock());
  TransportLeakCheck leaks;
  OwnedClient pipe(TransportKind::NamedPipe);
  EXPECT_TRUE(pipe->Connect(0, L"", L"wirebridge-test-nobody-listens", 41088, false));
  EXPECT_EQ(pipe->state, StateClosed);
  OwnedClient tcp(TransportKind::Tcp);
  EXPECT_TRUE(tcp->Connect(AF_INET, L"127.0.0.1", L"1", 41088, false));
  OwnedClient wrongFamily(TransportKind::Tcp);
  EXPECT_TRUE(wrongFamily->Connect(AF_INET6, L"127.0.0.1", L"500", 41088, false));
}

TEST(Connect, BusyPipeIsWaitedFor) {
  // A pipe with one instance that is taken: the client waits and gets in once it is free.
  const std::wstring name = L"wirebridge-test-busy-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring path = L"\\\\.\\pipe\\" + name;
  HANDLE instance =
      CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(instance, INVALID_HANDLE_VALUE);
  HANDLE first = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ConnectNamedPipe(instance, nullptr); // already connected: returns at once
  HANDLE handles[2] = {instance, first};
  HANDLE freer = CreateThread(
      nullptr, 0,
      [](void* arg) -> DWORD {
        auto* handles = static_cast<HANDLE*>(arg);
        Sleep(300);
        CloseHandle(handles[1]); // the first client leaves
        DisconnectNamedPipe(handles[0]);
        ConnectNamedPipe(handles[0], nullptr); // and the instance listens again
        return 0;
      },
      handles, 0, nullptr);
  OwnedClient client(TransportKind::NamedPipe);
  EXPECT_FALSE(client->Connect(0, L".", name.c_str(), 41088, false));
  WaitForSingleObject(freer, 10000);
  CloseHandle(freer);
  client.reset();
  CloseHandle(instance);
}

} // namespace

namespace {

// A handle that refuses writes at once (opened for reading only), on a transport that counts as
// connected.
struct RefusingWrites {
  RefusingWrites() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    client->handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr); // closed by the disconnect
    client->notifyEvent = event;
    client->state = StateConnected;
  }
  ~RefusingWrites() {
    client.reset();
    CloseHandle(event);
  }
  OwnedClient client{TransportKind::NamedPipe};
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

TEST(WriteStart, AWriteThatFailsAtOnceEndsTheConnection) {
  // The queued message must not wedge the transport, and the request that was never written
  // reports the loss. The request goes through an export, whose send locks must be gone before
  // the loss wakes anyone.
  TransportLeakCheck leaks;
  RefusingWrites refusing;
  OwnedClient& client = refusing.client;
  ASSERT_NE(client->handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(uint32_t(SimConnect_TransmitClientEvent(client.get(), 1, 2, 3, 4, 5)), 0x80070005u);
  EXPECT_TRUE(client->IsLost());
  EXPECT_EQ(client->lostReason, 9);
  EXPECT_EQ(client->lastCode, 0x80070005u); // access denied, as a failure HRESULT
  EXPECT_EQ(client->lastSystemError, 5u);
  EXPECT_EQ(client->refCount, 1); // the write's reference was dropped again
  EXPECT_EQ(WaitForSingleObject(refusing.event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(uint32_t(SimConnect_TransmitClientEvent(client.get(), 1, 2, 3, 4, 5)), 0x80070005u);
}

TEST(WriteStart, AnOpenMessageThatCannotBeWrittenReportsTheLoss) {
  TransportLeakCheck leaks;
  RefusingWrites refusing;
  ASSERT_NE(refusing.client->handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(uint32_t(sendOpenMessage(refusing.client.get(), "refused")), 0x80070005u);
  EXPECT_TRUE(refusing.client->IsLost());
  EXPECT_EQ(refusing.client->refCount, 1);
}

} // namespace
