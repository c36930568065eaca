#pragma once
// First-in first-out queue of block references with its own lock (spin count 100). The lock
// guards head, tail and count only, for one operation at a time; the plain forms expect the
// caller to hold it.
#include <cstdint>

#include "client/CriticalSection.h"
#include "client/MessageBlock.h"

class MessageQueue {
public:
  MessageQueue() noexcept : lock_(100) {}
  ~MessageQueue() { clear(); }
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  CriticalSection& lock() noexcept { return lock_; }

  // Appends a new reference to `block`; false (nothing queued) when no node can be allocated.
  bool push(MessageBlock* block) noexcept;     // takes the lock
  bool pushHeld(MessageBlock* block) noexcept; // caller holds the lock

  // Moves the oldest block's reference into `holder` (dropping what it held); false when empty,
  // leaving `holder` as it was. Caller holds the lock.
  bool popHeld(BlockRef& holder) noexcept;
  // Takes the lock for one pop.
  bool pop(BlockRef& holder) noexcept;

  // Drops every node with its reference. Caller holds the lock where other threads can reach
  // the queue.
  void clear() noexcept;

  int32_t count() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  MessageBlock* front() const noexcept; // for tests: the head's block, or null
  MessageBlock* back() const noexcept;  // for tests: the tail's block, or null

private:
  MessageBlock* unlinkHead() noexcept; // the head's reference, or null when empty

  struct Node {
    MessageBlock* block;
    Node* next;
  };
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  int32_t count_ = 0;
  CriticalSection lock_;
};
