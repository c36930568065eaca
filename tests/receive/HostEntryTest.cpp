// A simulator in the same process: the client registration after the open reply, the host
// functions, messages delivered without the transport, and the pump-all call.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "client/ReceiveDispatch.h"
#include "client/SendBuffer.h"
#include "connection/OpenClose.h"
#include "include/Wirebridge.h"
#include "tests/support/FakeSimulatorWindow.h"
#include "tests/support/OwnedClient.h"

namespace {

std::vector<uint8_t> openReply(uint32_t clientId, uint32_t size = 308) {
  std::vector<uint8_t> bytes(size, 0);
  const uint32_t id = 2;
  std::memcpy(bytes.data(), &size, 4);
  std::memcpy(bytes.data() + 8, &id, 4);
  if (size >= 304) std::memcpy(bytes.data() + 300, &clientId, 4);
  return bytes;
}

void arrive(SimClient& client, const std::vector<uint8_t>& bytes) {
  MessageSlot slot;
  slot.size = int32_t(bytes.size());
  slot.capacity = uint32_t(bytes.size());
  slot.data = allocateMessageData(uint32_t(bytes.size()));
  std::memcpy(slot.data, bytes.data(), bytes.size());
  client.OnMessage(slot);
}

struct HostLog {
  std::vector<void*> released;
  std::vector<uint32_t> releasedIds;
  int dispatched = 0;
  std::vector<std::vector<uint8_t>> sent;
};
HostLog* hostLog = nullptr;

void* hostAllocate(uint32_t, uint32_t, uint32_t size) {
  return std::calloc(1, size + 64);
}
void hostDiscard(uint32_t, uint32_t, void* buffer) {
  std::free(buffer);
}
void hostSend(uint32_t, uint32_t, uint32_t length, void* buffer) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  hostLog->sent.emplace_back(bytes, bytes + length);
  std::free(buffer);
}
void hostRelease(uint32_t id, uint32_t, void* data) {
  hostLog->released.push_back(data);
  hostLog->releasedIds.push_back(id);
}

void CALLBACK countDispatch(SIMCONNECT_RECV*, DWORD, void*) {
  ++hostLog->dispatched;
}

HostFunctionsCommand functionsFor(const SimClient& client) {
  HostFunctionsCommand record{};
  record.size = 48;
  record.kind = 2;
  record.clientId = client.hostClientId;
  record.serial = client.connectionSerial;
  record.hostAllocate = reinterpret_cast<uint64_t>(&hostAllocate);
  record.hostDiscard = reinterpret_cast<uint64_t>(&hostDiscard);
  record.hostSend = reinterpret_cast<uint64_t>(&hostSend);
  record.hostRelease = reinterpret_cast<uint64_t>(&hostRelease);
  return record;
}

class HostEntry : public testing::Test {
protected:
  void SetUp() override {
    hostLog = &log;
    client->connectionSerial = 900;
    client->hostState = 1; // attached, as the open sequence leaves a client in this process
    client->hostWindow = simulator.get();
  }
  void TearDown() override {
    client.reset();
    hostLog = nullptr;
  }

  HostLog log;
  FakeSimulatorWindow simulator;
  OwnedClient client;
};

TEST_F(HostEntry, OpenReplyRegistersTheClientOnceAndIsStillDispatched) {
  arrive(*client, openReply(0x1234));
  arrive(*client, openReply(0x5678)); // a second reply registers nothing
  ASSERT_EQ(SimConnect_CallDispatch(client.get(), countDispatch, nullptr), S_OK);
  EXPECT_EQ(log.dispatched, 2);
  EXPECT_EQ(client->hostClientId, 0x1234u);
  EXPECT_EQ(client->hostState, 2u);
  ASSERT_EQ(simulator.commands.size(), 1u);
  const auto& bytes = simulator.commands[0].bytes;
  ASSERT_EQ(bytes.size(), 32u);
  const uint8_t head[16] = {32, 0, 0, 0, 1, 0, 0, 0, 0x34, 0x12, 0, 0, 0x84, 0x03, 0, 0};
  EXPECT_EQ(std::memcmp(bytes.data(), head, 16), 0);
  uint64_t accept;
  uint64_t deliver;
  std::memcpy(&accept, bytes.data() + 16, 8);
  std::memcpy(&deliver, bytes.data() + 24, 8);
  EXPECT_EQ(accept, reinterpret_cast<uint64_t>(&acceptHostFunctions));
  EXPECT_EQ(deliver, reinterpret_cast<uint64_t>(&deliverFromHost));
}

TEST_F(HostEntry, RepliesThatDoNotQualifyRegisterNothing) {
  arrive(*client, openReply(0));         // id 0
  arrive(*client, openReply(0x22, 312)); // wrong length
  client->hostState = 0;
  arrive(*client, openReply(0x33)); // not attached
  ASSERT_EQ(SimConnect_CallDispatch(client.get(), countDispatch, nullptr), S_OK);
  EXPECT_EQ(log.dispatched, 3);
  EXPECT_TRUE(simulator.commands.empty());
  EXPECT_EQ(client->hostClientId, 0u);
}

TEST_F(HostEntry, HostFunctionsAreInstalledOnceForTheNamedClient) {
  client->hostClientId = 41;
  HostFunctionsCommand record = functionsFor(*client);
  HostFunctionsCommand wrongSize = record;
  wrongSize.size = 40;
  HostFunctionsCommand wrongKind = record;
  wrongKind.kind = 1;
  HostFunctionsCommand otherClient = record;
  otherClient.clientId = 42;
  EXPECT_EQ(acceptHostFunctions(nullptr), 0);
  EXPECT_EQ(acceptHostFunctions(&wrongSize), 0);
  EXPECT_EQ(acceptHostFunctions(&wrongKind), 0);
  EXPECT_EQ(acceptHostFunctions(&otherClient), 0);
  EXPECT_EQ(client->hostMode, 0u);
  EXPECT_EQ(acceptHostFunctions(&record), 1);
  EXPECT_EQ(client->hostMode, 1u);
  HostFunctionsCommand second = record;
  second.hostSend = 0;
  EXPECT_EQ(acceptHostFunctions(&second), 0);
  EXPECT_EQ(client->hostSend, &hostSend);

  // Requests now travel through the simulator's buffers.
  EXPECT_EQ(SimConnect_TransmitClientEvent(client.get(), 1, 2, 3, 4, 5), S_OK);
  ASSERT_EQ(log.sent.size(), 1u);
  EXPECT_EQ(log.sent[0].size(), 36u);
  EXPECT_TRUE(client->sendQueue.empty());
}

TEST_F(HostEntry, DeliveredMessagesAreDispatchedThenHandedBackOnce) {
  client->hostClientId = 41;
  HostFunctionsCommand record = functionsFor(*client);
  ASSERT_EQ(acceptHostFunctions(&record), 1);
  std::vector<uint8_t> message = openReply(0, 64);
  std::vector<uint8_t> shortMessage(8, 0);
  deliverFromHost(41, 900, 64, message.data());
  deliverFromHost(41, 900, 8, shortMessage.data());
  deliverFromHost(41, 901, 64, message.data()); // names no client: ignored
  EXPECT_EQ(client->receiveQueue.count(), 2);
  ASSERT_EQ(SimConnect_CallDispatch(client.get(), countDispatch, nullptr), S_OK);
  EXPECT_EQ(log.dispatched, 1);
  ASSERT_EQ(log.released.size(), 2u);
  EXPECT_EQ(log.released[0], message.data());
  EXPECT_EQ(log.released[1], shortMessage.data()); // too short to dispatch, still handed back
  EXPECT_EQ(log.releasedIds[0], 41u);
}

TEST_F(HostEntry, ClosingAClientDispatchesNothingAndHandsHostDataBackOnce) {
  SimClient* closing = SimClient::create(TransportKind::NamedPipe);
  ASSERT_NE(closing, nullptr);
  closing->connectionSerial = 900;
  closing->hostClientId = 43;
  closing->hostState = 2;
  closing->hostRelease = hostRelease;
  closing->hostMode = 1;
  closing->setDispatchTarget(countDispatch, nullptr); // would count any dispatch by the close
  std::vector<uint8_t> first = openReply(0, 64);
  std::vector<uint8_t> tooShort(8, 0);
  arrive(*closing, openReply(0, 40));
  deliverFromHost(43, 900, 64, first.data());
  arrive(*closing, openReply(0, 40));
  deliverFromHost(43, 900, 8, tooShort.data());
  ASSERT_EQ(closing->receiveQueue.count(), 4);
  closeClient(closing); // drops the creator's reference: the client is gone afterwards
  EXPECT_EQ(log.dispatched, 0);
  EXPECT_EQ(log.released, (std::vector<void*>{first.data(), tooShort.data()}));
  EXPECT_EQ(log.releasedIds, (std::vector<uint32_t>{43, 43}));
}

TEST_F(HostEntry, PumpAllDispatchesClientsThatDispatchedBefore) {
  OwnedClient silent; // never called SimConnect_CallDispatch: skipped
  int context = 0;
  ASSERT_EQ(SimConnect_CallDispatch(client.get(), countDispatch, &context), S_OK);
  arrive(*client, openReply(0, 40));
  arrive(*silent, openReply(0, 40));
  const auto pumpProcedure = reinterpret_cast<DispatchProc>(static_cast<uintptr_t>(-2));
  const auto pumpContext = reinterpret_cast<void*>(static_cast<uintptr_t>(-3));
  EXPECT_EQ(SimConnect_CallDispatch(nullptr, pumpProcedure, pumpContext), E_FAIL);
  EXPECT_EQ(log.dispatched, 1);
  EXPECT_EQ(silent->receiveQueue.count(), 1);
  EXPECT_TRUE(client->receiveQueue.empty());
}

} // namespace
