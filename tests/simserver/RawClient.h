#pragma once
// A bare SimConnect client for the server's tests: plain CreateFileW/ReadFile/WriteFile on the
// pipe and Winsock on TCP, overlapped so that every read and write has a time limit.
#include <windows.h>
#include <winsock2.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rawclient {

using Bytes = std::vector<uint8_t>;
using Milliseconds = std::chrono::milliseconds;
inline constexpr Milliseconds kPatience{20000}; // generous: the machine may be loaded

struct ReadOutcome {
  enum Kind { Data, End, Failed, TimedOut } kind = TimedOut;
  Bytes bytes;
  DWORD error = 0; // for Failed: GetLastError (pipe) or WSAGetLastError (TCP)
};

class RawClient {
public:
  // Connects to the pipe, waiting while all instances are busy; null on failure (error set).
  static std::unique_ptr<RawClient> connectPipe(const std::wstring& path, DWORD* error = nullptr);
  // Connects to ::1 (AF_INET6) or 127.0.0.1 (AF_INET); null on failure (error set).
  static std::unique_ptr<RawClient> connectTcp(int family, uint16_t port, DWORD* error = nullptr);

  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool isPipe() const { return !isSocket_; }

  // Writes all bytes; false on failure or when the time runs out.
  bool write(const Bytes& bytes, Milliseconds timeout = kPatience);
  // Starts an overlapped write of all bytes and returns; writeFinished() waits for it.
  bool beginWrite(Bytes bytes);
  bool writeFinished(Milliseconds wait);

  // One read of whatever is there (up to maxBytes).
  ReadOutcome readSome(Milliseconds timeout = kPatience, size_t maxBytes = 65536);
  // The same in two steps, to have the read pending before something happens: under Wine only
  // a pending TCP read sees a reset as one; a read started after it reports the end instead.
  bool beginRead(size_t maxBytes = 65536);
  ReadOutcome finishRead(Milliseconds timeout = kPatience);
  // Reads until exactly count bytes are in (fewer when the stream ends or fails first).
  Bytes readExactly(size_t count, Milliseconds timeout = kPatience);
  // Reads until the stream ends or fails; bytes holds everything read on the way.
  ReadOutcome readToEnd(Milliseconds timeout = kPatience);

  // TCP: close with SO_LINGER 0 (the server sees a reset). Pipe: close the handle.
  void abort();
  void close();

private:
  RawClient(HANDLE handle, bool isSocket);
  bool startRead(uint8_t* data, DWORD size);
  bool startWrite(const uint8_t* data, DWORD size);
  bool finish(OVERLAPPED& ov, DWORD& bytes, DWORD& error);
  void cancelAndWait(OVERLAPPED& ov);

  HANDLE handle_;
  bool isSocket_;
  HANDLE readEvent_;
  HANDLE writeEvent_;
  OVERLAPPED readOv_{};
  DWORD readFlags_ = 0; // written by Winsock when a receive completes, so it outlives the call
  OVERLAPPED writeOv_{};
  bool readPending_ = false;
  DWORD readStartError_ = 0;
  bool writePending_ = false;
  DWORD writeError_ = 0;
  Bytes writeData_;
  Bytes readBuffer_;
};

// The socket family's Winsock session for the test program.
class Winsock {
public:
  Winsock() {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() { WSACleanup(); }
};

} // namespace rawclient
