#include "connection/Framing.h"

#include <cstring>
#include <new>

#include "client/MessageBlock.h"

namespace {

constexpr uint32_t kSizeFieldLength = 4;

uint32_t loadSize(const uint8_t* at) noexcept {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

} // namespace

MessageSlot::~MessageSlot() {
  clear();
}

void MessageSlot::clear() noexcept {
  if (data != nullptr) freeMessageData(data);
  data = nullptr;
  size = 0;
  capacity = 0;
}

uint8_t* MessageSlot::takeData() noexcept {
  uint8_t* taken = data;
  data = nullptr;
  size = 0;
  capacity = 0;
  return taken;
}

bool ReceiveBuffer::allocate() noexcept {
  release();
  buffer_.reset(new (std::nothrow) uint8_t[kInitialCapacity]);
  if (!buffer_) return false;
  capacity_ = kInitialCapacity;
  reset();
  return true;
}

void ReceiveBuffer::release() noexcept {
  buffer_.reset();
  capacity_ = 0;
  dataEnd_ = nullptr;
  parsePos_ = nullptr;
  fillerContinues_ = false;
}

void ReceiveBuffer::reset() noexcept {
  dataEnd_ = start();
  parsePos_ = start();
  fillerContinues_ = false;
}

uint32_t ReceiveBuffer::freeLength() const noexcept {
  if (!buffer_) return 0;
  return static_cast<uint32_t>(capacity_ - (dataEnd_ - start()));
}

void ReceiveBuffer::commit(uint32_t count) noexcept {
  // A read never delivers more than the room it was given.
  const uint32_t room = freeLength();
  dataEnd_ += count < room ? count : room;
}

FrameResult ReceiveBuffer::frame(MessageSlot& slot, uint32_t maxReceiveSize) noexcept {
  if (!buffer_) return FrameResult::NoMemory; // allocate() failed or was never called
  const FrameResult answer = takeMessage(slot, maxReceiveSize);
  if (answer == FrameResult::TooLarge) return answer; // the stream ends here: no room-keeping
  if (!keepRoom(answer) && answer == FrameResult::NeedMore) return FrameResult::NoMemory;
  return answer;
}

FrameResult ReceiveBuffer::takeMessage(MessageSlot& slot, uint32_t maxReceiveSize) noexcept {
  if (fillerContinues_ && parsePos_ < dataEnd_) {
    if (*parsePos_ == 0) return skipFiller(slot);
    fillerContinues_ = false;
  }
  const uint32_t available = static_cast<uint32_t>(dataEnd_ - parsePos_);
  if (available < kSizeFieldLength) return FrameResult::NeedMore;

  const uint32_t size = loadSize(parsePos_);
  // The buffer stops growing at kGrowthLimit: a larger message could never be assembled, so it
  // is refused like one above the configured limit instead of waiting for room forever.
  if (size > maxReceiveSize || size > static_cast<uint32_t>(kGrowthLimit))
    return FrameResult::TooLarge;
  if (size == 0) return skipFiller(slot);
  if (size < kSizeFieldLength) return FrameResult::BadSize;

  if (size > slot.capacity) {
    slot.clear();
    slot.data = allocateMessageData(size);
    if (slot.data == nullptr) return FrameResult::NoMemory;
    slot.capacity = size;
  }
  slot.size = static_cast<int32_t>(size);
  if (available < size) return FrameResult::NeedMore; // the slot keeps its array meanwhile

  std::memcpy(slot.data, parsePos_, size);
  parsePos_ += size;
  rewindIfConsumed();
  return FrameResult::MessageReady;
}

FrameResult ReceiveBuffer::skipFiller(MessageSlot& slot) noexcept {
  while (parsePos_ < dataEnd_ && *parsePos_ == 0)
    ++parsePos_;
  fillerContinues_ = parsePos_ == dataEnd_;
  rewindIfConsumed();
  slot.clear(); // the consumer is handed an empty message
  return FrameResult::MessageReady;
}

void ReceiveBuffer::rewindIfConsumed() noexcept {
  if (parsePos_ == dataEnd_) {
    parsePos_ = start();
    dataEnd_ = start();
  }
}

bool ReceiveBuffer::nextMessageComplete() const noexcept {
  const uint32_t remaining = static_cast<uint32_t>(dataEnd_ - parsePos_);
  return remaining >= kSizeFieldLength && loadSize(parsePos_) <= remaining;
}

bool ReceiveBuffer::keepRoom(FrameResult answer) noexcept {
  if (answer == FrameResult::MessageReady && nextMessageComplete()) return true;
  if (dataEnd_ - start() < capacity_) return true; // the next read lands behind the data

  if (parsePos_ > start()) {
    const size_t pending = static_cast<size_t>(dataEnd_ - parsePos_);
    std::memmove(start(), parsePos_, pending);
    parsePos_ = start();
    dataEnd_ = start() + pending;
    return true;
  }

  // Full with the head of one message: grow by one step; the next read fills the new room.
  if (capacity_ >= kGrowthLimit) return true;
  const int32_t grownCapacity = capacity_ + kGrowthStep;
  std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[grownCapacity]);
  if (!grown) return false;
  std::memcpy(grown.get(), start(), static_cast<size_t>(capacity_));
  const ptrdiff_t parseOffset = parsePos_ - start();
  const ptrdiff_t endOffset = dataEnd_ - start();
  buffer_ = std::move(grown);
  capacity_ = grownCapacity;
  parsePos_ = start() + parseOffset;
  dataEnd_ = start() + endOffset;
  return true;
}
