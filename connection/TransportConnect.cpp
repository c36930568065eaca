// Connecting a transport: the named pipe with its busy wait, or TCP to the first address found.
#include <string>

#include "connection/SimulatorInterface.h"
#include "connection/Transport.h"

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
  const bool failed = kind == TransportKind::NamedPipe ? connectPipe(address, port)
                                                       : connectTcp(family, address, port);
  if (failed) return true;
  return setUpConnection(handle, maxReceive, nagleOff);
}

bool Transport::connectPipe(const wchar_t* machine, const wchar_t* pipeName) {
  const std::wstring path = pipePath(machine, pipeName);
  UniqueFileHandle pipe;
  for (;;) {
    // Identification-level impersonation only: a foreign process that created a pipe of this
    // name first cannot act as the caller.
    pipe.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                           nullptr));
    if (pipe.valid()) break;
    if (GetLastError() != ERROR_PIPE_BUSY) return true;
    if (!WaitNamedPipeW(path.c_str(), kPipeBusyWaitMs)) return true;
  }
  if (!BindIoCompletionCallback(pipe.get(), transportCompletionRoutine(), 0)) return true;
  handle = pipe.release();
  return false;
}

bool Transport::connectTcp(int32_t family, const wchar_t* host, const wchar_t* port) {
  ADDRINFOW hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* found = nullptr;
  if (GetAddrInfoW(host, port, &hints, &found) != 0 || found == nullptr) return true;
  UniqueAddrInfo addresses(found);
  // Only the first address is tried.
  UniqueSocket socket(::socket(found->ai_family, found->ai_socktype, found->ai_protocol));
  if (!socket.valid()) return true;
  if (connect(socket.get(), found->ai_addr, int(found->ai_addrlen)) == SOCKET_ERROR) return true;
  if (!BindIoCompletionCallback(reinterpret_cast<HANDLE>(socket.get()),
                                transportCompletionRoutine(), 0)) {
    return true;
  }
  handle = reinterpret_cast<HANDLE>(socket.release());
  return false;
}
