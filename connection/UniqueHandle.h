#pragma once
// One RAII pattern for every kind of system handle: a value, the value that means "none", and
// the call that closes it.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <utility>

template <typename T, typename Traits> class UniqueResource {
public:
  UniqueResource() noexcept = default;
  explicit UniqueResource(T value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  void reset(T value = Traits::invalid()) noexcept {
    T old = std::exchange(value_, value);
    if (old != Traits::invalid()) Traits::close(old);
  }
  T release() noexcept { return std::exchange(value_, Traits::invalid()); }
  T get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::invalid(); }

private:
  T value_ = Traits::invalid();
};

struct KernelHandleTraits {
  static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) noexcept { CloseHandle(h); }
};
struct EventHandleTraits { // events and other handles whose "none" is null
  static HANDLE invalid() noexcept { return nullptr; }
  static void close(HANDLE h) noexcept { CloseHandle(h); }
};
struct SocketTraits {
  static SOCKET invalid() noexcept { return INVALID_SOCKET; }
  static void close(SOCKET s) noexcept { closesocket(s); }
};
struct AddrInfoTraits {
  static ADDRINFOW* invalid() noexcept { return nullptr; }
  static void close(ADDRINFOW* list) noexcept { FreeAddrInfoW(list); }
};

using UniqueFileHandle = UniqueResource<HANDLE, KernelHandleTraits>;
using UniqueEvent = UniqueResource<HANDLE, EventHandleTraits>;
using UniqueSocket = UniqueResource<SOCKET, SocketTraits>;
using UniqueAddrInfo = UniqueResource<ADDRINFOW*, AddrInfoTraits>;
