#pragma once
// The receive side: messages from the transport's completion threads, or delivered by an
// in-process simulator, wait in the client's receive queue until SimConnect_CallDispatch hands
// them, oldest first, to the caller's procedure on the caller's thread.
#include <cstdint>

#include "client/HostCommand.h"
#include "include/Wirebridge.h"

class SimClient;

enum DispatchResult : uint32_t { DispatchDone = 0, DispatchLost = 2 };

// Empties the queue into `procedure` (the client's default when null): every message queued
// before and during the call. 2 when the connection is lost afterwards, else 0.
uint32_t dispatchQueue(SimClient* client, DispatchProc procedure, void* context);

// Looks at a message about to be dispatched: the server's open reply registers the client with
// a simulator in this process.
void registerWithHost(SimClient* client, const uint8_t* message, uint32_t length);

// Hands one command record to the simulator's main window; SendMessageW returns once the
// simulator has handled it, so the record need only live through the call.
void sendHostCommand(HWND window, void* record) noexcept;

// Entry points for a simulator in this process; their addresses travel in the registration.
int32_t acceptHostFunctions(const HostFunctionsCommand* record);
void deliverFromHost(uint32_t hostClientId, uint32_t serial, uint32_t length, void* data);
