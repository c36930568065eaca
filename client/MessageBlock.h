#pragma once
// A message in transit, shared by reference between the send path, the queues, a write in flight
// and the dispatching thread. References are counted atomically; the last one destroys the block,
// which frees `data` unless it was taken out (set to null) or belongs to the simulator.
#include <atomic>
#include <cstdint>
#include <utility>

#include "checked/Checked.h"

// Message bytes owned by this library are allocated and freed through these two functions only.
uint8_t* allocateMessageData(uint32_t length) noexcept;
void freeMessageData(uint8_t* data) noexcept;

class MessageBlock {
public:
  // The creator holds the first reference. Gives null when memory runs out; `data` then stays
  // with the caller.
  static MessageBlock* create(uint8_t* data, uint32_t length, uint32_t connectionSerial,
                              uint32_t hostOwned) noexcept;

  void addRef() noexcept;
  void release() noexcept;

  std::atomic<int32_t> refCount{1};
  uint8_t* data;
  uint32_t length;
  uint32_t connectionSerial;
  uint32_t hostOwned; // 1: `data` belongs to the simulator and goes back through hostRelease
  WB_LIVE_MARKER

protected:
  MessageBlock(uint8_t* data, uint32_t length, uint32_t connectionSerial,
               uint32_t hostOwned) noexcept;
  virtual ~MessageBlock();
};

// Holds one reference to a block (or none) and drops it when it goes.
class BlockRef {
public:
  BlockRef() noexcept = default;
  explicit BlockRef(MessageBlock* adopted) noexcept : block_(adopted) {}
  ~BlockRef() { reset(); }
  BlockRef(BlockRef&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  BlockRef& operator=(BlockRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.block_, nullptr));
    return *this;
  }
  BlockRef(const BlockRef&) = delete;
  BlockRef& operator=(const BlockRef&) = delete;

  // Drops the reference held so far and adopts `adopted` (already counted for this holder).
  void reset(MessageBlock* adopted = nullptr) noexcept {
    MessageBlock* old = std::exchange(block_, adopted);
    if (old != nullptr) old->release();
  }
  MessageBlock* detach() noexcept { return std::exchange(block_, nullptr); }
  MessageBlock* get() const noexcept { return block_; }
  MessageBlock* operator->() const noexcept { return block_; }
  explicit operator bool() const noexcept { return block_ != nullptr; }

private:
  MessageBlock* block_ = nullptr;
};
