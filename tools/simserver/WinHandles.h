#pragma once
// Owners for the Windows objects the server uses: kernel handles, sockets, registry keys and the
// Winsock session. Each closes its object exactly once.
#include <windows.h>
#include <winsock2.h>

#include <string>

namespace simserver {

class UniqueHandle {
public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle)
      : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void reset(HANDLE handle = nullptr) {
    if (handle_) CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

private:
  HANDLE handle_ = nullptr;
};

class UniqueSocket {
public:
  UniqueSocket() = default;
  explicit UniqueSocket(SOCKET socket) : socket_(socket) {}
  ~UniqueSocket() { reset(); }
  UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.release()) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;

  SOCKET get() const { return socket_; }
  explicit operator bool() const { return socket_ != INVALID_SOCKET; }
  SOCKET release() {
    SOCKET socket = socket_;
    socket_ = INVALID_SOCKET;
    return socket;
  }
  void reset(SOCKET socket = INVALID_SOCKET) {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = socket;
  }

private:
  SOCKET socket_ = INVALID_SOCKET;
};

class UniqueRegKey {
public:
  UniqueRegKey() = default;
  explicit UniqueRegKey(HKEY key) : key_(key) {}
  ~UniqueRegKey() { reset(); }
  UniqueRegKey(UniqueRegKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  UniqueRegKey& operator=(UniqueRegKey&& other) noexcept {
    if (this != &other) {
      reset();
      key_ = other.key_;
      other.key_ = nullptr;
    }
    return *this;
  }
  UniqueRegKey(const UniqueRegKey&) = delete;
  UniqueRegKey& operator=(const UniqueRegKey&) = delete;

  HKEY get() const { return key_; }
  HKEY* out() { return &key_; } // for the creating call; the key must be empty
  explicit operator bool() const { return key_ != nullptr; }
  void reset() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

private:
  HKEY key_ = nullptr;
};

// Winsock is started for as long as one of these lives (the calls nest).
class WinsockSession {
public:
  WinsockSession();
  ~WinsockSession();
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
};

// "error 231 (All pipe instances are busy.)"
std::string systemErrorText(DWORD error);
[[noreturn]] void throwSystemError(const std::string& what, DWORD error);

UniqueHandle makeEvent(bool manualReset, bool signalled = false);

std::string narrow(const std::wstring& text);

} // namespace simserver
