#pragma once
// The best a channel can do: a raw client of the stand-in server on the named pipe or on TCP,
// with no framing, queueing or wake-up of its own. The comparison figure for every channel
// benchmark.
//
// Bound to the pool, its completions arrive through BindIoCompletionCallback on system
// thread-pool threads, as the library's do: one write and one read in flight at most, a write
// chain whose every completion posts the next write, and a reader that counts records by their
// size field. Not bound, its operations are waited for directly through events (the shortest
// possible round trip).
#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connection/UniqueHandle.h"

namespace bench {

enum class ChannelKind { Pipe, Tcp };

inline const char* channelName(ChannelKind kind) {
  return kind == ChannelKind::Pipe ? "pipe" : "tcp";
}

class BareChannel {
public:
  // Connects to the pipe at `pipePath` or to 127.0.0.1:`port` (TCP_NODELAY set). Throws
  // std::runtime_error when the channel cannot be opened.
  BareChannel(ChannelKind kind, const std::wstring& pipePath, uint16_t port, bool bindToPool);
  ~BareChannel();
  BareChannel(const BareChannel&) = delete;
  BareChannel& operator=(const BareChannel&) = delete;

  // Bound: one overlapped write; waitWrites() returns once it completed. False when it could
  // not be posted.
  bool postWrite(const uint8_t* data, uint32_t size);
  // Bound: `count` writes of `size` bytes each, taken in turn from `data`, one in flight; each
  // completion posts the next.
  bool startWriteChain(const uint8_t* data, uint32_t size, size_t count);
  bool waitWrites(DWORD timeoutMs);

  // Bound: keeps one read of `bufferSize` bytes in flight until `records` more whole records
  // have arrived (records are counted by their leading 32-bit size, never copied).
  bool startCounting(uint64_t records, uint32_t bufferSize);
  bool waitRecords(DWORD timeoutMs);
  uint64_t recordsCounted() const { return recordsCounted_.load(); }
  uint64_t bytesCounted() const { return bytesCounted_.load(); }

  // Not bound: the whole buffer written, or exactly `size` bytes read, waiting for each.
  bool writeBlocking(const uint8_t* data, uint32_t size);
  bool readBlocking(uint8_t* data, uint32_t size);
  // Not bound: a request and its reply of `replySize` bytes. The read is posted before the write,
  // as a reader that always has a read outstanding would, and only then is anything waited for.
  bool exchangeBlocking(const uint8_t* request, uint32_t requestSize, uint8_t* reply,
                        uint32_t replySize);

  // Completions that reported an error or a short transfer.
  uint32_t failures() const { return failures_.load(); }

private:
  struct Operation {
    OVERLAPPED overlapped;
    BareChannel* owner;
    bool isWrite;
    WSABUF buffer;
    DWORD flags; // a receive's flags, written by Winsock when it completes
  };
  static VOID CALLBACK completed(DWORD error, DWORD bytes, LPOVERLAPPED overlapped);
  void onWriteCompleted(DWORD error, DWORD bytes);
  void onReadCompleted(DWORD error, DWORD bytes);
  bool issue(Operation& operation, uint8_t* data, uint32_t size, HANDLE event);
  bool start(Operation& operation, uint8_t* data, uint32_t size);
  bool postRead();
  void countRecords(const uint8_t* data, uint32_t size);
  bool finishBlocking(Operation& operation, DWORD& bytes);

  ChannelKind kind_;
  bool bound_;
  UniqueFileHandle pipe_;
  UniqueSocket socket_;
  UniqueEvent blockingEvent_;
  UniqueEvent blockingReadEvent_;
  // Auto-reset, so that starting an operation makes no system call besides the I/O itself; each
  // start is followed by exactly one wait.
  UniqueEvent writesDone_;
  UniqueEvent recordsDone_;

  Operation write_{};
  const uint8_t* chainData_ = nullptr;
  uint32_t chainSize_ = 0;
  size_t chainCount_ = 0;
  size_t chainDone_ = 0;

  Operation read_{};
  std::vector<uint8_t> readBuffer_;
  uint64_t recordTarget_ = 0;
  std::atomic<uint64_t> recordsCounted_{0};
  std::atomic<uint64_t> bytesCounted_{0};
  // Where the stream stands: bytes of the size field seen so far, and bytes of the current
  // record still to come.
  uint32_t sizeBytesSeen_ = 0;
  uint32_t sizeField_ = 0;
  uint64_t recordRemaining_ = 0;

  std::atomic<uint32_t> failures_{0};
  std::atomic<int> inFlight_{0}; // bound operations whose completion has not yet run
};

} // namespace bench
