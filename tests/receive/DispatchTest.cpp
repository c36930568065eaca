// The receive queue and SimConnect_CallDispatch, fed directly through OnMessage.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/ReceiveDispatch.h"
#include "include/Wirebridge.h"
#include "tests/support/MessageWindow.h"
#include "tests/support/OwnedClient.h"

namespace {

constexpr UINT kWakeMessage = WM_APP + 7;

std::vector<uint8_t> record(uint32_t size, uint32_t id, uint8_t fill) {
  std::vector<uint8_t> bytes(size, fill);
  std::memcpy(bytes.data(), &size, 4);
  if (size >= 12) std::memcpy(bytes.data() + 8, &id, 4);
  return bytes;
}

void arrive(SimClient& client, const std::vector<uint8_t>& bytes) {
  MessageSlot slot;
  slot.size = int32_t(bytes.size());
  slot.capacity = uint32_t(bytes.size());
  slot.data = bytes.empty() ? nullptr : allocateMessageData(uint32_t(bytes.size()));
  if (!bytes.empty()) std::memcpy(slot.data, bytes.data(), bytes.size());
  client.OnMessage(slot);
  EXPECT_EQ(slot.data, nullptr); // the data moved into the queue
}

struct Delivered {
  std::vector<uint8_t> bytes;
  void* context;
};
std::vector<Delivered> delivered;

void CALLBACK collect(SIMCONNECT_RECV* data, DWORD length, void* context) {
  auto* bytes = reinterpret_cast<uint8_t*>(data);
  delivered.push_back({std::vector<uint8_t>(bytes, bytes + length), context});
}

class Dispatch : public testing::Test {
protected:
  void SetUp() override {
    delivered.clear();
    event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    client->notifyWindow = window.get();
    client->notifyMessage = kWakeMessage;
    client->notifyEvent = event;
  }
  void TearDown() override {
    client.reset();
    CloseHandle(event);
  }
  bool eventSet() const { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

  MessageWindow window;
  HANDLE event = nullptr;
  OwnedClient client;
  int context = 0;
};

TEST_F(Dispatch, MessagesArriveInOrderWithOneWakeUpEach) {
  const auto a = record(12, 10, 0xA1);
  const auto b = record(40, 11, 0xB2);
  const auto c = record(308, 12, 0xC3);
  arrive(*client, a);
  arrive(*client, b);
  arrive(*client, c);
  EXPECT_EQ(window.drain(kWakeMessage), 3);
  EXPECT_TRUE(eventSet());
  EXPECT_EQ(SimConnect_CallDispatch(client.get(), collect, &context), S_OK);
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(delivered[0].bytes, a);
  EXPECT_EQ(delivered[1].bytes, b);
  EXPECT_EQ(delivered[2].bytes, c);
  EXPECT_EQ(delivered[2].context, &context);
  EXPECT_TRUE(client->receiveQueue.empty());
}

TEST_F(Dispatch, NoProcedureLeavesTheQueueAlone) {
  arrive(*client, record(16, 3, 0));
  EXPECT_EQ(SimConnect_CallDispatch(client.get(), nullptr, &context), E_FAIL);
  EXPECT_EQ(client->receiveQueue.count(), 1);
  EXPECT_EQ(client->dispatchProc, nullptr);
  EXPECT_EQ(SimConnect_CallDispatch(nullptr, collect, &context), E_FAIL);
}

TEST_F(Dispatch, EmptyQueueIsOk) {
  EXPECT_EQ(SimConnect_CallDispatch(client.get(), collect, &context), S_OK);
  EXPECT_TRUE(delivered.empty());
}

TEST_F(Dispatch, FillerWakesOnceAndIsNotDispatched) {
  arrive(*client, {});                 // the empty message of skipped zero filler
  arrive(*client, record(8, 1, 0x11)); // shorter than a record header: dropped
  EXPECT_EQ(window.drain(kWakeMessage), 2);
  EXPECT_EQ(SimConnect_CallDispatch(client.get(), collect, &context), S_OK);
  EXPECT_TRUE(delivered.empty());
  EXPECT_TRUE(client->receiveQueue.empty());
}

TEST_F(Dispatch, NoMessageNumberMeansNoPosting) {
  client->notifyMessage = 0;
  arrive(*client, record(12, 1, 0));
  EXPECT_EQ(window.drain(kWakeMessage), 0);
  EXPECT_TRUE(eventSet());
}

TEST_F(Dispatch, LostConnectionDeliversWhatWasQueuedThenReportsItsCode) {
  arrive(*client, record(20, 1, 1));
  client->lastCode = 0xC000013E;
  client->lostReason = 4;
  EXPECT_EQ(uint32_t(SimConnect_CallDispatch(client.get(), collect, &context)), 0xC000013Eu);
  EXPECT_EQ(delivered.size(), 1u);
  EXPECT_EQ(uint32_t(SimConnect_CallDispatch(client.get(), collect, &context)), 0xC000013Eu);
  EXPECT_EQ(delivered.size(), 1u);
}

// A procedure that dispatches the same client again: every message still arrives exactly once.
SimClient* nestedClient = nullptr;
void CALLBACK nestedCollect(SIMCONNECT_RECV* data, DWORD length, void* context) {
  collect(data, length, context);
  if (delivered.size() == 1) SimConnect_CallDispatch(nestedClient, nestedCollect, context);
}

TEST_F(Dispatch, NestedDispatchDeliversEachMessageOnce) {
  for (uint8_t i = 0; i < 4; ++i)
    arrive(*client, record(12 + i, i, i));
  nestedClient = client.get();
  EXPECT_EQ(SimConnect_CallDispatch(client.get(), nestedCollect, &context), S_OK);
  ASSERT_EQ(delivered.size(), 4u);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(delivered[i].bytes.size(), 12 + i);
}

TEST_F(Dispatch, FailureDisconnectWakesTheCallerOnceOrderlyCloseDoesNot) {
  client->Disconnect(0, 0);
  EXPECT_EQ(window.drain(kWakeMessage), 0);
  EXPECT_FALSE(eventSet());
  // The state is closed already, as when a second failure follows the one that closed it: the
  // loss must still come with its code.
  client->Disconnect(4, 0xC000013E);
  EXPECT_EQ(window.drain(kWakeMessage), 1);
  EXPECT_TRUE(eventSet());
  EXPECT_TRUE(client->IsLost());
  EXPECT_EQ(client->lastCode, 0xC000013Eu);
  // A second failure of the same loss: no second wake-up, and the first code stays.
  ResetEvent(event);
  client->Disconnect(9, 0xC0000120);
  EXPECT_EQ(window.drain(kWakeMessage), 0);
  EXPECT_FALSE(eventSet());
  EXPECT_EQ(client->lastCode, 0xC000013Eu);
  EXPECT_EQ(client->lostReason, 4);
  EXPECT_EQ(uint32_t(SimConnect_CallDispatch(client.get(), collect, &context)), 0xC000013Eu);
}

} // namespace
