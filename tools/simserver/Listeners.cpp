#include "tools/simserver/Listeners.h"

#include <ws2tcpip.h>

#include <stdexcept>

namespace simserver {

// ---- Named pipe ----------------------------------------------------------------------------

PipeListener::PipeListener(std::wstring path, DWORD bufferSize)
    : path_(std::move(path)), bufferSize_(bufferSize), event_(makeEvent(true)) {
  listen(true);
}

PipeListener::~PipeListener() {
  abandon();
}

void PipeListener::abandon() {
  if (instance_ && connectPending_) {
    CancelIoEx(instance_.get(), nullptr);
    DWORD bytes = 0;
    GetOverlappedResult(instance_.get(), &ov_, &bytes, TRUE);
  }
  connectPending_ = false;
  instance_.reset();
}

void PipeListener::listen(bool first) {
  DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (first) {
    // Another server on the same name must make start() fail rather than share the clients.
    // Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE, so ask first whether the name is served: a
    // listening instance answers at once, busy ones time out; neither connects to the server.
    if (WaitNamedPipeW(path_.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT)
      throw std::runtime_error("pipe " + narrow(path_) + " is already served by another server");
    openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  }
  UniqueHandle instance(
      CreateNamedPipeW(path_.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                       PIPE_UNLIMITED_INSTANCES, bufferSize_, bufferSize_, 0, nullptr));
  if (!instance) {
    const DWORD error = GetLastError();
    if (first && error == ERROR_ACCESS_DENIED)
      throw std::runtime_error("pipe " + narrow(path_) + " is already served by another server");
    throwSystemError("CreateNamedPipe " + narrow(path_) + " failed", error);
  }
  ResetEvent(event_.get());
  ov_ = OVERLAPPED{};
  ov_.hEvent = event_.get();
  if (ConnectNamedPipe(instance.get(), &ov_)) {
    SetEvent(event_.get());
    connectPending_ = false;
  } else {
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      connectPending_ = true;
    } else if (error == ERROR_PIPE_CONNECTED) {
      // The client came between creation and ConnectNamedPipe.
      SetEvent(event_.get());
      connectPending_ = false;
    } else {
      throwSystemError("ConnectNamedPipe failed", error);
    }
  }
  instance_ = std::move(instance);
}

bool PipeListener::retry() {
  try {
    listen(false);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::unique_ptr<Channel> PipeListener::accept() {
  if (!instance_) return nullptr;
  bool connected = true;
  if (connectPending_) {
    DWORD bytes = 0;
    connected = GetOverlappedResult(instance_.get(), &ov_, &bytes, FALSE) != FALSE;
    if (!connected && GetLastError() == ERROR_IO_INCOMPLETE)
      return nullptr; // not yet: the event was set for nothing
    connectPending_ = false;
  }
  UniqueHandle connectedInstance = std::move(instance_);
  // The connected instance stays open while the next one is made, so the name never vanishes.
  try {
    listen(false);
  } catch (const std::exception&) {
    ResetEvent(event_.get());
  }
  if (!connected)
    return nullptr; // the client left before it was served; its instance is closed here
  return makePipeChannel(std::move(connectedInstance));
}

// ---- TCP -----------------------------------------------------------------------------------

TcpListener::TcpListener(int family, uint16_t port) : event_(makeEvent(true)) {
  const char* name = family == AF_INET6 ? "::1" : "127.0.0.1";
  socket_.reset(socket(family, SOCK_STREAM, IPPROTO_TCP));
  if (!socket_) {
    const DWORD error = static_cast<DWORD>(WSAGetLastError());
    if (family == AF_INET6)
      throwSystemError("IPv6 is unavailable on this machine (socket for ::1 failed)", error);
    throwSystemError("socket for 127.0.0.1 failed", error);
  }

  sockaddr_storage address{};
  int addressLength = 0;
  if (family == AF_INET6) {
    DWORD v6Only = 1;
    setsockopt(socket_.get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only),
               sizeof v6Only);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = htons(port);
    addressLength = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(port);
    addressLength = sizeof(sockaddr_in);
  }
  if (bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), addressLength) != 0) {
    const DWORD error = static_cast<DWORD>(WSAGetLastError());
    const std::string where = std::string(name) + " port " + std::to_string(port);
    if (family == AF_INET6 && error == WSAEADDRNOTAVAIL)
      throwSystemError("the IPv6 loopback address ::1 is unavailable on this machine (bind to " +
                           where + " failed)",
                       error);
    throwSystemError("bind to " + where + " failed", error);
  }
  if (listen(socket_.get(), SOMAXCONN) != 0)
    throwSystemError(std::string("listen on ") + name + " failed",
                     static_cast<DWORD>(WSAGetLastError()));

  sockaddr_storage bound{};
  int boundLength = sizeof bound;
  if (getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0)
    throwSystemError("getsockname failed", static_cast<DWORD>(WSAGetLastError()));
  port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

  if (WSAEventSelect(socket_.get(), event_.get(), FD_ACCEPT) != 0)
    throwSystemError("WSAEventSelect failed", static_cast<DWORD>(WSAGetLastError()));
}

std::vector<std::unique_ptr<Channel>> TcpListener::accept(int receiveBuffer) {
  WSANETWORKEVENTS events{};
  WSAEnumNetworkEvents(socket_.get(), event_.get(), &events); // also resets the event
  std::vector<std::unique_ptr<Channel>> accepted;
  for (;;) {
    UniqueSocket client(::accept(socket_.get(), nullptr, nullptr));
    if (!client) break; // WSAEWOULDBLOCK: nobody else is waiting
    // An accepted socket inherits the listener's event selection and non-blocking mode; the
    // connection drives it with overlapped I/O instead.
    WSAEventSelect(client.get(), nullptr, 0);
    u_long nonBlocking = 0;
    ioctlsocket(client.get(), FIONBIO, &nonBlocking);
    const DWORD noDelay = 1; // pieces and small records go out at once
    setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    if (receiveBuffer > 0)
      setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                 sizeof receiveBuffer);
    accepted.push_back(makeSocketChannel(std::move(client)));
  }
  return accepted;
}

} // namespace simserver
