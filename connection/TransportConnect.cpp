// Connecting a transport: the named pipe with its busy wait, or TCP to the first address found.
#include <string>

#include "connection/SimulatorInterface.h"
#include "connection/Transport.h"
#include "diagnostics/Trace.h"

LPOVERLAPPED_COMPLETION_ROUTINE transportCompletionRoutine();

namespace {

constexpr size_t kPipePathCapacity = 260; // characters, terminator included
constexpr DWORD kPipeBusyWaitMs = 5000;

std::wstring pipePath(const wchar_t* machine, const wchar_t* pipeName) {
  std::wstring path = sim::kPipePathPrefix;
  path += (machine != nullptr && *machine != L'\0') ? machine : sim::kLocalMachine;
  path += sim::kPipeFolder;
  path += (pipeName != nullptr && *pipeName != L'\0') ? pipeName : sim::kStandardPipeName;
  if (path.size() >= kPipePathCapacity) path.resize(kPipePathCapacity - 1);
  return path;
}

} // namespace

bool Transport::Connect(int32_t family, const wchar_t* address, const wchar_t* port,
                        uint32_t maxReceive, bool nagleOff) {
  const uint64_t startedAt = trace::attemptStart();
  const bool pipe = kind == TransportKind::NamedPipe;
  const std::wstring path = pipe ? pipePath(address, port) : std::wstring();
  uint32_t error = pipe ? connectPipe(path) : connectTcp(family, address, port);
  if (error == 0 && setUpConnection(handle, maxReceive, nagleOff)) error = ERROR_OUTOFMEMORY;
  trace::attempt(pipe, family, pipe ? path.c_str() : address, port, error, startedAt,
                 connectionSerial);
  return error != 0;
}

uint32_t Transport::connectPipe(const std::wstring& path) {
  UniqueFileHandle pipe;
  for (;;) {
    // Identification-level impersonation only: a foreign process that created a pipe of this
    // name first cannot act as the caller.
    pipe.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                           nullptr));
    if (pipe.valid()) break;
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY) return error;
    if (!WaitNamedPipeW(path.c_str(), kPipeBusyWaitMs)) return GetLastError();
  }
  if (!BindIoCompletionCallback(pipe.get(), transportCompletionRoutine(), 0)) {
    return GetLastError();
  }
  handle = pipe.release();
  return 0;
}

uint32_t Transport::connectTcp(int32_t family, const wchar_t* host, const wchar_t* port) {
  ADDRINFOW hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* found = nullptr;
  if (const int error = GetAddrInfoW(host, port, &hints, &found); error != 0 || found == nullptr) {
    return error != 0 ? uint32_t(error) : uint32_t(WSAHOST_NOT_FOUND);
  }
  UniqueAddrInfo addresses(found);
  // Only the first address is tried. Errors are taken before the socket's clean-up can change
  // the thread's last error.
  UniqueSocket socket(::socket(found->ai_family, found->ai_socktype, found->ai_protocol));
  if (!socket.valid()) return uint32_t(WSAGetLastError());
  if (connect(socket.get(), found->ai_addr, int(found->ai_addrlen)) == SOCKET_ERROR) {
    return uint32_t(WSAGetLastError());
  }
  if (!BindIoCompletionCallback(reinterpret_cast<HANDLE>(socket.get()),
                                transportCompletionRoutine(), 0)) {
    return GetLastError();
  }
  handle = reinterpret_cast<HANDLE>(socket.release());
  return 0;
}
