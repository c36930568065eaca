// Cutting the server's byte stream into messages: the answers, the cursors and the room-keeping
// of the receive buffer, driven the way the transport drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "client/MessageBlock.h"
#include "connection/Framing.h"
#include "tests/blocks/AllocationWatch.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A message of `size` bytes: its size little-endian, then a running pattern seeded by `seed`.
Bytes message(uint32_t size, uint8_t seed) {
  Bytes bytes(size);
  for (uint32_t i = 4; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(seed + i);
  bytes[0] = static_cast<uint8_t>(size);
  bytes[1] = static_cast<uint8_t>(size >> 8);
  bytes[2] = static_cast<uint8_t>(size >> 16);
  bytes[3] = static_cast<uint8_t>(size >> 24);
  return bytes;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts)
    joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

// Plays the transport: each read lands at freeStart() (at most freeLength() bytes), then the
// buffer is framed while the answer is MessageReady, taking each message out of the slot.
class Receiver {
public:
  explicit Receiver(uint32_t maxReceiveSize) : maxReceiveSize_(maxReceiveSize) {
    EXPECT_TRUE(buffer.allocate());
  }

  // One read of up to `length` bytes; returns how many the read took.
  size_t read(const uint8_t* bytes, size_t length) {
    const size_t taken = std::min<size_t>(length, buffer.freeLength());
    std::memcpy(buffer.freeStart(), bytes, taken);
    buffer.commit(static_cast<uint32_t>(taken));
    frameAll();
    return taken;
  }
  size_t read(const Bytes& bytes) { return read(bytes.data(), bytes.size()); }

  // The whole stream in reads of at most `chunk` bytes, until it is used up or framing ends.
  void feed(const Bytes& stream, size_t chunk) {
    size_t offset = 0;
    while (offset < stream.size() && last == FrameResult::NeedMore) {
      offset += read(stream.data() + offset, std::min(chunk, stream.size() - offset));
    }
  }

  FrameResult frameOnce() {
    const FrameResult answer = buffer.frame(slot, maxReceiveSize_);
    answers.push_back(answer);
    return answer;
  }

  void frameAll() {
    while ((last = frameOnce()) == FrameResult::MessageReady) {
      if (slot.size == 0) {
        // An empty message: filler was skipped.
        EXPECT_EQ(slot.data, nullptr);
        EXPECT_EQ(slot.capacity, 0u);
        ++emptyMessages;
        continue;
      }
      ASSERT_NE(slot.data, nullptr);
      messages.emplace_back(slot.data, slot.data + slot.size);
      freeMessageData(slot.takeData());
    }
  }

  ptrdiff_t parseOffset() const { return buffer.parsePos() - buffer.start(); }
  ptrdiff_t endOffset() const { return buffer.dataEnd() - buffer.start(); }

  ReceiveBuffer buffer;
  MessageSlot slot;
  std::vector<Bytes> messages;
  std::vector<FrameResult> answers;
  int emptyMessages = 0;
  FrameResult last = FrameResult::NeedMore;

private:
  uint32_t maxReceiveSize_;
};

constexpr uint32_t kLimit = 0x10000;

// ---------------------------------------------------------------------------------------------
// Messages in the stream.

TEST(FramingStream, SeveralMessagesInOneReadComeOutInOrder) {
  Receiver receiver(kLimit);
  const Bytes first = {0x08, 0x00, 0x00, 0x00, 0xA1, 0xA2, 0xA3, 0xA4};
  const Bytes second = {0x0C, 0x00, 0x00, 0x00, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8};
  const Bytes third = {0x04, 0x00, 0x00, 0x00};
  receiver.read(join({first, second, third}));
  EXPECT_EQ(receiver.messages, (std::vector<Bytes>{first, second, third}));
  EXPECT_EQ(receiver.answers,
            (std::vector<FrameResult>{FrameResult::MessageReady, FrameResult::MessageReady,
                                      FrameResult::MessageReady, FrameResult::NeedMore}));
  // All data used up: both cursors back at the start.
  EXPECT_EQ(receiver.parseOffset(), 0);
  EXPECT_EQ(receiver.endOffset(), 0);
}

TEST(FramingStream, FewerThanFourBytesNeedMoreAndLeaveEverythingAsItWas) {
  Receiver receiver(kLimit);
  receiver.read(Bytes{0x10, 0x00, 0x00});
  EXPECT_EQ(receiver.answers, std::vector<FrameResult>{FrameResult::NeedMore});
  EXPECT_EQ(receiver.parseOffset(), 0);
  EXPECT_EQ(receiver.endOffset(), 3);
  EXPECT_EQ(receiver.slot.size, 0);
  EXPECT_EQ(receiver.slot.data, nullptr);
  EXPECT_EQ(receiver.buffer.freeStart(), receiver.buffer.start() + 3);
  EXPECT_EQ(receiver.buffer.freeLength(), 2045u);
}

TEST(FramingStream, MessageSplitByteByByteIsHandedOnOnceWhole) {
  Receiver receiver(kLimit);
  const Bytes whole = message(100, 0x30);
  const uint8_t* slotArray = nullptr;
  for (size_t i = 0; i + 1 < whole.size(); ++i) {
    receiver.read(&whole[i], 1);
    ASSERT_EQ(receiver.last, FrameResult::NeedMore) << i;
    if (i >= 3) {
      // From the size on, the slot holds an array of exactly the message's size and keeps it.
      EXPECT_EQ(receiver.slot.size, 100);
      EXPECT_EQ(receiver.slot.capacity, 100u);
      if (slotArray == nullptr) slotArray = receiver.slot.data;
      EXPECT_EQ(receiver.slot.data, slotArray);
    }
    EXPECT_EQ(receiver.parseOffset(), 0);
    EXPECT_EQ(receiver.endOffset(), static_cast<ptrdiff_t>(i + 1));
  }
  EXPECT_TRUE(receiver.messages.empty());
  receiver.read(&whole.back(), 1);
  EXPECT_EQ(receiver.messages, std::vector<Bytes>{whole});
  EXPECT_EQ(receiver.endOffset(), 0);
}

TEST(FramingStream, OutcomeDoesNotDependOnHowReadsCutTheStream) {
  // Messages of many sizes (some above the first buffer size), with filler between some.
  std::mt19937 random(20240517);
  std::vector<Bytes> sent;
  Bytes stream;
  for (int i = 0; i < 60; ++i) {
    uint32_t size = 4 + random() % (i % 10 == 0 ? 5000 : 300);
    // Filler runs stop only at a non-zero byte, so every size here has a non-zero low byte.
    if ((size & 0xFF) == 0) ++size;
    sent.push_back(message(size, static_cast<uint8_t>(i)));
    stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    // Filler is recognised by a zero size, so a run is at least four bytes long.
    if (i % 7 == 3) stream.insert(stream.end(), 4 + random() % 9, 0);
  }
  for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{13}, size_t{64},
                       size_t{2047}, size_t{2048}, size_t{100000}}) {
    SCOPED_TRACE(chunk);
    Receiver receiver(kLimit);
    receiver.feed(stream, chunk);
    EXPECT_EQ(receiver.last, FrameResult::NeedMore);
    EXPECT_EQ(receiver.messages.size(), sent.size());
    EXPECT_TRUE(receiver.messages == sent); // (a mismatch would print megabytes)
    EXPECT_EQ(receiver.endOffset(), 0);
  }
}

TEST(FramingStream, ResetDropsHalfReceivedBytes) {
  Receiver receiver(kLimit);
  receiver.read(Bytes{0x08, 0x00, 0x00, 0x00, 0x01});
  receiver.buffer.reset();
  EXPECT_EQ(receiver.parseOffset(), 0);
  EXPECT_EQ(receiver.endOffset(), 0);
  EXPECT_EQ(receiver.buffer.freeLength(), 2048u);
  const Bytes next = {0x05, 0x00, 0x00, 0x00, 0x77};
  receiver.read(next);
  EXPECT_EQ(receiver.messages, std::vector<Bytes>{next});
}

TEST(FramingStream, BufferWithoutMemoryOffersNoRoomAndFramesNothing) {
  ReceiveBuffer buffer;
  EXPECT_EQ(buffer.freeLength(), 0u);
  ASSERT_TRUE(buffer.allocate());
  EXPECT_EQ(buffer.capacity(), 2048);
  EXPECT_EQ(buffer.freeStart(), buffer.start());
  EXPECT_EQ(buffer.freeLength(), 2048u);
  buffer.release();
  EXPECT_EQ(buffer.start(), nullptr);
  EXPECT_EQ(buffer.dataEnd(), nullptr);
  EXPECT_EQ(buffer.parsePos(), nullptr);
  EXPECT_EQ(buffer.freeLength(), 0u);
  MessageSlot slot;
  EXPECT_EQ(buffer.frame(slot, kLimit), FrameResult::NoMemory);
  EXPECT_EQ(buffer.start(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Zero filler.

TEST(FramingFiller, EachRunOfZeroBytesGivesOneEmptyMessage) {
  Receiver receiver(kLimit);
  const Bytes first = {0x06, 0x00, 0x00, 0x00, 0x11, 0x12};
  const Bytes second = {0x05, 0x00, 0x00, 0x00, 0x21};
  receiver.read(join({first, Bytes(7, 0), second, Bytes(4, 0), first}));
  EXPECT_EQ(receiver.messages, (std::vector<Bytes>{first, second, first}));
  EXPECT_EQ(receiver.emptyMessages, 2);
  EXPECT_EQ(receiver.answers,
            (std::vector<FrameResult>{FrameResult::MessageReady, FrameResult::MessageReady,
                                      FrameResult::MessageReady, FrameResult::MessageReady,
                                      FrameResult::MessageReady, FrameResult::NeedMore}));
}

TEST(FramingFiller, FillerUpToTheEndRewindsBothCursors) {
  Receiver receiver(kLimit);
  const Bytes first = {0x06, 0x00, 0x00, 0x00, 0x11, 0x12};
  receiver.read(join({first, Bytes(5, 0)}));
  ASSERT_EQ(receiver.answers.size(), 3u);
  EXPECT_EQ(receiver.emptyMessages, 1);
  EXPECT_EQ(receiver.parseOffset(), 0);
  EXPECT_EQ(receiver.endOffset(), 0);
}

TEST(FramingFiller, EmptyMessageLeavesTheSlotEmptyEvenIfTheConsumerKeptData) {
  // The transport's own hook does not take the data; the filler must not hand it on again.
  ReceiveBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  MessageSlot slot;
  const Bytes stream = {0x05, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00, 0x00};
  std::memcpy(buffer.freeStart(), stream.data(), stream.size());
  buffer.commit(static_cast<uint32_t>(stream.size()));
  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  EXPECT_EQ(slot.size, 5);
  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  EXPECT_EQ(slot.size, 0);
  EXPECT_EQ(slot.capacity, 0u);
  EXPECT_EQ(slot.data, nullptr);
}

TEST(FramingFiller, RunThatReachesTheEndOfAReadGoesOnInTheNextRead) {
  // In one piece the five zeros are one run before the 12-byte message. Cut after four zeros,
  // the fifth zero must still count as filler, not as the low byte of a size.
  const Bytes after = message(12, 0x50);
  for (size_t cut = 1; cut <= 5; ++cut) {
    SCOPED_TRACE(cut);
    const Bytes stream = join({Bytes(5, 0), after});
    Receiver receiver(kLimit);
    receiver.read(stream.data(), cut);
    receiver.read(stream.data() + cut, stream.size() - cut);
    EXPECT_EQ(receiver.messages, std::vector<Bytes>{after});
    EXPECT_EQ(receiver.last, FrameResult::NeedMore);
  }
}

TEST(FramingFiller, ShortZeroTailWaitsForItsSize) {
  // Two zero bytes may be the start of a size such as 0x00000100: they wait like any short head.
  Receiver receiver(kLimit);
  receiver.read(Bytes{0x00, 0x00});
  EXPECT_EQ(receiver.answers, std::vector<FrameResult>{FrameResult::NeedMore});
  EXPECT_EQ(receiver.emptyMessages, 0);
  // Bytes 00 00 01 00 read as 0x00010000: a message of 65536 bytes, at the limit.
  receiver.read(Bytes{0x01, 0x00});
  EXPECT_EQ(receiver.last, FrameResult::NeedMore);
  EXPECT_EQ(receiver.slot.size, 0x10000);
}

// ---------------------------------------------------------------------------------------------
// Sizes that end the stream.

TEST(FramingLimits, MessageOfExactlyTheLimitIsAcceptedOneByteMoreIsTooLarge) {
  Receiver accepted(100);
  const Bytes exact = message(100, 1);
  accepted.read(exact);
  EXPECT_EQ(accepted.messages, std::vector<Bytes>{exact});

  Receiver refused(100);
  const Bytes first = {0x04, 0x00, 0x00, 0x00};
  refused.read(join({first, message(101, 2)}));
  EXPECT_EQ(refused.messages, std::vector<Bytes>{first});
  EXPECT_EQ(refused.last, FrameResult::TooLarge);
  // Refused at once: nothing of it is allocated and the cursors stay on the bad size.
  EXPECT_EQ(refused.slot.capacity, 0u);
  EXPECT_EQ(refused.slot.data, nullptr);
  EXPECT_EQ(refused.parseOffset(), 4);
  EXPECT_EQ(refused.endOffset(), 105);
  EXPECT_EQ(refused.buffer.frame(refused.slot, 100), FrameResult::TooLarge);
}

TEST(FramingLimits, SizeWithTheTopBitSetIsTooLarge) {
  for (uint32_t limit : {uint32_t{1024}, uint32_t{0x7FFFFFFF}, uint32_t{0xFFFFFFFF}}) {
    SCOPED_TRACE(limit);
    Receiver receiver(limit);
    receiver.read(Bytes{0x10, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(receiver.last, FrameResult::TooLarge);
    EXPECT_TRUE(receiver.messages.empty());
    EXPECT_EQ(receiver.buffer.capacity(), 2048);
  }
}

TEST(FramingLimits, SizesOneToThreeAreBadSizes) {
  for (uint8_t size : {uint8_t{1}, uint8_t{2}, uint8_t{3}}) {
    SCOPED_TRACE(int{size});
    Receiver receiver(kLimit);
    const Bytes first = {0x05, 0x00, 0x00, 0x00, 0x99};
    receiver.read(join({first, Bytes{size, 0x00, 0x00, 0x00, 0xFF, 0xFF}}));
    EXPECT_EQ(receiver.messages, std::vector<Bytes>{first});
    EXPECT_EQ(receiver.last, FrameResult::BadSize);
    EXPECT_EQ(receiver.parseOffset(), 5);
  }
}

TEST(FramingLimits, LimitBelowFourRefusesSmallSizesAsTooLarge) {
  // The limit is looked at before the size's own plausibility.
  Receiver receiver(2);
  receiver.read(Bytes{0x03, 0x00, 0x00, 0x00});
  EXPECT_EQ(receiver.last, FrameResult::TooLarge);
}

TEST(FramingLimits, MessageLargerThanTheLargestBufferIsTooLargeAtOnce) {
  // The configured limit allows more than the buffer can ever hold (1 MiB): such a message is
  // refused when its size arrives, before the buffer grows for it.
  Receiver receiver(0xFFFFFFFF);
  receiver.read(message(0x100001, 3).data(), 2048);
  EXPECT_EQ(receiver.last, FrameResult::TooLarge);
  EXPECT_EQ(receiver.buffer.capacity(), 2048);
  EXPECT_EQ(receiver.slot.data, nullptr);
  EXPECT_EQ(receiver.buffer.frame(receiver.slot, 0xFFFFFFFF), FrameResult::TooLarge);
}

TEST(FramingLimits, MessageOfExactlyOneMebibyteFillsTheLargestBuffer) {
  Receiver receiver(0xFFFFFFFF);
  const Bytes whole = message(0x100000, 4);
  const Bytes next = {0x04, 0x00, 0x00, 0x00};
  const Bytes stream = join({whole, next});
  size_t offset = 0;
  int largestCapacity = 0;
  while (offset < stream.size() && receiver.last == FrameResult::NeedMore) {
    offset += receiver.read(stream.data() + offset, stream.size() - offset);
    largestCapacity = std::max(largestCapacity, receiver.buffer.capacity());
  }
  EXPECT_EQ(offset, stream.size());
  EXPECT_EQ(receiver.last, FrameResult::NeedMore);
  ASSERT_EQ(receiver.messages.size(), 2u);
  EXPECT_TRUE(receiver.messages[0] == whole);
  EXPECT_EQ(receiver.messages[1], next);
  EXPECT_EQ(largestCapacity, 0x100000);
  EXPECT_EQ(receiver.buffer.capacity(), 0x100000);
}

// ---------------------------------------------------------------------------------------------
// Room-keeping of the receive buffer.

TEST(FramingRoom, BufferGrowsIn2048ByteStepsUntilTheMessageFits) {
  Receiver receiver(kLimit);
  const Bytes whole = message(5000, 9);
  // Full with the head of one message: one framing call grows the buffer by one step.
  EXPECT_EQ(receiver.read(whole.data(), whole.size()), 2048u);
  EXPECT_EQ(receiver.last, FrameResult::NeedMore);
  EXPECT_EQ(receiver.buffer.capacity(), 4096);
  EXPECT_EQ(receiver.parseOffset(), 0);
  EXPECT_EQ(receiver.endOffset(), 2048);
  EXPECT_EQ(receiver.buffer.freeLength(), 2048u);

  EXPECT_EQ(receiver.read(whole.data() + 2048, whole.size() - 2048), 2048u);
  EXPECT_EQ(receiver.buffer.capacity(), 6144);
  EXPECT_EQ(receiver.endOffset(), 4096);

  EXPECT_EQ(receiver.read(whole.data() + 4096, whole.size() - 4096), 904u);
  EXPECT_EQ(receiver.messages, std::vector<Bytes>{whole});
  EXPECT_EQ(receiver.buffer.capacity(), 6144); // it never shrinks
  EXPECT_EQ(receiver.endOffset(), 0);
}

TEST(FramingRoom, UnconsumedTailMovesDownWhenTheDataReachesTheEnd) {
  Receiver receiver(kLimit);
  const Bytes first = message(2040, 1);
  const Bytes second = message(100, 2);
  const Bytes stream = join({first, second});
  ASSERT_EQ(receiver.read(stream), 2048u);
  EXPECT_EQ(receiver.messages, std::vector<Bytes>{first});
  // The 8 bytes of the second message's head now start the buffer.
  EXPECT_EQ(receiver.parseOffset(), 0);
  EXPECT_EQ(receiver.endOffset(), 8);
  EXPECT_EQ(0, std::memcmp(receiver.buffer.start(), second.data(), 8));
  EXPECT_EQ(receiver.slot.size, 100);

  receiver.read(stream.data() + 2048, stream.size() - 2048);
  EXPECT_EQ(receiver.messages, (std::vector<Bytes>{first, second}));
  EXPECT_EQ(receiver.buffer.capacity(), 2048);
}

TEST(FramingRoom, ShortHeadAtTheEndMovesDownToo) {
  Receiver receiver(kLimit);
  const Bytes first = message(2046, 1);
  const Bytes stream = join({first, Bytes{0x06, 0x00}});
  ASSERT_EQ(receiver.read(stream), 2048u);
  EXPECT_EQ(receiver.messages, std::vector<Bytes>{first});
  EXPECT_EQ(receiver.parseOffset(), 0);
  EXPECT_EQ(receiver.endOffset(), 2);
  receiver.read(Bytes{0x00, 0x00, 0x31, 0x32});
  EXPECT_EQ(receiver.messages.back(), (Bytes{0x06, 0x00, 0x00, 0x00, 0x31, 0x32}));
}

TEST(FramingRoom, CompleteNextMessageIsLeftInPlace) {
  ReceiveBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  MessageSlot slot;
  const Bytes stream = join({message(2040, 1), message(8, 2)});
  std::memcpy(buffer.freeStart(), stream.data(), stream.size());
  buffer.commit(static_cast<uint32_t>(stream.size()));
  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  // The buffer is full, but the next message is whole: nothing moves.
  EXPECT_EQ(buffer.parsePos() - buffer.start(), 2040);
  EXPECT_EQ(buffer.dataEnd() - buffer.start(), 2048);
  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  EXPECT_EQ(slot.size, 8);
  EXPECT_EQ(buffer.parsePos(), buffer.start());
  EXPECT_EQ(buffer.dataEnd(), buffer.start());
}

TEST(FramingRoom, DataShortOfTheEndStaysWhereItIs) {
  Receiver receiver(kLimit);
  const Bytes first = {0x05, 0x00, 0x00, 0x00, 0x01};
  receiver.read(join({first, Bytes{0x09, 0x00, 0x00, 0x00, 0x02, 0x03}}));
  EXPECT_EQ(receiver.messages, std::vector<Bytes>{first});
  EXPECT_EQ(receiver.parseOffset(), 5);
  EXPECT_EQ(receiver.endOffset(), 11);
  EXPECT_EQ(receiver.buffer.freeLength(), 2037u);
}

TEST(FramingRoom, CommitNeverPassesTheEndOfTheBuffer) {
  ReceiveBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  buffer.commit(5000);
  EXPECT_EQ(buffer.dataEnd() - buffer.start(), 2048);
  EXPECT_EQ(buffer.freeLength(), 0u);
}

// ---------------------------------------------------------------------------------------------
// The message slot.

TEST(FramingSlot, ArrayIsReusedWhileLargeEnoughAndReplacedWhenTooSmall) {
  // Without a consumer taking the data (the transport's own hook), the slot keeps its array.
  ReceiveBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  MessageSlot slot;
  const Bytes stream = join({message(10, 1), message(8, 2), message(12, 3)});
  std::memcpy(buffer.freeStart(), stream.data(), stream.size());
  buffer.commit(static_cast<uint32_t>(stream.size()));

  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  EXPECT_EQ(slot.size, 10);
  EXPECT_EQ(slot.capacity, 10u);
  uint8_t* const first = slot.data;

  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  EXPECT_EQ(slot.size, 8);
  EXPECT_EQ(slot.capacity, 10u);
  EXPECT_EQ(slot.data, first);
  EXPECT_EQ(Bytes(slot.data, slot.data + 8), message(8, 2));

  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  EXPECT_EQ(slot.size, 12);
  EXPECT_EQ(slot.capacity, 12u);
  EXPECT_EQ(Bytes(slot.data, slot.data + 12), message(12, 3));
}

TEST(FramingSlot, ReplacedArrayIsFreedAndTakenDataIsNot) {
  ReceiveBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  MessageSlot slot;
  const Bytes stream = join({message(6, 1), message(9, 2), message(9, 3)});
  std::memcpy(buffer.freeStart(), stream.data(), stream.size());
  buffer.commit(static_cast<uint32_t>(stream.size()));

  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  uint8_t* const small = slot.data;
  alloc_watch::watch(small);
  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady); // 9 > 6: replaced
  EXPECT_EQ(alloc_watch::freeCount(small), 1);

  uint8_t* const taken = slot.takeData();
  EXPECT_EQ(slot.size, 0);
  EXPECT_EQ(slot.capacity, 0u);
  EXPECT_EQ(slot.data, nullptr);
  alloc_watch::watch(taken);
  ASSERT_EQ(buffer.frame(slot, kLimit), FrameResult::MessageReady);
  EXPECT_NE(slot.data, nullptr);
  EXPECT_EQ(slot.capacity, 9u);
  EXPECT_EQ(alloc_watch::freeCount(taken), 0); // the consumer owns it now
  freeMessageData(taken);
  EXPECT_EQ(alloc_watch::freeCount(taken), 1);
  alloc_watch::forget(small);
  alloc_watch::forget(taken);
}

TEST(FramingSlot, ClearFreesTheArray) {
  MessageSlot slot;
  slot.data = allocateMessageData(16);
  slot.capacity = 16;
  slot.size = 16;
  uint8_t* const data = slot.data;
  alloc_watch::watch(data);
  slot.clear();
  EXPECT_EQ(alloc_watch::freeCount(data), 1);
  EXPECT_EQ(slot.data, nullptr);
  EXPECT_EQ(slot.size, 0);
  EXPECT_EQ(slot.capacity, 0u);
  alloc_watch::forget(data);
}

// ---------------------------------------------------------------------------------------------
// Running out of memory.

TEST(FramingMemory, NoArrayForTheMessageIsNoMemory) {
  Receiver receiver(kLimit);
  const Bytes whole = message(40, 1);
  alloc_watch::failNextNothrowArrayAllocations(1);
  receiver.read(whole);
  alloc_watch::failNextNothrowArrayAllocations(0);
  EXPECT_EQ(receiver.last, FrameResult::NoMemory);
  EXPECT_TRUE(receiver.messages.empty());
  EXPECT_EQ(receiver.slot.data, nullptr);
  EXPECT_EQ(receiver.slot.capacity, 0u);
  EXPECT_EQ(receiver.parseOffset(), 0);
}

TEST(FramingMemory, BufferThatCannotGrowIsNoMemory) {
  ReceiveBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  MessageSlot slot;
  // The slot already holds an array large enough, so the larger buffer is the only allocation.
  slot.data = allocateMessageData(3000);
  slot.capacity = 3000;
  const Bytes whole = message(3000, 1);
  std::memcpy(buffer.freeStart(), whole.data(), 2048);
  buffer.commit(2048);
  alloc_watch::failNextNothrowArrayAllocations(1);
  const FrameResult answer = buffer.frame(slot, kLimit);
  alloc_watch::failNextNothrowArrayAllocations(0);
  EXPECT_EQ(answer, FrameResult::NoMemory);
  EXPECT_EQ(buffer.capacity(), 2048);
  EXPECT_EQ(buffer.parsePos(), buffer.start());
  EXPECT_EQ(buffer.dataEnd() - buffer.start(), 2048);
  // With memory back, the next framing grows the buffer and goes on.
  EXPECT_EQ(buffer.frame(slot, kLimit), FrameResult::NeedMore);
  EXPECT_EQ(buffer.capacity(), 4096);
}

} // namespace
