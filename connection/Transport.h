#pragma once
// One channel to the SimConnect server: the client end of a named pipe, or a TCP socket.
// It keeps exactly one overlapped read outstanding, cuts the incoming stream into messages,
// writes queued messages one at a time, and turns every failure into a disconnect with a reason
// and a code. Completions run on system thread-pool threads (BindIoCompletionCallback).
//
// Lifetime: the owner holds the first reference; every posted read or write holds one more until
// its completion has run (or its posting failed). The last Release destroys the object.
#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "client/CriticalSection.h" // also the invariant checks of the test build
#include "client/MessageBlock.h"
#include "client/MessageQueue.h"
#include "connection/Framing.h"
#include "connection/UniqueHandle.h"

enum class TransportKind : int32_t { Tcp = 0, NamedPipe = 1 };

enum TransportState : int32_t { StateClosed = 0, StateConnected = 2 };

class Transport;

// The overlapped block of one direction; the completion routine finds its transport through it.
struct IoBlock {
  OVERLAPPED overlapped;
  Transport* owner;
  bool isWrite;
  uint8_t* ownedData; // write only: data of the write in flight, freed when the next one starts
  WSABUF wsaBuffer;
  // Read only: Winsock writes the receive's flags here when the receive completes, long after
  // WSARecv returned, so they live with the block rather than on the posting thread's stack.
  DWORD receiveFlags;
};

// Process-wide counters of transports.
extern std::atomic<uint32_t> connectionSerialCounter;
extern std::atomic<int32_t> liveTransportCount;

class Transport {
public:
  explicit Transport(TransportKind kind) noexcept;
  virtual ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Virtual operations, in this order.
  virtual void OnConnected();
  virtual void Disconnect(int32_t reason, uint32_t code);
  virtual void OnMessage(MessageSlot& slot);
  virtual void OnRawRead();

  // Blocks until connected; true on FAILURE. family: AF_INET/AF_INET6 for TCP, 0 for the pipe.
  // For the pipe, `address` is the machine and `port` the pipe name (both may be empty).
  bool Connect(int32_t family, const wchar_t* address, const wchar_t* port, uint32_t maxReceiveSize,
               bool disableNagle);

  // Queues one finished message and starts writing unless a write is in flight. The queue takes
  // its own reference. False when the message was not handed over: the transport is not
  // connected (nothing queued), or its write could not even be posted. Such a write ends the
  // connection, but not here: the sender holds its locks, and the loss wakes the caller. It is
  // kept for endFailedWrite, and no other write starts in the meantime.
  bool Send(MessageBlock* block);
  // Ends the connection for the write whose posting failed in Send, once; nothing when no write
  // failed. Runs with no lock held.
  void endFailedWrite();

  bool IsLost() const noexcept { return lostReason.load(std::memory_order_acquire) != 0; }
  void AddRef() noexcept {
    WB_CHECK_LIVE(this, "a transport is not used after its final release");
    WB_CHECK_RELEASE(refCount.fetch_add(1, std::memory_order_relaxed),
                     "a transport's reference count never goes below zero");
  }
  // Drops one reference; true when that destroyed the object.
  bool Release() noexcept;

  TransportKind kind;
  HANDLE handle = INVALID_HANDLE_VALUE; // pipe handle or socket
  std::atomic<int32_t> state{StateClosed};
  uint32_t lastSystemError = 0;
  uint32_t lastCode = 0;
  uint32_t bytesReceived = 0;
  MessageQueue sendQueue;
  bool writeInProgress = false;
  uint32_t bytesSent = 0;
  ReceiveBuffer receive;
  CriticalSection stateLock;
  std::unique_ptr<MessageSlot> messageSlot;
  bool disableNagle = false;
  IoBlock readBlock{};
  IoBlock writeBlock{};
  std::atomic<uint32_t> connectionSerial{0};
  uint32_t maxReceiveSize = 1024;
  std::atomic<int32_t> refCount{1};
  std::atomic<int32_t> lostReason{0};
  WB_LIVE_MARKER
  WB_IO_COUNTERS

protected:
  // Closes the channel. The first failure (reason not 0) records lastSystemError, lastCode and
  // lostReason together under stateLock and gives true; any later call records nothing and gives
  // false, so that a loss is reported, and its caller woken, exactly once.
  bool endConnection(int32_t reason, uint32_t code);
  // Disconnects with `systemError` on record as the loss's system error: endConnection records
  // the thread's last error, which is made that of the failure here rather than whatever an
  // earlier call on this thread left behind.
  void disconnectFor(int32_t reason, uint32_t code, uint32_t systemError);

private:
  friend struct TransportIo;
  // Each gives 0 when connected, else the system error of the step that failed.
  uint32_t connectPipe(const std::wstring& path);
  uint32_t connectTcp(int32_t family, const wchar_t* host, const wchar_t* port);
  bool setUpConnection(HANDLE connected, uint32_t maxReceive, bool nagleOff);
  void postRead();
  // Starts the next queued write; returns the Win32 error of a posting that failed at once.
  uint32_t startWrite(bool force);
  // Ends the connection for a read or write whose posting failed at once (0: nothing failed).
  void failPosting(uint32_t error, bool isWrite);
  // Gives up an operation whose posting failed at once: it is no longer outstanding and drops
  // the reference it held. False when the posting did not fail.
  bool dropFailedPosting(uint32_t error, bool isWrite);
  // Ends the connection for a posting that failed with `error`, as a failed completion would.
  void endForPosting(uint32_t error);
  void onCompletion(IoBlock& block, uint32_t status, uint32_t bytes);
  void onReadCompleted(uint32_t bytes);
  void finalRelease() noexcept;

  UniqueEvent writeEvent_;
  UniqueEvent readEvent_;
  std::atomic<uint32_t> failedWriteError_{0}; // a posting that failed in Send, not yet ended
};
