#include "bench/win/BareChannel.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>

namespace bench {
namespace {

constexpr DWORD kPipeBusyWaitMs = 5000;

std::runtime_error failure(const std::string& what, DWORD error) {
  return std::runtime_error(what + " failed with " + std::to_string(error));
}

HANDLE openPipe(const std::wstring& path) {
  for (;;) {
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(path.c_str(), kPipeBusyWaitMs))
      throw failure("opening the pipe", error);
  }
}

SOCKET openSocket(uint16_t port) {
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) throw failure("socket", DWORD(WSAGetLastError()));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const DWORD error = DWORD(WSAGetLastError());
    closesocket(socket);
    throw failure("connect", error);
  }
  const DWORD noDelay = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
             sizeof noDelay);
  return socket;
}

UniqueEvent makeEvent(bool manualReset) {
  UniqueEvent event(CreateEventW(nullptr, manualReset, FALSE, nullptr));
  if (!event.valid()) throw failure("CreateEvent", GetLastError());
  return event;
}

} // namespace

BareChannel::BareChannel(ChannelKind kind, const std::wstring& pipePath, uint16_t port,
                         bool bindToPool)
    : kind_(kind), bound_(bindToPool), blockingEvent_(makeEvent(true)),
      blockingReadEvent_(makeEvent(true)), writesDone_(makeEvent(false)),
      recordsDone_(makeEvent(false)) {
  HANDLE handle;
  if (kind == ChannelKind::Pipe) {
    pipe_.reset(openPipe(pipePath));
    handle = pipe_.get();
  } else {
    socket_.reset(openSocket(port));
    handle = reinterpret_cast<HANDLE>(socket_.get());
  }
  if (bound_ && !BindIoCompletionCallback(handle, &BareChannel::completed, 0))
    throw failure("BindIoCompletionCallback", GetLastError());
  write_.owner = this;
  write_.isWrite = true;
  read_.owner = this;
  read_.isWrite = false;
}

BareChannel::~BareChannel() {
  // Closing ends whatever is still in flight; its completion still runs and touches this object.
  socket_.reset();
  pipe_.reset();
  for (int waited = 0; inFlight_.load() > 0 && waited < 500; ++waited)
    Sleep(10);
}

VOID CALLBACK BareChannel::completed(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
  if (overlapped == nullptr) return;
  auto* operation = CONTAINING_RECORD(overlapped, Operation, overlapped);
  BareChannel* owner = operation->owner;
  if (operation->isWrite) {
    owner->onWriteCompleted(error, bytes);
  } else {
    owner->onReadCompleted(error, bytes);
  }
  --owner->inFlight_;
}

bool BareChannel::issue(Operation& operation, uint8_t* data, uint32_t size, HANDLE event) {
  ZeroMemory(&operation.overlapped, sizeof operation.overlapped);
  operation.overlapped.hEvent = event;
  operation.buffer.len = size;
  operation.buffer.buf = reinterpret_cast<char*>(data);
  if (bound_) ++inFlight_;
  const bool posted = start(operation, data, size);
  if (bound_ && !posted) --inFlight_;
  return posted;
}

bool BareChannel::start(Operation& operation, uint8_t* data, uint32_t size) {
  if (kind_ == ChannelKind::Tcp) {
    DWORD moved = 0;
    operation.flags = 0;
    const int result = operation.isWrite
                           ? WSASend(socket_.get(), &operation.buffer, 1, &moved, 0,
                                     &operation.overlapped, nullptr)
                           : WSARecv(socket_.get(), &operation.buffer, 1, &moved, &operation.flags,
                                     &operation.overlapped, nullptr);
    return result == 0 || WSAGetLastError() == WSA_IO_PENDING;
  }
  const BOOL result = operation.isWrite
                          ? WriteFile(pipe_.get(), data, size, nullptr, &operation.overlapped)
                          : ReadFile(pipe_.get(), data, size, nullptr, &operation.overlapped);
  return result || GetLastError() == ERROR_IO_PENDING;
}

bool BareChannel::postWrite(const uint8_t* data, uint32_t size) {
  return startWriteChain(data, size, 1);
}

bool BareChannel::startWriteChain(const uint8_t* data, uint32_t size, size_t count) {
  chainData_ = data;
  chainSize_ = size;
  chainCount_ = count;
  chainDone_ = 0;
  if (count == 0) {
    SetEvent(writesDone_.get());
    return true;
  }
  return issue(write_, const_cast<uint8_t*>(data), size, nullptr);
}

void BareChannel::onWriteCompleted(DWORD error, DWORD bytes) {
  if (error != 0 || bytes != chainSize_) {
    ++failures_;
    SetEvent(writesDone_.get());
    return;
  }
  if (++chainDone_ == chainCount_) {
    SetEvent(writesDone_.get());
    return;
  }
  uint8_t* next = const_cast<uint8_t*>(chainData_) + chainDone_ * chainSize_;
  if (!issue(write_, next, chainSize_, nullptr)) {
    ++failures_;
    SetEvent(writesDone_.get());
  }
}

bool BareChannel::waitWrites(DWORD timeoutMs) {
  return WaitForSingleObject(writesDone_.get(), timeoutMs) == WAIT_OBJECT_0 && failures_ == 0;
}

bool BareChannel::startCounting(uint64_t records, uint32_t bufferSize) {
  readBuffer_.resize(bufferSize);
  recordTarget_ = recordsCounted_.load() + records;
  return postRead();
}

bool BareChannel::postRead() {
  return issue(read_, readBuffer_.data(), uint32_t(readBuffer_.size()), nullptr);
}

void BareChannel::onReadCompleted(DWORD error, DWORD bytes) {
  if (error != 0 || bytes == 0) {
    ++failures_;
    SetEvent(recordsDone_.get());
    return;
  }
  countRecords(readBuffer_.data(), bytes);
  if (recordsCounted_.load() >= recordTarget_) {
    SetEvent(recordsDone_.get());
    return;
  }
  if (!postRead()) {
    ++failures_;
    SetEvent(recordsDone_.get());
  }
}

void BareChannel::countRecords(const uint8_t* data, uint32_t size) {
  bytesCounted_ += size;
  uint32_t at = 0;
  uint64_t counted = 0;
  while (at < size) {
    if (recordRemaining_ > 0) {
      const uint64_t step = std::min<uint64_t>(recordRemaining_, size - at);
      at += uint32_t(step);
      recordRemaining_ -= step;
      if (recordRemaining_ == 0) ++counted;
      continue;
    }
    sizeField_ |= uint32_t(data[at++]) << (8 * sizeBytesSeen_);
    if (++sizeBytesSeen_ < 4) continue;
    // The stand-in server writes no filler and no size below 4.
    recordRemaining_ = sizeField_ - 4u;
    sizeField_ = 0;
    sizeBytesSeen_ = 0;
    if (recordRemaining_ == 0) ++counted;
  }
  recordsCounted_ += counted;
}

bool BareChannel::waitRecords(DWORD timeoutMs) {
  return WaitForSingleObject(recordsDone_.get(), timeoutMs) == WAIT_OBJECT_0 && failures_ == 0;
}

bool BareChannel::finishBlocking(Operation& operation, DWORD& bytes) {
  if (kind_ == ChannelKind::Tcp) {
    DWORD flags = 0;
    return WSAGetOverlappedResult(socket_.get(), &operation.overlapped, &bytes, TRUE, &flags);
  }
  return GetOverlappedResult(pipe_.get(), &operation.overlapped, &bytes, TRUE);
}

bool BareChannel::writeBlocking(const uint8_t* data, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    DWORD bytes = 0;
    if (!issue(write_, const_cast<uint8_t*>(data) + done, size - done, blockingEvent_.get()) ||
        !finishBlocking(write_, bytes) || bytes == 0)
      return false;
    done += bytes;
  }
  return true;
}

bool BareChannel::exchangeBlocking(const uint8_t* request, uint32_t requestSize, uint8_t* reply,
                                   uint32_t replySize) {
  DWORD read = 0, written = 0;
  if (!issue(read_, reply, replySize, blockingReadEvent_.get())) return false;
  const bool sent =
      issue(write_, const_cast<uint8_t*>(request), requestSize, blockingEvent_.get()) &&
      finishBlocking(write_, written) && written == requestSize;
  // The read is collected in any case: its buffer must not go while it is in flight.
  const bool received = finishBlocking(read_, read) && read > 0;
  return sent && received && (read == replySize || readBlocking(reply + read, replySize - read));
}

bool BareChannel::readBlocking(uint8_t* data, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    DWORD bytes = 0;
    if (!issue(read_, data + done, size - done, blockingEvent_.get()) ||
        !finishBlocking(read_, bytes) || bytes == 0)
      return false;
    done += bytes;
  }
  return true;
}

} // namespace bench
