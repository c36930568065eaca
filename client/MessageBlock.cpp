#include "client/MessageBlock.h"

#include <new>

uint8_t* allocateMessageData(uint32_t length) noexcept {
  return new (std::nothrow) uint8_t[length == 0 ? 1 : length];
}

void freeMessageData(uint8_t* data) noexcept {
  delete[] data;
}

MessageBlock::MessageBlock(uint8_t* data, uint32_t length, uint32_t connectionSerial,
                           uint32_t hostOwned) noexcept
    : data(data), length(length), connectionSerial(connectionSerial), hostOwned(hostOwned) {}

MessageBlock::~MessageBlock() {
  WB_POISON(this);
  // Simulator memory goes back through its own function, never to this library's allocator.
  if (data != nullptr && hostOwned == 0) freeMessageData(data);
}

MessageBlock* MessageBlock::create(uint8_t* data, uint32_t length, uint32_t connectionSerial,
                                   uint32_t hostOwned) noexcept {
  // Blocks live by manual reference counts: the last release deletes.
  return new (std::nothrow) MessageBlock(data, length, connectionSerial, hostOwned);
}

void MessageBlock::addRef() noexcept {
  WB_CHECK_LIVE(this, "a message block is not used after its final release");
  WB_CHECK_RELEASE(refCount.fetch_add(1, std::memory_order_relaxed),
                   "a message block's reference count never goes below zero");
}

void MessageBlock::release() noexcept {
  WB_CHECK_LIVE(this, "a message block is not used after its final release");
  const int32_t before = refCount.fetch_sub(1, std::memory_order_acq_rel);
  WB_CHECK_RELEASE(before, "a message block's reference count never goes below zero");
  if (before == 1) delete this;
}
