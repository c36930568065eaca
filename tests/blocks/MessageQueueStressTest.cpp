// Many threads pushing and popping shared blocks: no block is lost, seen twice, freed twice or
// leaked, and each producer's blocks leave a queue in the order they went in.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "client/MessageBlock.h"
#include "client/MessageQueue.h"
#include "tests/blocks/AllocationWatch.h"

namespace {

constexpr int kProducers = 3;
constexpr int kConsumersPerQueue = 2;
constexpr int kQueues = 2;
constexpr int kBlocksPerProducer = 8000;
constexpr int kRounds = 5;
constexpr int kTotalBlocks = kProducers * kBlocksPerProducer;

struct Payload {
  uint32_t producer;
  uint32_t sequence;
};

struct Round {
  MessageQueue queues[kQueues];
  std::atomic<int> popped[kQueues] = {};
  // How often each block was popped from each queue.
  std::unique_ptr<std::atomic<int>[]> seen[kQueues];
  std::atomic<int> orderViolations{0};
  std::atomic<int> badPayloads{0};
  std::atomic<int> reusedAddressNotFreedOnce{0};
  std::vector<const uint8_t*> addresses[kProducers];

  Round() {
    for (auto& counts : seen) {
      counts.reset(new std::atomic<int>[kTotalBlocks]);
      for (int i = 0; i < kTotalBlocks; ++i)
        counts[i] = 0;
    }
  }
};

// Each block goes into every queue, so its last reference is dropped by whichever consumer
// finishes with it last, on any thread.
void produce(Round& round, uint32_t producer) {
  for (uint32_t sequence = 0; sequence < kBlocksPerProducer; ++sequence) {
    uint8_t* data = allocateMessageData(sizeof(Payload));
    const Payload payload{producer, sequence};
    std::memcpy(data, &payload, sizeof payload);
    // An address can come back only after its previous array was freed, exactly once.
    const int previousFrees = alloc_watch::watch(data);
    if (previousFrees != -1 && previousFrees != 1) ++round.reusedAddressNotFreedOnce;
    round.addresses[producer].push_back(data);
    MessageBlock* block = MessageBlock::create(data, sizeof(Payload), producer, 0);
    for (MessageQueue& queue : round.queues) {
      while (!queue.push(block))
        std::this_thread::yield();
    }
    block->release();
    if (sequence % 64 == 0) std::this_thread::yield();
  }
}

void consume(Round& round, int queueIndex) {
  MessageQueue& queue = round.queues[queueIndex];
  uint32_t nextExpected[kProducers] = {};
  BlockRef holder; // each pop drops the block held before
  while (round.popped[queueIndex].load() < kTotalBlocks) {
    if (!queue.pop(holder)) {
      std::this_thread::yield();
      continue;
    }
    ++round.popped[queueIndex];
    Payload payload;
    std::memcpy(&payload, holder->data, sizeof payload);
    if (payload.producer >= kProducers || payload.sequence >= kBlocksPerProducer ||
        holder->length != sizeof(Payload) || holder->connectionSerial != payload.producer) {
      ++round.badPayloads;
      continue;
    }
    // Consumers share a queue, so each sees a subsequence of one producer's blocks: increasing.
    if (payload.sequence < nextExpected[payload.producer]) ++round.orderViolations;
    nextExpected[payload.producer] = payload.sequence + 1;
    ++round.seen[queueIndex][payload.producer * kBlocksPerProducer + payload.sequence];
  }
}

TEST(MessageQueueStress, ConcurrentPushAndPopLoseNothingAndFreeEachBlockOnce) {
  for (int r = 0; r < kRounds; ++r) {
    SCOPED_TRACE(r);
    Round round;
    std::vector<std::thread> threads;
    for (int q = 0; q < kQueues; ++q)
      for (int c = 0; c < kConsumersPerQueue; ++c)
        threads.emplace_back(consume, std::ref(round), q);
    for (uint32_t p = 0; p < kProducers; ++p)
      threads.emplace_back(produce, std::ref(round), p);
    for (std::thread& thread : threads)
      thread.join();

    EXPECT_EQ(round.badPayloads.load(), 0);
    EXPECT_EQ(round.orderViolations.load(), 0);
    EXPECT_EQ(round.reusedAddressNotFreedOnce.load(), 0);
    for (int q = 0; q < kQueues; ++q) {
      EXPECT_TRUE(round.queues[q].empty());
      EXPECT_EQ(round.popped[q].load(), kTotalBlocks);
      int wrong = 0;
      for (int i = 0; i < kTotalBlocks; ++i)
        wrong += round.seen[q][i].load() != 1;
      EXPECT_EQ(wrong, 0) << "blocks not popped exactly once from queue " << q;
    }
    // Every holder is gone: each array was freed exactly once (the last occupant of each
    // address is checked here, earlier ones when their address came back).
    std::set<const uint8_t*> distinct;
    for (const auto& list : round.addresses)
      distinct.insert(list.begin(), list.end());
    int notFreedOnce = 0;
    for (const uint8_t* address : distinct) {
      notFreedOnce += alloc_watch::freeCount(address) != 1;
      alloc_watch::forget(address);
    }
    EXPECT_EQ(notFreedOnce, 0);
  }
}

} // namespace
