#pragma once
// One accepted client channel, a server pipe instance or a TCP socket, driven with overlapped I/O
// by its connection's thread. Every operation is started with an OVERLAPPED whose event the
// connection waits on, and is collected with finish().
#include "tools/simserver/WinHandles.h"

#include <cstdint>
#include <memory>

namespace simserver {

enum class IoStart { Pending, Failed };

class Channel {
public:
  virtual ~Channel() = default;

  // Starts a read or write. Pending: the event of ov is (or will be) signalled and finish()
  // collects the result; an operation that completed at once is also reported as Pending, with
  // the event set. Failed: error holds the reason.
  virtual IoStart startRead(uint8_t* data, DWORD size, OVERLAPPED& ov, DWORD& error) = 0;
  virtual IoStart startWrite(const uint8_t* data, DWORD size, OVERLAPPED& ov, DWORD& error) = 0;
  // Result of a signalled operation: true with the byte count, or false with the error.
  virtual bool finish(OVERLAPPED& ov, DWORD& bytes, DWORD& error) = 0;
  // A successful read of 0 bytes means the client ended the stream (TCP only).
  virtual bool zeroReadIsEnd() const = 0;
  // Cancels every operation in flight; they still complete (with an error) and must be
  // collected before their OVERLAPPED goes away.
  virtual void cancelAll() = 0;

  // Ends the channel. Orderly: written data stays readable for the client, which then sees the
  // end of the stream (TCP: FIN; the server discards what still arrives for up to 2 seconds so
  // that the close does not turn into a reset). Abortive: TCP reset / pipe disconnected.
  // Plain: just closed.
  virtual void closeOrderly(HANDLE stopEvent) = 0;
  virtual void closeAbortive() = 0;
  virtual void closePlain() = 0;
};

std::unique_ptr<Channel> makePipeChannel(UniqueHandle pipe);
std::unique_ptr<Channel> makeSocketChannel(UniqueSocket socket);

} // namespace simserver
