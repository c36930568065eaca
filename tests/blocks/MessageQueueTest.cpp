// The first-in first-out queue of block references: links, counts and references.
#include <gtest/gtest.h>

#include <vector>

#include "client/MessageBlock.h"
#include "client/MessageQueue.h"
#include "tests/blocks/AllocationWatch.h"

namespace {

// A block over watched message data; the test holds the creator's reference.
struct TestBlock {
  explicit TestBlock(uint8_t tag) : data(allocateMessageData(1)) {
    data[0] = tag;
    alloc_watch::watch(data);
    block = MessageBlock::create(data, 1, tag, 0);
  }
  ~TestBlock() { alloc_watch::forget(data); }
  int frees() const { return alloc_watch::freeCount(data); }

  uint8_t* data;
  MessageBlock* block;
};

TEST(MessageQueue, PushOntoEmptyMakesTheNodeHeadAndTail) {
  TestBlock a(1);
  MessageQueue queue;
  EXPECT_TRUE(queue.empty());
  ASSERT_TRUE(queue.push(a.block));
  EXPECT_EQ(queue.count(), 1);
  EXPECT_EQ(queue.front(), a.block);
  EXPECT_EQ(queue.back(), a.block);
  EXPECT_EQ(a.block->refCount.load(), 2); // the queue holds its own reference
  a.block->release();
  queue.lock().enter();
  queue.clear();
  queue.lock().leave();
  EXPECT_EQ(a.frees(), 1);
}

TEST(MessageQueue, PopHandsOutInPushOrderAndEmptiesTheLinks) {
  TestBlock a(1), b(2), c(3);
  MessageQueue queue;
  ASSERT_TRUE(queue.push(a.block));
  ASSERT_TRUE(queue.push(b.block));
  {
    auto guard = queue.lock().lock();
    ASSERT_TRUE(queue.pushHeld(c.block));
  }
  for (TestBlock* t : {&a, &b, &c})
    t->block->release(); // only the queue holds them now
  EXPECT_EQ(queue.count(), 3);
  EXPECT_EQ(queue.front(), a.block);
  EXPECT_EQ(queue.back(), c.block);

  BlockRef holder;
  ASSERT_TRUE(queue.pop(holder));
  EXPECT_EQ(holder.get(), a.block);
  EXPECT_EQ(holder->refCount.load(), 1); // moved out of the queue, not copied
  EXPECT_EQ(queue.count(), 2);
  EXPECT_EQ(queue.front(), b.block);
  EXPECT_EQ(queue.back(), c.block);

  // Popping into a holder drops what it held before.
  ASSERT_TRUE(queue.pop(holder));
  EXPECT_EQ(a.frees(), 1);
  EXPECT_EQ(holder.get(), b.block);
  EXPECT_EQ(queue.front(), c.block);
  EXPECT_EQ(queue.back(), c.block);

  {
    auto guard = queue.lock().lock();
    ASSERT_TRUE(queue.popHeld(holder));
  }
  EXPECT_EQ(b.frees(), 1);
  EXPECT_EQ(holder.get(), c.block);
  EXPECT_EQ(queue.count(), 0);
  EXPECT_EQ(queue.front(), nullptr);
  EXPECT_EQ(queue.back(), nullptr);

  // The queue works again after running empty.
  TestBlock d(4);
  ASSERT_TRUE(queue.push(d.block));
  d.block->release();
  EXPECT_EQ(queue.front(), d.block);
  EXPECT_EQ(queue.back(), d.block);
  holder.reset();
  EXPECT_EQ(c.frees(), 1);
  ASSERT_TRUE(queue.pop(holder));
  EXPECT_EQ(holder.get(), d.block);
}

TEST(MessageQueue, PopOnEmptyLeavesTheHolderAsItWas) {
  TestBlock a(1);
  MessageQueue queue;
  BlockRef holder(a.block);
  EXPECT_FALSE(queue.pop(holder));
  EXPECT_EQ(holder.get(), a.block);
  EXPECT_EQ(a.block->refCount.load(), 1);
  EXPECT_EQ(a.frees(), 0);
  BlockRef empty;
  EXPECT_FALSE(queue.pop(empty));
  EXPECT_FALSE(empty);
}

TEST(MessageQueue, ClearDropsEveryReference) {
  TestBlock a(1), b(2), c(3);
  MessageQueue queue;
  for (TestBlock* t : {&a, &b, &c})
    ASSERT_TRUE(queue.push(t->block));
  ASSERT_TRUE(queue.push(b.block)); // one block queued twice holds two references
  b.block->addRef();                // and the test keeps one more of its own
  for (TestBlock* t : {&a, &b, &c})
    t->block->release();
  {
    auto guard = queue.lock().lock();
    queue.clear();
  }
  EXPECT_EQ(queue.count(), 0);
  EXPECT_EQ(queue.front(), nullptr);
  EXPECT_EQ(queue.back(), nullptr);
  EXPECT_EQ(a.frees(), 1);
  EXPECT_EQ(c.frees(), 1);
  EXPECT_EQ(b.frees(), 0);
  EXPECT_EQ(b.block->refCount.load(), 1);
  b.block->release();
  EXPECT_EQ(b.frees(), 1);
}

TEST(MessageQueue, DestroyedQueueDropsWhatItStillHolds) {
  TestBlock a(1), b(2);
  {
    MessageQueue queue;
    ASSERT_TRUE(queue.push(a.block));
    ASSERT_TRUE(queue.push(b.block));
    a.block->release();
  }
  EXPECT_EQ(a.frees(), 1);
  EXPECT_EQ(b.frees(), 0);
  EXPECT_EQ(b.block->refCount.load(), 1);
  b.block->release();
}

} // namespace
