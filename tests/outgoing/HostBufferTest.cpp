// Host-buffer mode: messages built in memory that an in-process simulator hands out.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "client/SendBuffer.h"
#include "tests/support/OwnedClient.h"

namespace {

// A fake simulator: a pool of buffers and a log of every call.
struct FakeHost {
  struct Call {
    char what;
    uint32_t id;
    uint32_t serial;
    uint32_t length;
    void* buffer;
  };
  std::array<std::array<uint8_t, 512>, 4> pool{};
  size_t nextBuffer = 0;
  bool refuse = false;
  std::vector<Call> calls;
};
FakeHost* host = nullptr;

void* fakeAllocate(uint32_t id, uint32_t serial, uint32_t size) {
  host->calls.push_back({'a', id, serial, size, nullptr});
  if (host->refuse || host->nextBuffer == host->pool.size()) return nullptr;
  auto& buffer = host->pool[host->nextBuffer++];
  buffer.fill(0xCC); // a simulator buffer is not zeroed for us
  return buffer.data();
}
void fakeDiscard(uint32_t id, uint32_t serial, void* buffer) {
  host->calls.push_back({'d', id, serial, 0, buffer});
}
void fakeSend(uint32_t id, uint32_t serial, uint32_t length, void* buffer) {
  host->calls.push_back({'s', id, serial, length, buffer});
}
void fakeRelease(uint32_t id, uint32_t serial, void* data) {
  host->calls.push_back({'r', id, serial, 0, data});
}

class HostBuffers : public testing::Test {
protected:
  void SetUp() override {
    host = &fake;
    client->hostClientId = 77;
    client->connectionSerial = 5;
    client->hostAllocate = fakeAllocate;
    client->hostDiscard = fakeDiscard;
    client->hostSend = fakeSend;
    client->hostRelease = fakeRelease;
    client->hostMode = 1;
  }
  void TearDown() override { host = nullptr; }

  FakeHost fake;
  OwnedClient client;
};

TEST_F(HostBuffers, ObtainedBuffersAreZeroedNumberedInTurnAndListed) {
  uint8_t* buffer = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 36, &buffer), 0u);
  EXPECT_EQ(buffer, fake.pool[0].data());
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].what, 'a');
  EXPECT_EQ(fake.calls[0].id, 77u);
  EXPECT_EQ(fake.calls[0].serial, 5u);
  EXPECT_EQ(fake.calls[0].length, 36u);
  uint32_t sequence;
  std::memcpy(&sequence, buffer + 12, 4);
  EXPECT_EQ(sequence, 1u);
  for (int i = 0; i < 36; ++i) {
    if (i < 12 || i > 15) {
      EXPECT_EQ(buffer[i], 0) << i;
    }
  }
  EXPECT_EQ(buffer[36], 0xCC); // only the message's own bytes are cleared
  ASSERT_EQ(client->hostBuffers.size(), 1u);
  EXPECT_EQ(client->stagingCursor, client->stagingBase);

  // The next buffer carries the next number.
  uint8_t* second = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 20, &second), 0u);
  EXPECT_EQ(second, fake.pool[1].data());
  std::memcpy(&sequence, second + 12, 4);
  EXPECT_EQ(sequence, 2u);
  std::memcpy(&sequence, buffer + 12, 4);
  EXPECT_EQ(sequence, 1u);
  ASSERT_EQ(client->hostBuffers.size(), 2u);
}

TEST_F(HostBuffers, FlushHandsEveryBufferToTheSimulatorInOrder) {
  uint8_t* first = nullptr;
  uint8_t* second = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 36, &first), 0u);
  ASSERT_EQ(obtainMessageBuffer(client.get(), 48, &second), 0u);
  fake.calls.clear();
  EXPECT_EQ(flushStaging(client.get()), 1u); // nothing staged locally
  ASSERT_EQ(fake.calls.size(), 2u);
  EXPECT_EQ(fake.calls[0].what, 's');
  EXPECT_EQ(fake.calls[0].buffer, first);
  EXPECT_EQ(fake.calls[0].length, 36u);
  EXPECT_EQ(fake.calls[1].buffer, second);
  EXPECT_EQ(fake.calls[1].length, 48u);
  EXPECT_TRUE(client->hostBuffers.empty());
  fake.calls.clear();
  EXPECT_EQ(commitMessage(client.get()), 1u);
  EXPECT_TRUE(fake.calls.empty()); // each buffer goes to the simulator once
}

TEST_F(HostBuffers, ReleaseDiscardsJustThatBuffer) {
  uint8_t* first = nullptr;
  uint8_t* second = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 36, &first), 0u);
  ASSERT_EQ(obtainMessageBuffer(client.get(), 48, &second), 0u);
  fake.calls.clear();
  EXPECT_EQ(releaseMessageBuffer(client.get(), first, 36), 0u);
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].what, 'd');
  EXPECT_EQ(fake.calls[0].buffer, first);
  ASSERT_EQ(client->hostBuffers.size(), 1u);
  EXPECT_EQ(client->hostBuffers[0].buffer, second);
}

TEST_F(HostBuffers, RefusedAllocationFallsBackToStaging) {
  fake.refuse = true;
  uint8_t* buffer = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 36, &buffer), 0u);
  EXPECT_EQ(buffer, client->stagingBase);
  EXPECT_TRUE(client->hostBuffers.empty());
  // A staging buffer released in host mode rewinds the cursor as without it.
  EXPECT_EQ(releaseMessageBuffer(client.get(), buffer, 36), 0u);
  EXPECT_EQ(client->stagingCursor, client->stagingBase);
  EXPECT_EQ(fake.calls.back().what, 'a');
}

} // namespace
