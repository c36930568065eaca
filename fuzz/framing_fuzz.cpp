// Feeds an arbitrary byte stream to the receive framing in reads cut at boundaries derived from
// the input, the way the transport does, and checks it against a plain reading of the whole
// stream in one piece: the same messages in the same order, whole and of their header's size,
// the same final answer, and the buffer's cursors always inside the buffer.
//
// Input: byte 0 picks the receive limit (or takes it from bytes 1..4), the next four bytes seed
// the read lengths, byte 5 picks their largest value; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/MessageBlock.h"
#include "connection/Framing.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLargestMessage = 0x100000; // the buffer never grows past this

void check(bool condition) {
  if (!condition) std::abort();
}

uint32_t load32(const uint8_t* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

struct Outcome {
  std::vector<Bytes> messages;
  FrameResult last = FrameResult::NeedMore;
  size_t pending = 0; // bytes received but not yet used when the stream ended in NeedMore
};

// The whole stream read in one piece: messages back to back, zero bytes between them skipped.
Outcome readWhole(const uint8_t* stream, size_t length, uint32_t limit) {
  Outcome outcome;
  size_t pos = 0;
  for (;;) {
    const size_t available = length - pos;
    if (available < 4) {
      outcome.pending = available;
      return outcome;
    }
    const uint32_t size = load32(stream + pos);
    if (size > limit || size > kLargestMessage) {
      outcome.last = FrameResult::TooLarge;
      return outcome;
    }
    if (size == 0) {
      while (pos < length && stream[pos] == 0)
        ++pos;
      continue;
    }
    if (size < 4) {
      outcome.last = FrameResult::BadSize;
      return outcome;
    }
    if (available < size) {
      outcome.pending = available;
      return outcome;
    }
    outcome.messages.emplace_back(stream + pos, stream + pos + size);
    pos += size;
  }
}

void checkCursors(const ReceiveBuffer& buffer) {
  check(buffer.capacity() >= ReceiveBuffer::kInitialCapacity);
  check(buffer.capacity() <= ReceiveBuffer::kGrowthLimit);
  check(buffer.capacity() % ReceiveBuffer::kGrowthStep == 0);
  check(buffer.start() <= buffer.parsePos());
  check(buffer.parsePos() <= buffer.dataEnd());
  check(buffer.dataEnd() <= buffer.start() + buffer.capacity());
  check(buffer.freeStart() == buffer.dataEnd());
  check(buffer.freeLength() ==
        static_cast<uint32_t>(buffer.capacity() - (buffer.dataEnd() - buffer.start())));
}

// Small generator for the read lengths, so that the cuts follow from the input.
struct Cuts {
  uint32_t state;
  uint32_t largest;
  size_t next() {
    state = state * 1103515245u + 12345u;
    return 1 + (state >> 8) % largest;
  }
};

// The stream in reads of the lengths `cuts` gives (or as much as fits when `cuts` is null),
// framed after each read while the answer is MessageReady.
Outcome readInPieces(const uint8_t* stream, size_t length, uint32_t limit, Cuts* cuts) {
  Outcome outcome;
  ReceiveBuffer buffer;
  check(buffer.allocate());
  MessageSlot slot;
  size_t offset = 0;
  while (offset < length) {
    check(buffer.freeLength() > 0); // a read with no room would never complete usefully
    size_t piece = cuts != nullptr ? cuts->next() : length;
    if (piece > length - offset) piece = length - offset;
    if (piece > buffer.freeLength()) piece = buffer.freeLength();
    std::memcpy(buffer.freeStart(), stream + offset, piece);
    buffer.commit(static_cast<uint32_t>(piece));
    offset += piece;

    FrameResult answer;
    while ((answer = buffer.frame(slot, limit)) == FrameResult::MessageReady) {
      checkCursors(buffer);
      if (slot.size == 0) {
        check(slot.data == nullptr && slot.capacity == 0);
        continue;
      }
      check(slot.size >= 4 && slot.data != nullptr);
      check(static_cast<uint32_t>(slot.size) <= slot.capacity);
      check(load32(slot.data) == static_cast<uint32_t>(slot.size));
      check(static_cast<uint32_t>(slot.size) <= limit);
      outcome.messages.emplace_back(slot.data, slot.data + slot.size);
      freeMessageData(slot.takeData());
      check(slot.size == 0 && slot.capacity == 0 && slot.data == nullptr);
    }
    outcome.last = answer;
    if (answer != FrameResult::TooLarge) checkCursors(buffer);
    if (answer != FrameResult::NeedMore) return outcome; // the transport disconnects here
  }
  outcome.pending = static_cast<size_t>(buffer.dataEnd() - buffer.parsePos());
  return outcome;
}

bool same(const Outcome& a, const Outcome& b) {
  return a.messages == b.messages && a.last == b.last &&
         (a.last != FrameResult::NeedMore || a.pending == b.pending);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  static const uint32_t kLimits[] = {
      0, 3, 4, 5, 16, 100, 1024, 2048, 2049, 4096, 0x10000, kLargestMessage, 0xFFFFFFFF};
  constexpr size_t kLimitChoices = sizeof kLimits / sizeof kLimits[0];
  const uint32_t limit = data[0] % (kLimitChoices + 1) == kLimitChoices
                             ? load32(data + 1)
                             : kLimits[data[0] % (kLimitChoices + 1)];
  static const uint32_t kLargestReads[] = {1, 2, 3, 5, 8, 64, 700, 2048, 5000};
  Cuts cuts{load32(data + 1),
            kLargestReads[data[5] % (sizeof kLargestReads / sizeof kLargestReads[0])]};
  const uint8_t* stream = data + 6;
  const size_t length = size - 6;

  const Outcome whole = readWhole(stream, length, limit);
  check(same(whole, readInPieces(stream, length, limit, &cuts)));
  check(same(whole, readInPieces(stream, length, limit, nullptr)));
  return 0;
}
