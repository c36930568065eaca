#pragma once
// Cuts the server's byte stream into messages. Every message opens with its total size as a
// 32-bit little-endian integer; messages follow each other with nothing between them except
// zero filler. Reads land at the free end of one reusable buffer; the bytes of each complete
// message are copied once, into a slot array of exactly its size that the consumer then owns.
#include <cstdint>
#include <memory>

enum class FrameResult { MessageReady, NeedMore, TooLarge, BadSize, NoMemory };

// The message being assembled. After a message was handed on it is (0, 0, null) again.
struct MessageSlot {
  int32_t size = 0;
  uint32_t capacity = 0;
  uint8_t* data = nullptr; // allocated with allocateMessageData, owned by the slot
  ~MessageSlot();
  void clear() noexcept;        // frees data, back to (0, 0, null)
  uint8_t* takeData() noexcept; // hands the data on and leaves (0, 0, null)
};

class ReceiveBuffer {
public:
  static constexpr int32_t kInitialCapacity = 2048;
  static constexpr int32_t kGrowthStep = 2048;
  static constexpr int32_t kGrowthLimit = 0x100000; // the buffer never grows past 1 MiB

  // Allocates the 2048-byte buffer; false when memory runs out.
  bool allocate() noexcept;
  void release() noexcept; // frees the buffer, cursors null
  // Drops anything half-received: both cursors back to the start.
  void reset() noexcept;

  // Where the next read lands and how much it may write.
  uint8_t* freeStart() const noexcept { return dataEnd_; }
  uint32_t freeLength() const noexcept;
  // A read delivered `count` bytes at freeStart().
  void commit(uint32_t count) noexcept;

  // Takes one message out of the buffer into `slot`, then keeps room for the next read.
  // A size above maxReceiveSize, or above kGrowthLimit (such a message could never fit the
  // buffer), answers TooLarge; nothing of the stream behind it is used. A run of zero filler
  // answers MessageReady with the slot empty; a run that reaches the end of the data goes on
  // into the next read. NoMemory also when the buffer cannot grow for a message that needs it,
  // or has no memory at all.
  FrameResult frame(MessageSlot& slot, uint32_t maxReceiveSize) noexcept;

  uint8_t* start() const noexcept { return buffer_.get(); }
  uint8_t* dataEnd() const noexcept { return dataEnd_; }
  uint8_t* parsePos() const noexcept { return parsePos_; }
  int32_t capacity() const noexcept { return capacity_; }

private:
  FrameResult takeMessage(MessageSlot& slot, uint32_t maxReceiveSize) noexcept;
  FrameResult skipFiller(MessageSlot& slot) noexcept;
  bool keepRoom(FrameResult answer) noexcept; // false when the buffer could not grow
  bool nextMessageComplete() const noexcept;
  void rewindIfConsumed() noexcept;

  std::unique_ptr<uint8_t[]> buffer_;
  int32_t capacity_ = 0;
  uint8_t* dataEnd_ = nullptr;
  uint8_t* parsePos_ = nullptr;
  // The last filler run reached the end of the data: zero bytes that arrive next belong to it.
  bool fillerContinues_ = false;
};
