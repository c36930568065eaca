#include "tools/probe/CodeWords.h"

#include <cstdio>

#include "connection/CompletionStatus.h"

namespace probe {

namespace {

struct KnownCode {
  uint32_t code;
  const char* words;
};

// System errors (Win32 and Winsock) that opening a connection or loading a library reports.
constexpr KnownCode kSystemErrors[] = {
    {2, "file not found: no such pipe"},
    {3, "path not found"},
    {5, "access denied"},
    {53, "network path not found"},
    {67, "network name not found"},
    {109, "broken pipe: the other end closed it"},
    {121, "semaphore time-out: the connection took too long"},
    {126, "module not found"},
    {193, "not a valid Windows program or library"},
    {231, "all pipe instances are busy"},
    {232, "the pipe is being closed"},
    {233, "no process on the other end of the pipe"},
    {995, "operation aborted"},
    {1225, "the remote computer refused the connection"},
    {1231, "network location cannot be reached"},
    {10013, "permission denied"},
    {10022, "invalid argument"},
    {10047, "address family not supported"},
    {10049, "address not available"},
    {10050, "network is down"},
    {10051, "network unreachable"},
    {10053, "connection aborted"},
    {10054, "connection reset by the other side"},
    {10060, "connection timed out"},
    {10061, "connection refused"},
    {10065, "host unreachable"},
    {11001, "host not found"},
    {11002, "host not found, try again later"},
    {11003, "non-recoverable name lookup failure"},
    {11004, "name has no address of the requested kind"},
};

// HRESULTs the exports return and status codes a lost connection records.
constexpr KnownCode kResultCodes[] = {
    {0x00000000, "S_OK: success"},
    {0x80004005, "E_FAIL: failed"},
    {0x80070057, "E_INVALIDARG: invalid argument"},
    {0x8007007A, "a string does not fit its field"},
    {status::kAbort, "E_ABORT: aborted"},
    {status::kOutOfMemory, "E_OUTOFMEMORY: out of memory"},
    {status::kBufferOverflow, "STATUS_BUFFER_OVERFLOW: message larger than the buffer"},
    {status::kCancelled, "STATUS_CANCELLED: the I/O was cancelled"},
    {status::kRemoteDisconnect, "STATUS_REMOTE_DISCONNECT: the other side disconnected"},
    {status::kLinkFailed, "STATUS_LINK_FAILED: the connection failed"},
    {status::kPipeBroken, "STATUS_PIPE_BROKEN: the other end closed the pipe"},
    {status::kConnectionReset, "STATUS_CONNECTION_RESET: the connection was reset"},
};

constexpr bool looksLikeResult(uint32_t code) noexcept {
  return (code & 0x80000000u) != 0 || code == 0;
}

} // namespace

std::string codeWords(uint32_t code) {
  for (const KnownCode& known : kResultCodes) {
    if (known.code == code) return known.words;
  }
  // A system error wrapped as a failure HRESULT (0x8007xxxx) reads as the error itself.
  const bool wrapsWin32 = (code & 0xFFFF0000u) == 0x80070000u;
  const uint32_t systemError = wrapsWin32 ? code & 0xFFFFu : code;
  if (wrapsWin32 || !looksLikeResult(code)) {
    for (const KnownCode& known : kSystemErrors) {
      if (known.code == systemError) return known.words;
    }
  }
  return {};
}

std::string codeWithWords(uint32_t code) {
  char number[16];
  if (looksLikeResult(code) && code != 0) {
    std::snprintf(number, sizeof(number), "0x%08X", unsigned(code));
  } else {
    std::snprintf(number, sizeof(number), "%u", unsigned(code));
  }
  const std::string words = codeWords(code);
  return words.empty() ? std::string(number) : std::string(number) + " (" + words + ")";
}

} // namespace probe
