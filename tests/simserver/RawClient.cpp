#include "RawClient.h"

#include <ws2tcpip.h>

namespace rawclient {

RawClient::RawClient(HANDLE handle, bool isSocket)
    : handle_(handle), isSocket_(isSocket), readEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      writeEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), readBuffer_(1 << 20) {}

RawClient::~RawClient() {
  close();
  CloseHandle(readEvent_);
  CloseHandle(writeEvent_);
}

std::unique_ptr<RawClient> RawClient::connectPipe(const std::wstring& path, DWORD* error) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return std::unique_ptr<RawClient>(new RawClient(pipe, false));
    const DWORD failure = GetLastError();
    if (failure != ERROR_PIPE_BUSY || !WaitNamedPipeW(path.c_str(), 5000)) {
      if (error) *error = failure == ERROR_PIPE_BUSY ? GetLastError() : failure;
      return nullptr;
    }
  }
  if (error) *error = ERROR_PIPE_BUSY;
  return nullptr;
}

std::unique_ptr<RawClient> RawClient::connectTcp(int family, uint16_t port, DWORD* error) {
  SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    if (error) *error = static_cast<DWORD>(WSAGetLastError());
    return nullptr;
  }
  sockaddr_storage address{};
  int length = 0;
  if (family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(port);
    length = sizeof(sockaddr_in);
  }
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    if (error) *error = static_cast<DWORD>(WSAGetLastError());
    closesocket(s);
    return nullptr;
  }
  return std::unique_ptr<RawClient>(new RawClient(reinterpret_cast<HANDLE>(s), true));
}

bool RawClient::startRead(uint8_t* data, DWORD size) {
  ResetEvent(readEvent_);
  readOv_ = OVERLAPPED{};
  readOv_.hEvent = readEvent_;
  if (isSocket_) {
    WSABUF buffer{size, reinterpret_cast<char*>(data)};
    readFlags_ = 0;
    if (WSARecv(reinterpret_cast<SOCKET>(handle_), &buffer, 1, nullptr, &readFlags_, &readOv_,
                nullptr) == 0) {
      SetEvent(readEvent_);
      return true;
    }
    return WSAGetLastError() == WSA_IO_PENDING;
  }
  if (ReadFile(handle_, data, size, nullptr, &readOv_)) {
    SetEvent(readEvent_);
    return true;
  }
  return GetLastError() == ERROR_IO_PENDING;
}

bool RawClient::startWrite(const uint8_t* data, DWORD size) {
  ResetEvent(writeEvent_);
  writeOv_ = OVERLAPPED{};
  writeOv_.hEvent = writeEvent_;
  if (isSocket_) {
    WSABUF buffer{size, reinterpret_cast<char*>(const_cast<uint8_t*>(data))};
    if (WSASend(reinterpret_cast<SOCKET>(handle_), &buffer, 1, nullptr, 0, &writeOv_, nullptr) ==
        0) {
      SetEvent(writeEvent_);
      return true;
    }
    return WSAGetLastError() == WSA_IO_PENDING;
  }
  if (WriteFile(handle_, data, size, nullptr, &writeOv_)) {
    SetEvent(writeEvent_);
    return true;
  }
  return GetLastError() == ERROR_IO_PENDING;
}

bool RawClient::finish(OVERLAPPED& ov, DWORD& bytes, DWORD& error) {
  bytes = 0;
  if (isSocket_) {
    DWORD flags = 0;
    if (WSAGetOverlappedResult(reinterpret_cast<SOCKET>(handle_), &ov, &bytes, TRUE, &flags))
      return true;
    error = static_cast<DWORD>(WSAGetLastError());
    return false;
  }
  if (GetOverlappedResult(handle_, &ov, &bytes, TRUE)) return true;
  error = GetLastError();
  return false;
}

void RawClient::cancelAndWait(OVERLAPPED& ov) {
  CancelIoEx(handle_, &ov);
  DWORD bytes = 0;
  DWORD error = 0;
  finish(ov, bytes, error);
}

bool RawClient::write(const Bytes& bytes, Milliseconds timeout) {
  if (!beginWrite(bytes)) return false;
  return writeFinished(timeout);
}

bool RawClient::beginWrite(Bytes bytes) {
  if (handle_ == INVALID_HANDLE_VALUE || writePending_) return false;
  writeData_ = std::move(bytes);
  writeError_ = 0;
  if (!startWrite(writeData_.data(), static_cast<DWORD>(writeData_.size()))) {
    writeError_ = isSocket_ ? static_cast<DWORD>(WSAGetLastError()) : GetLastError();
    return false;
  }
  writePending_ = true;
  return true;
}

bool RawClient::writeFinished(Milliseconds wait) {
  if (!writePending_) return writeError_ == 0;
  if (WaitForSingleObject(writeEvent_, static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0)
    return false;
  writePending_ = false;
  DWORD bytes = 0;
  if (!finish(writeOv_, bytes, writeError_)) return false;
  return bytes == writeData_.size();
}

ReadOutcome RawClient::readSome(Milliseconds timeout, size_t maxBytes) {
  beginRead(maxBytes);
  return finishRead(timeout);
}

bool RawClient::beginRead(size_t maxBytes) {
  readStartError_ = 0;
  if (handle_ == INVALID_HANDLE_VALUE) {
    readStartError_ = ERROR_INVALID_HANDLE;
    return false;
  }
  if (readPending_) return true;
  const DWORD size =
      static_cast<DWORD>(maxBytes < readBuffer_.size() ? maxBytes : readBuffer_.size());
  if (!startRead(readBuffer_.data(), size)) {
    readStartError_ = isSocket_ ? static_cast<DWORD>(WSAGetLastError()) : GetLastError();
    return false;
  }
  readPending_ = true;
  return true;
}

ReadOutcome RawClient::finishRead(Milliseconds timeout) {
  ReadOutcome outcome;
  if (!readPending_) {
    outcome.kind = ReadOutcome::Failed;
    outcome.error = readStartError_;
    return outcome;
  }
  if (WaitForSingleObject(readEvent_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    cancelAndWait(readOv_);
    readPending_ = false;
    outcome.kind = ReadOutcome::TimedOut;
    return outcome;
  }
  readPending_ = false;
  DWORD bytes = 0;
  if (!finish(readOv_, bytes, outcome.error)) {
    outcome.kind = ReadOutcome::Failed;
    return outcome;
  }
  if (bytes == 0 && isSocket_) {
    outcome.kind = ReadOutcome::End;
    return outcome;
  }
  outcome.kind = ReadOutcome::Data;
  outcome.bytes.assign(readBuffer_.begin(), readBuffer_.begin() + bytes);
  return outcome;
}

Bytes RawClient::readExactly(size_t count, Milliseconds timeout) {
  Bytes collected;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (collected.size() < count) {
    const auto left =
        std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    ReadOutcome outcome = readSome(left, count - collected.size());
    if (outcome.kind != ReadOutcome::Data) break;
    collected.insert(collected.end(), outcome.bytes.begin(), outcome.bytes.end());
  }
  return collected;
}

ReadOutcome RawClient::readToEnd(Milliseconds timeout) {
  ReadOutcome result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.kind = ReadOutcome::TimedOut;
      return result;
    }
    ReadOutcome outcome = readSome(left);
    if (outcome.kind != ReadOutcome::Data) {
      result.kind = outcome.kind;
      result.error = outcome.error;
      return result;
    }
    result.bytes.insert(result.bytes.end(), outcome.bytes.begin(), outcome.bytes.end());
  }
}

void RawClient::abort() {
  if (handle_ != INVALID_HANDLE_VALUE && isSocket_) {
    linger noLinger{};
    noLinger.l_onoff = 1;
    noLinger.l_linger = 0;
    setsockopt(reinterpret_cast<SOCKET>(handle_), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&noLinger), sizeof noLinger);
  }
  close();
}

void RawClient::close() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  if (readPending_) {
    cancelAndWait(readOv_);
    readPending_ = false;
  }
  if (writePending_) {
    cancelAndWait(writeOv_);
    writePending_ = false;
  }
  if (isSocket_)
    closesocket(reinterpret_cast<SOCKET>(handle_));
  else
    CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

} // namespace rawclient
