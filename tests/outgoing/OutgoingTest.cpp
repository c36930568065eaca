// The staging area of a client that is not connected: numbering, release, commit, room.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "client/SendBuffer.h"
#include "tests/support/OwnedClient.h"

namespace {

uint32_t sequenceAt(const uint8_t* message) {
  uint32_t value;
  std::memcpy(&value, message + 12, 4);
  return value;
}

bool allZero(const uint8_t* begin, size_t length) {
  return std::all_of(begin, begin + length, [](uint8_t b) { return b == 0; });
}

TEST(SimClientCreation, StartsEmptyCountedAndListedLast) {
  const int32_t clientsBefore = liveClientCount;
  const int32_t transportsBefore = liveTransportCount;
  {
    OwnedClient first;
    OwnedClient second;
    EXPECT_EQ(liveClientCount, clientsBefore + 2);
    EXPECT_EQ(liveTransportCount, transportsBefore + 2);
    EXPECT_EQ(clientList::tail(), second.get());
    EXPECT_EQ(second->prevClient, first.get());
    EXPECT_EQ(second->sendSequence, 0u);
    EXPECT_EQ(second->stagingCursor, second->stagingBase);
    EXPECT_EQ(second->stagingBase, second->staging);
    EXPECT_EQ(second->stagingCapacity, 41088u);
    EXPECT_TRUE(allZero(second->staging, sizeof(second->staging)));
    EXPECT_TRUE(second->receiveQueue.empty());
    EXPECT_EQ(second->hostState, 0u);
    EXPECT_EQ(second->hostMode, 0u);
    EXPECT_EQ(second->immediateSend, 1u);
    EXPECT_EQ(second->state, StateClosed);
    first.reset();
    EXPECT_EQ(second->prevClient, nullptr);
    EXPECT_EQ(clientList::head() == second.get() || second->prevClient != nullptr, true);
  }
  EXPECT_EQ(liveClientCount, clientsBefore);
  EXPECT_EQ(liveTransportCount, transportsBefore);
}

TEST(SimClientCreation, DestructionReleasesQueuedMessages) {
  OwnedClient client;
  BlockRef blocks[3];
  for (BlockRef& block : blocks) {
    block.reset(MessageBlock::create(allocateMessageData(16), 16, 1, 0));
    ASSERT_TRUE(client->receiveQueue.push(block.get()));
    EXPECT_EQ(block->refCount, 2);
  }
  const int32_t before = liveClientCount;
  client.reset();
  EXPECT_EQ(liveClientCount, before - 1);
  for (BlockRef& block : blocks)
    EXPECT_EQ(block->refCount, 1); // the queue's reference is gone
}

TEST(StagingArea, FirstMessageIsNumberedOneAtTheStart) {
  OwnedClient client;
  uint8_t* buffer = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 36, &buffer), 0u);
  EXPECT_EQ(buffer, client->stagingBase);
  EXPECT_EQ(sequenceAt(buffer), 1u);
  EXPECT_EQ(client->stagingCursor, client->stagingBase + 36);
  std::memset(buffer + 16, 0xAB, 20);
  // Not connected: the commit empties the area, sends nothing and says the message was not taken.
  EXPECT_EQ(commitMessage(client.get()), uint32_t(FlushNotTaken));
  EXPECT_EQ(client->stagingCursor, client->stagingBase);
  EXPECT_TRUE(allZero(client->staging, sizeof(client->staging)));
  EXPECT_TRUE(client->sendQueue.empty());
  ASSERT_EQ(obtainMessageBuffer(client.get(), 48, &buffer), 0u);
  EXPECT_EQ(sequenceAt(buffer), 2u);
}

TEST(StagingArea, ReleaseRewindsZeroesAndLeavesAGapInTheNumbering) {
  OwnedClient client;
  uint8_t* first = nullptr;
  uint8_t* second = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 36, &first), 0u);
  ASSERT_EQ(obtainMessageBuffer(client.get(), 276, &second), 0u);
  EXPECT_EQ(second, first + 36);
  std::memset(second + 16, 'x', 200);
  EXPECT_EQ(releaseMessageBuffer(client.get(), second, 276), 0u);
  EXPECT_EQ(client->stagingCursor, first + 36);
  EXPECT_TRUE(allZero(second, 276));
  uint8_t* third = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 36, &third), 0u);
  EXPECT_EQ(third, second);
  EXPECT_EQ(sequenceAt(third), 3u); // 2 was used up by the released message
}

TEST(StagingArea, NumberAfterTheLastIsOneNotZero) {
  OwnedClient client;
  client->sendSequence = 0xFFFFFFFE;
  uint8_t* buffer = nullptr;
  ASSERT_EQ(obtainMessageBuffer(client.get(), 16, &buffer), 0u);
  EXPECT_EQ(sequenceAt(buffer), 0xFFFFFFFFu);
  ASSERT_EQ(obtainMessageBuffer(client.get(), 16, &buffer), 0u);
  EXPECT_EQ(sequenceAt(buffer), 1u);
}

TEST(StagingArea, AMessageLargerThanTheFreeRoomGetsNoBuffer) {
  OwnedClient client;
  uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
  EXPECT_EQ(obtainMessageBuffer(client.get(), 41089, &buffer), 1u);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(client->sendSequence, 0u);
  ASSERT_EQ(obtainMessageBuffer(client.get(), 100, &buffer), 0u);
  EXPECT_EQ(obtainMessageBuffer(client.get(), 40989, &buffer), 1u);
  EXPECT_EQ(client->stagingCursor, client->stagingBase + 100);
  ASSERT_EQ(obtainMessageBuffer(client.get(), 40988, &buffer), 0u); // exactly the rest
  EXPECT_EQ(client->stagingCursor, client->stagingBase + client->stagingCapacity);
}

TEST(StagingArea, LostConnectionAnswersTwoBeforeNumbering) {
  OwnedClient client;
  client->lostReason = 4;
  uint8_t* buffer = nullptr;
  EXPECT_EQ(obtainMessageBuffer(client.get(), 36, &buffer), 2u);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(client->sendSequence, 0u);
  EXPECT_EQ(client->stagingCursor, client->stagingBase);
}

TEST(StagingArea, NullClientAndEmptyFlush) {
  uint8_t* buffer = nullptr;
  EXPECT_EQ(obtainMessageBuffer(nullptr, 36, &buffer), 1u);
  EXPECT_EQ(releaseMessageBuffer(nullptr, buffer, 36), 1u);
  EXPECT_EQ(commitMessage(nullptr), 1u);
  EXPECT_EQ(flushStaging(nullptr), 1u);
  OwnedClient client;
  EXPECT_EQ(flushStaging(client.get()), 1u);
  EXPECT_EQ(releaseMessageBuffer(client.get(), nullptr, 36), 1u);
}

} // namespace
