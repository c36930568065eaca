// Reference counting of message blocks and ownership of their data.
#include <gtest/gtest.h>

#include <cstring>

#include "client/MessageBlock.h"
#include "tests/blocks/AllocationWatch.h"

namespace {

// Message data as the library allocates it, watched for frees for the life of the test.
class WatchedData {
public:
  explicit WatchedData(uint32_t length) : data_(allocateMessageData(length)) {
    alloc_watch::watch(data_);
  }
  ~WatchedData() { alloc_watch::forget(data_); }
  uint8_t* get() const { return data_; }
  int frees() const { return alloc_watch::freeCount(data_); }

private:
  uint8_t* data_;
};

TEST(MessageBlock, CreatorHoldsTheFirstReference) {
  WatchedData data(12);
  MessageBlock* block = MessageBlock::create(data.get(), 12, 77, 0);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->refCount.load(), 1);
  EXPECT_EQ(block->data, data.get());
  EXPECT_EQ(block->length, 12u);
  EXPECT_EQ(block->connectionSerial, 77u);
  EXPECT_EQ(block->hostOwned, 0u);
  block->release();
  EXPECT_EQ(data.frees(), 1);
}

TEST(MessageBlock, LastReferenceFreesTheData) {
  WatchedData data(8);
  MessageBlock* block = MessageBlock::create(data.get(), 8, 1, 0);
  ASSERT_NE(block, nullptr);
  block->addRef();
  block->addRef();
  EXPECT_EQ(block->refCount.load(), 3);
  block->release();
  block->release();
  EXPECT_EQ(data.frees(), 0);
  EXPECT_EQ(block->refCount.load(), 1);
  block->release();
  EXPECT_EQ(data.frees(), 1);
}

TEST(MessageBlock, DataTakenOutIsNotFreed) {
  WatchedData data(8);
  MessageBlock* block = MessageBlock::create(data.get(), 8, 1, 0);
  ASSERT_NE(block, nullptr);
  uint8_t* taken = block->data;
  block->data = nullptr; // the taker owns the bytes now
  block->release();
  EXPECT_EQ(data.frees(), 0);
  std::memset(taken, 0x5A, 8); // still valid memory
  freeMessageData(taken);
  EXPECT_EQ(data.frees(), 1);
}

TEST(MessageBlock, SimulatorDataIsNeverFreedHere) {
  // Data that belongs to the simulator goes back through its own function; dropping a block that
  // still points at it must not hand it to this library's allocator.
  WatchedData data(16);
  MessageBlock* block = MessageBlock::create(data.get(), 16, 1, 1);
  ASSERT_NE(block, nullptr);
  block->release();
  EXPECT_EQ(data.frees(), 0);
  freeMessageData(data.get());
}

TEST(MessageBlock, BlockWithoutDataIsDestroyedCleanly) {
  MessageBlock* block = MessageBlock::create(nullptr, 0, 0, 0);
  ASSERT_NE(block, nullptr);
  block->release(); // the sanitizers catch a free of null data or a leaked block
}

TEST(MessageBlockRef, HolderDropsItsReferenceOnceAndMovesWithoutCounting) {
  WatchedData data(4);
  MessageBlock* block = MessageBlock::create(data.get(), 4, 0, 0);
  ASSERT_NE(block, nullptr);
  block->addRef(); // one for the test, one adopted by the holder
  {
    BlockRef first(block);
    BlockRef second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), block);
    BlockRef third;
    third = std::move(second);
    EXPECT_EQ(block->refCount.load(), 2);
  }
  EXPECT_EQ(block->refCount.load(), 1);
  EXPECT_EQ(data.frees(), 0);
  BlockRef last(block);
  last.reset();
  EXPECT_EQ(data.frees(), 1);
}

TEST(MessageBlockRef, ResetDropsTheOldBlockAndDetachKeepsTheReference) {
  WatchedData oldData(4);
  WatchedData newData(4);
  BlockRef holder(MessageBlock::create(oldData.get(), 4, 0, 0));
  MessageBlock* fresh = MessageBlock::create(newData.get(), 4, 0, 0);
  ASSERT_TRUE(holder);
  ASSERT_NE(fresh, nullptr);
  holder.reset(fresh);
  EXPECT_EQ(oldData.frees(), 1);
  MessageBlock* detached = holder.detach();
  EXPECT_FALSE(holder);
  EXPECT_EQ(detached->refCount.load(), 1);
  EXPECT_EQ(newData.frees(), 0);
  detached->release();
  EXPECT_EQ(newData.frees(), 1);
}

} // namespace
