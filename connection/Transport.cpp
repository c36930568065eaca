#include "connection/Transport.h"

#include <cstdio>
#include <new>

#include "connection/CompletionStatus.h"

std::atomic<uint32_t> connectionSerialCounter{0};
std::atomic<int32_t> liveTransportCount{0};

namespace {

// Next connection number; 0 never names a connection.
uint32_t nextConnectionSerial() noexcept {
  uint32_t current = connectionSerialCounter.load();
  uint32_t next;
  do {
    next = current + 1;
    if (next == 0) next = 1;
  } while (!connectionSerialCounter.compare_exchange_weak(current, next));
  return next;
}

void resetOverlapped(IoBlock& block) noexcept {
  HANDLE event = block.overlapped.hEvent;
  ZeroMemory(&block.overlapped, sizeof(block.overlapped));
  block.overlapped.hEvent = event;
}

} // namespace

// Entry from the system thread pool for every completed read and write.
struct TransportIo {
  static VOID CALLBACK completion(DWORD status, DWORD bytes, LPOVERLAPPED overlapped) {
    if (overlapped == nullptr) return;
    auto* block = CONTAINING_RECORD(overlapped, IoBlock, overlapped);
    WB_CHECK_LIVE(block->owner, "a completion finds its transport alive");
    block->owner->onCompletion(*block, status, bytes);
  }
};

LPOVERLAPPED_COMPLETION_ROUTINE transportCompletionRoutine() {
  return &TransportIo::completion;
}

Transport::Transport(TransportKind transportKind) noexcept : kind(transportKind) {
  stateLock.setRank(LockRank::State);
  sendQueue.lock().setRank(LockRank::SendQueue);
  liveTransportCount.fetch_add(1);
}

Transport::~Transport() {
  {
    auto guard = sendQueue.lock().lock();
    sendQueue.clear();
  }
  freeMessageData(writeBlock.ownedData);
  writeBlock.ownedData = nullptr;
  if (handle != INVALID_HANDLE_VALUE) {
    // Only reached when an owner destroys a transport it never disconnected.
    if (kind == TransportKind::Tcp) {
      closesocket(reinterpret_cast<SOCKET>(handle));
    } else {
      CloseHandle(handle);
    }
  }
  liveTransportCount.fetch_sub(1);
  WB_POISON(this);
}

void Transport::OnConnected() {
  {
    auto guard = sendQueue.lock().lock();
    sendQueue.clear();
  }
  {
    auto guard = stateLock.lock();
    freeMessageData(writeBlock.ownedData);
    writeBlock.ownedData = nullptr;
    writeInProgress = false;
    connectionSerial = nextConnectionSerial();
  }
  receive.reset();
  if (kind == TransportKind::NamedPipe) {
    writeEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!writeEvent_.valid()) std::printf("CreateEvent failed with %d.\n", int(GetLastError()));
    readEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!readEvent_.valid()) std::printf("CreateEvent failed with %d.\n", int(GetLastError()));
    // The events stay out of the OVERLAPPED blocks: completions arrive through the thread pool
    // anyway, and Wine cancels evented I/O when the thread that started it ends, which would cut
    // the connection of a caller that opened or sent from a short-lived thread.
  }
}

void Transport::Disconnect(int32_t reason, uint32_t code) {
  endConnection(reason, code);
}

void Transport::disconnectFor(int32_t reason, uint32_t code, uint32_t systemError) {
  SetLastError(systemError); // what WSAGetLastError reads as well
  Disconnect(reason, code);
}

bool Transport::endConnection(int32_t reason, uint32_t code) {
  int32_t oldState;
  bool firstLoss = false;
  {
    auto guard = stateLock.lock();
    oldState = state.exchange(StateClosed);
    connectionSerial = 0;
    // The first failure records its code before the reason that makes the loss visible, both
    // under the lock, so IsLost never holds without its code; a later failure (a read and a
    // write failing together, say) changes neither.
    if (reason != status::ReasonOrderly && lostReason.load(std::memory_order_relaxed) == 0) {
      lastSystemError =
          kind == TransportKind::Tcp ? uint32_t(WSAGetLastError()) : uint32_t(GetLastError());
      lastCode = code;
      lostReason.store(reason, std::memory_order_release);
      firstLoss = true;
    }
  }
  if (oldState == StateConnected) {
    // Nothing posts I/O once the state is closed, so the handle can be closed outside the lock.
    if (kind == TransportKind::Tcp) {
      auto socket = reinterpret_cast<SOCKET>(std::exchange(handle, INVALID_HANDLE_VALUE));
      shutdown(socket, SD_BOTH);
      CancelIo(reinterpret_cast<HANDLE>(socket));
      closesocket(socket);
    } else {
      CloseHandle(std::exchange(handle, INVALID_HANDLE_VALUE));
      readEvent_.reset();
      writeEvent_.reset();
    }
  }
  return firstLoss;
}

void Transport::OnMessage(MessageSlot&) {}

void Transport::OnRawRead() {}

bool Transport::Release() noexcept {
  WB_CHECK_LIVE(this, "a transport is not used after its final release");
  const int32_t before = refCount.fetch_sub(1, std::memory_order_acq_rel);
  WB_CHECK_RELEASE(before, "a transport's reference count never goes below zero");
  if (before != 1) return false;
  finalRelease();
  return true;
}

void Transport::finalRelease() noexcept {
  {
    auto guard = sendQueue.lock().lock();
    sendQueue.clear();
  }
  receive.release();
  messageSlot.reset();
  delete this; // the object lives by its reference count
}

bool Transport::setUpConnection(HANDLE connected, uint32_t maxReceive, bool nagleOff) {
  handle = connected;
  maxReceiveSize = maxReceive;
  disableNagle = nagleOff;
  messageSlot.reset(new (std::nothrow) MessageSlot());
  if (!receive.allocate() || messageSlot == nullptr) {
    receive.release();
    messageSlot.reset();
    return true; // the handle is closed by the destructor
  }
  lostReason = 0;
  readBlock = IoBlock{};
  writeBlock = IoBlock{};
  readBlock.owner = this;
  writeBlock.owner = this;
  readBlock.isWrite = false;
  writeBlock.isWrite = true;
  state = StateClosed;
  OnConnected();
  postRead();
  return false;
}

void Transport::postRead() {
  bytesReceived = 0;
  uint32_t error = 0;
  {
    auto guard = stateLock.lock();
    if (state != StateConnected) return;
    uint8_t* at = receive.freeStart();
    const uint32_t length = receive.freeLength();
    resetOverlapped(readBlock);
    readBlock.wsaBuffer.len = length;
    readBlock.wsaBuffer.buf = reinterpret_cast<char*>(at);
    AddRef(); // held by the read until its completion has run
    WB_IO_POSTED(*this, false);
    if (kind == TransportKind::Tcp) {
      DWORD received = 0;
      readBlock.receiveFlags = 0;
      if (WSARecv(reinterpret_cast<SOCKET>(handle), &readBlock.wsaBuffer, 1, &received,
                  &readBlock.receiveFlags, &readBlock.overlapped, nullptr) == SOCKET_ERROR) {
        error = uint32_t(WSAGetLastError());
      }
    } else if (!ReadFile(handle, at, length, nullptr, &readBlock.overlapped)) {
      error = GetLastError();
    }
  }
  failPosting(error, false);
}

void Transport::failPosting(uint32_t error, bool isWrite) {
  if (dropFailedPosting(error, isWrite)) endForPosting(error);
}

bool Transport::dropFailedPosting(uint32_t error, bool isWrite) {
  if (status::classifyPostingFailure(error, kind == TransportKind::NamedPipe).proceed) {
    return false; // the completion routine takes it from here
  }
  WB_IO_ENDED(*this, isWrite);
  (void)isWrite;
  // The caller still holds its own reference, so this is never the last one.
  Release(); // the reference taken for the operation
  return true;
}

void Transport::endForPosting(uint32_t error) {
  // An operation that cannot even be posted would leave the connection silent or wedged for
  // good: end it the way a failed completion would, with the posting's error as the system error
  // on record.
  const auto verdict = status::classifyPostingFailure(error, kind == TransportKind::NamedPipe);
  disconnectFor(verdict.reason, verdict.code, error);
}

void Transport::endFailedWrite() {
  if (const uint32_t error = failedWriteError_.exchange(0); error != 0) endForPosting(error);
}

uint32_t Transport::startWrite(bool force) {
  if (!force && writeInProgress) return 0;
  freeMessageData(writeBlock.ownedData);
  writeBlock.ownedData = nullptr;
  BlockRef block;
  if (!sendQueue.pop(block)) {
    if (force) {
      writeBlock.wsaBuffer.buf = nullptr;
      writeInProgress = false;
    }
    return 0;
  }
  // The data moves from the block into the write; nothing is copied.
  uint8_t* data = std::exchange(block->data, nullptr);
  const uint32_t length = block->length;
  writeBlock.ownedData = data;
  writeBlock.wsaBuffer.len = length;
  writeBlock.wsaBuffer.buf = reinterpret_cast<char*>(data);
  resetOverlapped(writeBlock);
  AddRef(); // held by the write until its completion has run
  WB_IO_POSTED(*this, true);
  uint32_t error = 0;
  if (kind == TransportKind::Tcp) {
    DWORD sent = 0;
    if (WSASend(reinterpret_cast<SOCKET>(handle), &writeBlock.wsaBuffer, 1, &sent, 0,
                &writeBlock.overlapped, nullptr) == SOCKET_ERROR) {
      error = uint32_t(WSAGetLastError());
    }
  } else if (!WriteFile(handle, data, length, nullptr, &writeBlock.overlapped)) {
    error = GetLastError();
  }
  if (error == ERROR_IO_PENDING) error = 0;
  // Also after a posting that failed: the connection is about to end, and another write posted
  // before it has would be a second one outstanding.
  writeInProgress = true;
  return error;
}

bool Transport::Send(MessageBlock* block) {
  uint32_t error = 0;
  {
    auto guard = stateLock.lock();
    if (state != StateConnected) return false;
    if (!sendQueue.push(block)) return false;
    error = startWrite(false);
  }
  // Ended by endFailedWrite once the sender's locks are gone; until then writeInProgress keeps
  // every other write from starting.
  if (!dropFailedPosting(error, true)) return true;
  failedWriteError_.store(error);
  return false;
}

void Transport::onCompletion(IoBlock& block, uint32_t rawStatus, uint32_t bytes) {
  WB_IO_ENDED(*this, block.isWrite);
  if (state == StateConnected) {
    const bool isPipe = kind == TransportKind::NamedPipe;
    const uint32_t normalized = status::normalizeCompletionStatus(rawStatus);
    const auto verdict = status::classifyCompletion(normalized, bytes, isPipe);
    if (!verdict.proceed) {
      disconnectFor(verdict.reason, verdict.code, status::systemErrorOf(normalized, isPipe));
    } else if (block.isWrite) {
      uint32_t error = 0;
      {
        auto guard = stateLock.lock();
        if (state == StateConnected) error = startWrite(true);
      }
      failPosting(error, true);
    } else {
      onReadCompleted(bytes);
    }
  }
  Release(); // the reference the completed operation held
}

void Transport::onReadCompleted(uint32_t bytes) {
  receive.commit(bytes);
  bytesReceived = bytes;
  for (;;) {
    switch (receive.frame(*messageSlot, maxReceiveSize)) {
    case FrameResult::MessageReady:
      OnMessage(*messageSlot);
      if (state != StateConnected) return;
      continue;
    case FrameResult::NeedMore:
      postRead();
      return;
    // The read itself succeeded: these losses have no system error.
    case FrameResult::TooLarge:
      disconnectFor(status::ReasonTooLarge, status::kAbort, 0);
      return;
    case FrameResult::BadSize:
      disconnectFor(status::ReasonBadSize, status::kAbort, 0);
      return;
    case FrameResult::NoMemory:
      disconnectFor(status::ReasonNoMemory, status::kOutOfMemory, 0);
      return;
    }
  }
}
