#include "connection/CompletionStatus.h"

namespace status {
namespace {

struct Win32ToStatus {
  uint32_t error;
  uint32_t status;
};

// Win32 codes seen in completions, with the NTSTATUS value each stands for.
constexpr Win32ToStatus kWin32Statuses[] = {
    {38, 0xC0000011},          // ERROR_HANDLE_EOF: STATUS_END_OF_FILE
    {64, kConnectionReset},    // ERROR_NETNAME_DELETED: the peer reset the connection
    {109, kPipeBroken},        // ERROR_BROKEN_PIPE
    {232, 0xC00000B1},         // ERROR_NO_DATA: STATUS_PIPE_CLOSING
    {233, 0xC00000B0},         // ERROR_PIPE_NOT_CONNECTED: STATUS_PIPE_DISCONNECTED
    {234, kBufferOverflow},    // ERROR_MORE_DATA: the rest of a pipe message follows
    {995, kCancelled},         // ERROR_OPERATION_ABORTED
    {1236, 0xC0000241},        // ERROR_CONNECTION_ABORTED: STATUS_CONNECTION_ABORTED
    {10053, 0xC0000241},       // WSAECONNABORTED
    {10054, kConnectionReset}, // WSAECONNRESET
};

} // namespace

const char* disconnectReasonText(int32_t reason) noexcept {
  switch (reason) {
  case ReasonOrderly:
    return "closed by this side";
  case ReasonTooLarge:
    return "message above the receive limit";
  case ReasonBadSize:
    return "message size of 1 to 3";
  case ReasonNoMemory:
    return "no memory for a message";
  case ReasonZeroBytes:
    return "server closed the channel";
  case ReasonRemoteClosed:
    return "remote disconnect, broken pipe or reset";
  case ReasonCancelled:
    return "operation cancelled";
  case ReasonFailed:
    return "I/O failure";
  }
  return "other";
}

uint32_t hresultFromWin32(uint32_t error) noexcept {
  return error == 0 ? 0 : (0x80070000u | (error & 0xFFFFu));
}

uint32_t normalizeCompletionStatus(uint32_t raw) noexcept {
  // NTSTATUS failures and warnings carry severity bits; Win32 codes fit in 16 bits.
  if (raw == 0 || raw > 0xFFFFu) return raw;
  for (const auto& entry : kWin32Statuses) {
    if (entry.error == raw) return entry.status;
  }
  return hresultFromWin32(raw);
}

uint32_t systemErrorOf(uint32_t normalizedStatus, bool isPipe) noexcept {
  constexpr uint32_t kFirstWinsockError = 10000;
  if (normalizedStatus == kSuccess) return 0;
  if ((normalizedStatus & 0xFFFF0000u) == 0x80070000u) return normalizedStatus & 0xFFFFu;
  uint32_t found = normalizedStatus;
  for (const auto& entry : kWin32Statuses) {
    if (entry.status != normalizedStatus) continue;
    const bool winsock = entry.error >= kFirstWinsockError;
    if (isPipe && winsock) continue;
    found = entry.error;
    if (isPipe || winsock) break; // on TCP a Winsock code, listed last, wins over a Win32 one
  }
  return found;
}

CompletionVerdict classifyCompletion(uint32_t normalizedStatus, uint32_t bytes,
                                     bool isPipe) noexcept {
  switch (normalizedStatus) {
  case kSuccess:
    break;
  case kBufferOverflow:
    if (isPipe) break;
    return {false, ReasonFailed, normalizedStatus};
  case kCancelled:
    return {false, ReasonCancelled, kCancelled};
  case kRemoteDisconnect:
  case kPipeBroken:
  case kConnectionReset:
    return {false, ReasonRemoteClosed, normalizedStatus};
  default:
    return {false, ReasonFailed, normalizedStatus};
  }
  // A successful completion that moved nothing: the server closed the channel.
  if (bytes == 0) return {false, ReasonZeroBytes, kLinkFailed};
  return {true, 0, 0};
}

CompletionVerdict classifyPostingFailure(uint32_t win32Error, bool isPipe) noexcept {
  constexpr uint32_t kIoPending = 997; // ERROR_IO_PENDING and WSA_IO_PENDING
  constexpr uint32_t kMoreData = 234;  // ERROR_MORE_DATA: a warning, completed like a success
  if (win32Error == 0 || win32Error == kIoPending) return {true, 0, 0};
  if (isPipe && win32Error == kMoreData) return {true, 0, 0};
  const CompletionVerdict verdict =
      classifyCompletion(normalizeCompletionStatus(win32Error), 1, isPipe);
  if (verdict.proceed) return {false, ReasonFailed, hresultFromWin32(win32Error)};
  return verdict;
}

} // namespace status
