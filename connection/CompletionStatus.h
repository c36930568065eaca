#pragma once
// The one table that turns what an I/O completion reports into a disconnect reason and the code
// the caller is given. Windows hands completion routines NTSTATUS values; some platforms (Wine
// among them) hand Win32 error codes instead. Those are normalised on entry, so that reasons and
// reported codes are the same everywhere (a broken pipe reports 0xC000014B on every platform).
#include <cstdint>

namespace status {

inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kBufferOverflow = 0x80000005;   // STATUS_BUFFER_OVERFLOW
inline constexpr uint32_t kCancelled = 0xC0000120;        // STATUS_CANCELLED
inline constexpr uint32_t kRemoteDisconnect = 0xC000013C; // STATUS_REMOTE_DISCONNECT
inline constexpr uint32_t kLinkFailed = 0xC000013E;       // STATUS_LINK_FAILED
inline constexpr uint32_t kPipeBroken = 0xC000014B;       // STATUS_PIPE_BROKEN
inline constexpr uint32_t kConnectionReset = 0xC000020D;  // STATUS_CONNECTION_RESET

// Result codes recorded with a disconnect.
inline constexpr uint32_t kAbort = 0x80004004;       // E_ABORT
inline constexpr uint32_t kOutOfMemory = 0x8007000E; // E_OUTOFMEMORY

// Why a transport was disconnected; 0 is the owner's orderly close.
enum DisconnectReason : int32_t {
  ReasonOrderly = 0,
  ReasonTooLarge = 1,
  ReasonBadSize = 2,
  ReasonNoMemory = 3,
  ReasonZeroBytes = 4,
  ReasonRemoteClosed = 5,
  ReasonCancelled = 8,
  ReasonFailed = 9,
};

// What a disconnect reason means, in a few words ("other" for a number without a name).
const char* disconnectReasonText(int32_t reason) noexcept;

// A Win32 error code as a failure HRESULT (0x8007xxxx); 0 stays 0.
uint32_t hresultFromWin32(uint32_t error) noexcept;

// Gives the NTSTATUS value for what a completion routine was handed: NTSTATUS values pass
// unchanged, known Win32 codes map to the status they stand for, other Win32 codes become
// their failure HRESULT.
uint32_t normalizeCompletionStatus(uint32_t raw) noexcept;

struct CompletionVerdict {
  bool proceed;   // treat as a successful completion
  int32_t reason; // otherwise: disconnect with this reason...
  uint32_t code;  // ...and this code
};

// Decides a completion from its normalised status, its byte count and the channel kind.
CompletionVerdict classifyCompletion(uint32_t normalizedStatus, uint32_t bytes,
                                     bool isPipe) noexcept;

// The system error behind a completion's normalised status, as the thread that started the
// operation would have been told it: the Win32 code a known status stands for (on TCP the Winsock
// code where there is one, as WSAGetLastError gives it), the Win32 code inside a 0x8007xxxx
// HRESULT, 0 for a completion that succeeded, and any other status unchanged.
uint32_t systemErrorOf(uint32_t normalizedStatus, bool isPipe) noexcept;

// Decides a read or write whose posting failed at once with a Win32 error. `proceed` means the
// operation is still under way and its completion will come (pending, or more data waiting on a
// message-mode pipe); otherwise the reason and code are those a completion with the same error
// would give, so the caller learns of the loss the same way whatever the timing.
CompletionVerdict classifyPostingFailure(uint32_t win32Error, bool isPipe) noexcept;

} // namespace status
