#pragma once
// The server's endpoints. Each listener exposes an event that is signalled when a client is
// waiting, and accept() hands out the connected channels. A pipe listener always keeps one
// instance listening: the next instance is created before the connected one is handed out, so
// a client never finds the pipe name missing.
#include "tools/simserver/Channel.h"
#include "tools/simserver/WinHandles.h"

#include <string>
#include <vector>

namespace simserver {

class PipeListener {
public:
  // Creates the first instance; throws when the name is served already or cannot be created.
  PipeListener(std::wstring path, DWORD bufferSize);
  ~PipeListener();
  PipeListener(const PipeListener&) = delete;
  PipeListener& operator=(const PipeListener&) = delete;

  HANDLE event() const { return event_.get(); }
  // After event() was signalled: the connected channel (null when the client left at once or
  // the next instance could not be made; listening() then tells whether to retry later).
  std::unique_ptr<Channel> accept();
  bool listening() const { return static_cast<bool>(instance_); }
  // Makes a new listening instance after a failure; false when that failed again.
  bool retry();

private:
  void listen(bool first);
  void abandon();

  std::wstring path_;
  DWORD bufferSize_;
  UniqueHandle event_;
  UniqueHandle instance_;
  OVERLAPPED ov_{};
  bool connectPending_ = false;
};

class TcpListener {
public:
  // Binds to the loopback address of the family (AF_INET or AF_INET6) and listens; throws with
  // a clear message, e.g. when ::1 is unavailable or the port is taken.
  TcpListener(int family, uint16_t port);
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  uint16_t port() const { return port_; }
  HANDLE event() const { return event_.get(); }
  // Every waiting client, as blocking-mode sockets ready for overlapped I/O.
  std::vector<std::unique_ptr<Channel>> accept(int receiveBuffer);

private:
  UniqueSocket socket_;
  UniqueHandle event_;
  uint16_t port_ = 0;
};

} // namespace simserver
