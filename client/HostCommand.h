#pragma once
// Records exchanged with the simulator's main window when the library runs inside the
// simulator's process (sent with SendMessageW(WM_COMMAND), lParam the record's address), and the
// simulator's functions that travel in them. All fields little-endian, records zero-filled.
#include <cstddef>
#include <cstdint>

#include "connection/SimulatorInterface.h"

using HostAllocateFn = void* (*)(uint32_t clientId, uint32_t serial, uint32_t size);
using HostDiscardFn = void (*)(uint32_t clientId, uint32_t serial, void* buffer);
using HostSendFn = void (*)(uint32_t clientId, uint32_t serial, uint32_t length, void* buffer);
using HostReleaseFn = void (*)(uint32_t clientId, uint32_t serial, void* data);
using PumpRemoverFn = void (*)(void* callDispatch);

// Kind 1, client -> simulator: the client registers once its id is known.
struct HostRegisterClientCommand {
  uint32_t size;
  uint32_t kind;
  uint32_t clientId;
  uint32_t serial;
  uint64_t acceptHostFunctions;
  uint64_t deliverFromHost;
};
static_assert(sizeof(HostRegisterClientCommand) == 32);
static_assert(offsetof(HostRegisterClientCommand, clientId) == 8);
static_assert(offsetof(HostRegisterClientCommand, serial) == 12);
static_assert(offsetof(HostRegisterClientCommand, acceptHostFunctions) == 16);
static_assert(offsetof(HostRegisterClientCommand, deliverFromHost) == 24);

// Kind 2, simulator -> client: the simulator's buffer functions for one client.
struct HostFunctionsCommand {
  uint32_t size;
  uint32_t kind;
  uint32_t clientId;
  uint32_t serial;
  uint64_t hostAllocate;
  uint64_t hostDiscard;
  uint64_t hostSend;
  uint64_t hostRelease;
};
static_assert(sizeof(HostFunctionsCommand) == 48);
static_assert(offsetof(HostFunctionsCommand, clientId) == 8);
static_assert(offsetof(HostFunctionsCommand, serial) == 12);
static_assert(offsetof(HostFunctionsCommand, hostAllocate) == 16);
static_assert(offsetof(HostFunctionsCommand, hostDiscard) == 24);
static_assert(offsetof(HostFunctionsCommand, hostSend) == 32);
static_assert(offsetof(HostFunctionsCommand, hostRelease) == 40);

// Kinds 4 and 5, client -> simulator: an address at offset 16 (kind 4 gives the pump-all entry;
// for kind 5 the simulator writes its pump remover there).
struct HostAddressCommand {
  uint32_t size;
  uint32_t kind;
  uint64_t reserved;
  uint64_t address;
};
static_assert(sizeof(HostAddressCommand) == 24);
static_assert(offsetof(HostAddressCommand, reserved) == 8);
static_assert(offsetof(HostAddressCommand, address) == 16);
