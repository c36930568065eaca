#include "client/MessageQueue.h"

#include <new>

bool MessageQueue::push(MessageBlock* block) noexcept {
  auto guard = lock_.lock();
  return pushHeld(block);
}

bool MessageQueue::pushHeld(MessageBlock* block) noexcept {
  // Nodes hold one block reference each and are owned by the queue's links.
  Node* node = new (std::nothrow) Node{block, nullptr};
  if (node == nullptr) return false;
  block->addRef();
  if (tail_ == nullptr) {
    head_ = node;
  } else {
    tail_->next = node;
  }
  tail_ = node;
  ++count_;
  return true;
}

MessageBlock* MessageQueue::unlinkHead() noexcept {
  if (count_ == 0) return nullptr;
  Node* node = head_;
  head_ = node->next;
  if (head_ == nullptr) tail_ = nullptr;
  --count_;
  MessageBlock* block = node->block;
  delete node;
  return block;
}

bool MessageQueue::popHeld(BlockRef& holder) noexcept {
  MessageBlock* block = unlinkHead();
  if (block == nullptr) return false;
  holder.reset(block);
  return true;
}

bool MessageQueue::pop(BlockRef& holder) noexcept {
  MessageBlock* block;
  {
    auto guard = lock_.lock();
    block = unlinkHead();
  }
  if (block == nullptr) return false;
  holder.reset(block); // the block held before is dropped outside the lock
  return true;
}

void MessageQueue::clear() noexcept {
  while (head_ != nullptr) {
    Node* node = head_;
    head_ = node->next;
    node->block->release();
    delete node;
  }
  tail_ = nullptr;
  count_ = 0;
}

MessageBlock* MessageQueue::front() const noexcept {
  return head_ != nullptr ? head_->block : nullptr;
}

MessageBlock* MessageQueue::back() const noexcept {
  return tail_ != nullptr ? tail_->block : nullptr;
}
