#include "tools/simserver/Channel.h"

#include <algorithm>
#include <chrono>

namespace simserver {
namespace {

IoStart started(BOOL ok, DWORD lastError, OVERLAPPED& ov, DWORD& error) {
  if (ok) {
    // Completed at once: make the waiting side see it like any other completion.
    SetEvent(ov.hEvent);
    return IoStart::Pending;
  }
  if (lastError == ERROR_IO_PENDING) return IoStart::Pending;
  error = lastError;
  return IoStart::Failed;
}

class PipeChannel final : public Channel {
public:
  explicit PipeChannel(UniqueHandle pipe) : pipe_(std::move(pipe)) {}

  IoStart startRead(uint8_t* data, DWORD size, OVERLAPPED& ov, DWORD& error) override {
    const BOOL ok = ReadFile(pipe_.get(), data, size, nullptr, &ov);
    return started(ok, ok ? 0 : GetLastError(), ov, error);
  }

  IoStart startWrite(const uint8_t* data, DWORD size, OVERLAPPED& ov, DWORD& error) override {
    const BOOL ok = WriteFile(pipe_.get(), data, size, nullptr, &ov);
    return started(ok, ok ? 0 : GetLastError(), ov, error);
  }

  bool finish(OVERLAPPED& ov, DWORD& bytes, DWORD& error) override {
    bytes = 0;
    if (GetOverlappedResult(pipe_.get(), &ov, &bytes, TRUE)) return true;
    error = GetLastError();
    return false;
  }

  bool zeroReadIsEnd() const override { return false; }

  void cancelAll() override { CancelIoEx(pipe_.get(), nullptr); }

  void closeOrderly(HANDLE) override { pipe_.reset(); }

  void closeAbortive() override {
    DisconnectNamedPipe(pipe_.get());
    pipe_.reset();
  }

  void closePlain() override { pipe_.reset(); }

private:
  UniqueHandle pipe_;
};

class SocketChannel final : public Channel {
public:
  explicit SocketChannel(UniqueSocket socket) : socket_(std::move(socket)) {}

  IoStart startRead(uint8_t* data, DWORD size, OVERLAPPED& ov, DWORD& error) override {
    WSABUF buffer{size, reinterpret_cast<char*>(data)};
    receiveFlags_ = 0;
    const int result = WSARecv(socket_.get(), &buffer, 1, nullptr, &receiveFlags_, &ov, nullptr);
    return started(result == 0, result == 0 ? 0 : static_cast<DWORD>(WSAGetLastError()), ov, error);
  }

  IoStart startWrite(const uint8_t* data, DWORD size, OVERLAPPED& ov, DWORD& error) override {
    WSABUF buffer{size, reinterpret_cast<char*>(const_cast<uint8_t*>(data))};
    const int result = WSASend(socket_.get(), &buffer, 1, nullptr, 0, &ov, nullptr);
    return started(result == 0, result == 0 ? 0 : static_cast<DWORD>(WSAGetLastError()), ov, error);
  }

  bool finish(OVERLAPPED& ov, DWORD& bytes, DWORD& error) override {
    bytes = 0;
    DWORD flags = 0;
    if (WSAGetOverlappedResult(socket_.get(), &ov, &bytes, TRUE, &flags)) return true;
    error = static_cast<DWORD>(WSAGetLastError());
    return false;
  }

  bool zeroReadIsEnd() const override { return true; }

  void cancelAll() override { CancelIoEx(reinterpret_cast<HANDLE>(socket_.get()), nullptr); }

  void closeOrderly(HANDLE stopEvent) override {
    shutdown(socket_.get(), SD_SEND);
    discardUntilEnd(stopEvent);
    socket_.reset();
  }

  void closeAbortive() override {
    linger noLinger{};
    noLinger.l_onoff = 1;
    noLinger.l_linger = 0;
    setsockopt(socket_.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&noLinger),
               sizeof noLinger);
    socket_.reset();
  }

  void closePlain() override { socket_.reset(); }

private:
  // Closing a socket with unread received data makes the stack reset the connection, and a
  // reset can destroy replies the client has not read yet. So what the client still sends is
  // read and dropped until it closes its side, goes quiet for a moment, or 2 seconds pass.
  void discardUntilEnd(HANDLE stopEvent) {
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    constexpr milliseconds kQuietEnough(250);
    UniqueHandle event = makeEvent(true);
    uint8_t sink[4096];
    const auto deadline = steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
      OVERLAPPED ov{};
      ov.hEvent = event.get();
      ResetEvent(event.get());
      DWORD error = 0;
      if (startRead(sink, sizeof sink, ov, error) == IoStart::Failed) return;
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
      const auto wait = std::max(milliseconds(0), std::min(left, kQuietEnough));
      HANDLE handles[] = {event.get(), stopEvent};
      const DWORD waited =
          WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(wait.count()));
      if (waited != WAIT_OBJECT_0) cancelAll();
      DWORD bytes = 0;
      const bool ok = finish(ov, bytes, error);
      if (waited != WAIT_OBJECT_0 || !ok || bytes == 0) return;
    }
  }

  UniqueSocket socket_;
  // Winsock writes a receive's flags when the receive completes, after startRead has returned:
  // they must outlive the call. One read is in flight at a time.
  DWORD receiveFlags_ = 0;
};

} // namespace

std::unique_ptr<Channel> makePipeChannel(UniqueHandle pipe) {
  return std::make_unique<PipeChannel>(std::move(pipe));
}

std::unique_ptr<Channel> makeSocketChannel(UniqueSocket socket) {
  return std::make_unique<SocketChannel>(std::move(socket));
}

} // namespace simserver
