#pragma once
// What this library relies on from the simulator (Prepar3D v4), in one place: its SimConnect
// endpoints, the published ports, the receive records the client looks into, and the main window
// with the commands it understands when the library runs inside the simulator's own process.
#include <cstdint>

namespace sim {

// Named pipe of the SimConnect server: \\<machine>\pipe\<name>; "." is this machine.
inline constexpr wchar_t kPipePathPrefix[] = L"\\\\";
inline constexpr wchar_t kPipeFolder[] = L"\\pipe\\";
inline constexpr wchar_t kStandardPipeName[] = L"Lockheed Martin Prepar3D v4\\SimConnect";
inline constexpr wchar_t kLocalMachine[] = L".";
inline constexpr wchar_t kIPv6Loopback[] = L"::1";
inline constexpr wchar_t kIPv4Loopback[] = L"127.0.0.1";

// TCP ports, published as decimal strings under HKEY_CURRENT_USER.
inline constexpr wchar_t kPortsRegistryKey[] = L"SOFTWARE\\Lockheed Martin\\Prepar3D v4";
inline constexpr wchar_t kPortValueIPv4[] = L"SimConnect_Port_IPv4";
inline constexpr wchar_t kPortValueIPv6[] = L"SimConnect_Port_IPv6";

// Client-to-server protocol version carried in every message header.
inline constexpr uint32_t kProtocolVersion = 26;

// Server-to-client records (SIMCONNECT_RECV): total size at offset 0, id at offset 8.
inline constexpr uint32_t kRecvSizeOffset = 0;
inline constexpr uint32_t kRecvIdOffset = 8;
inline constexpr uint32_t kRecvMinimumDispatchSize = 12; // shorter records are never dispatched
// The answer to the Open message.
inline constexpr uint32_t kRecvIdOpen = 2;
inline constexpr uint32_t kRecvOpenSize = 308;
inline constexpr uint32_t kRecvOpenClientIdOffset = 300;

// The simulator's main window and the commands sent to it with SendMessageW(WM_COMMAND).
inline constexpr wchar_t kMainWindowClass[] = L"FS98MAIN";
inline constexpr uint32_t kHostCommandMessage = 0x0111; // WM_COMMAND
inline constexpr uint64_t kHostCommandWParam = 0x0002002A;

enum HostCommandKind : uint32_t {
  HostRegisterClient = 1,  // client -> simulator: id, serial, acceptHostFunctions, deliverFromHost
  HostFunctions = 2,       // simulator -> client: allocate, discard, send, release
  HostRegisterPump = 4,    // client -> simulator: address of SimConnect_CallDispatch (pump-all)
  HostQueryPumpRemover = 5 // client -> simulator: simulator writes its remover at offset 16
};

// The pump-all form of SimConnect_CallDispatch: null handle, these procedure and context values.
inline constexpr uintptr_t kPumpAllProcedure = static_cast<uintptr_t>(-2);
inline constexpr uintptr_t kPumpAllContext = static_cast<uintptr_t>(-3);

} // namespace sim
