#pragma once
// The simulator's side of the in-process host protocol: the records that a SimConnect client
// library hands to the main window (WM_COMMAND, wParam 0x0002002A, lParam the record) and the
// functions that travel in them. Laid out here independently of the client library, so that the
// stand-in checks the client's records instead of sharing its definitions.
#include <cstdint>

namespace standin::host {

inline constexpr unsigned kCommandMessage = 0x0111; // WM_COMMAND
inline constexpr uint64_t kCommandWParam = 0x0002002A;

namespace kind {
inline constexpr uint32_t RegisterClient = 1; // client -> simulator, 32 bytes
inline constexpr uint32_t Functions = 2;      // simulator -> client, 48 bytes
inline constexpr uint32_t RegisterPump = 4;   // client -> simulator, 24 bytes
inline constexpr uint32_t QueryRemover = 5;   // client -> simulator, 24 bytes, answered in place
} // namespace kind

// Offsets and sizes, little-endian, records zero-filled.
inline constexpr uint32_t kSizeOffset = 0;
inline constexpr uint32_t kKindOffset = 4;

inline constexpr uint32_t kRegisterClientSize = 32;
inline constexpr uint32_t kRegisterClientIdOffset = 8;
inline constexpr uint32_t kRegisterSerialOffset = 12;
inline constexpr uint32_t kRegisterAcceptOffset = 16;
inline constexpr uint32_t kRegisterDeliverOffset = 24;

inline constexpr uint32_t kAddressCommandSize = 24;
inline constexpr uint32_t kAddressOffset = 16; // kind 4: pump; kind 5: where the remover goes

inline constexpr uint32_t kFunctionsSize = 48;
inline constexpr uint32_t kFunctionsClientIdOffset = 8;
inline constexpr uint32_t kFunctionsSerialOffset = 12;
inline constexpr uint32_t kFunctionsAllocateOffset = 16;
inline constexpr uint32_t kFunctionsDiscardOffset = 24;
inline constexpr uint32_t kFunctionsSendOffset = 32;
inline constexpr uint32_t kFunctionsReleaseOffset = 40;

// Functions of the client library, reached through the addresses in its records.
using AcceptFunctionsFn = int32_t (*)(const void* functionsRecord);
using DeliverFn = void (*)(uint32_t clientId, uint32_t serial, uint32_t length, void* data);
using PumpFn = long(__stdcall*)(void* handle, void* procedure, void* context);

// The pump-all form of the dispatch call.
inline constexpr uintptr_t kPumpAllProcedure = static_cast<uintptr_t>(-2);
inline constexpr uintptr_t kPumpAllContext = static_cast<uintptr_t>(-3);
inline constexpr long kPumpAllResult = static_cast<long>(0x80004005L); // E_FAIL, always

} // namespace standin::host
