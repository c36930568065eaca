#pragma once
// What the exports answer for the steps of sending a message: a buffer refused, a connection
// lost, a message the transport did not take. The send buffer's operations answer with small
// integers; these turn them into the HRESULTs the caller is given.
#include <windows.h>

#include <cstdint>

class SimClient;

// The code an export reports for a lost connection: the one recorded with the loss, or E_FAIL
// when the transport was closed without one.
HRESULT lossCode(const SimClient& client) noexcept;
// obtainMessageBuffer as the exports answer it: S_OK, the loss code of a lost connection, or
// E_FAIL.
HRESULT obtainBuffer(SimClient* client, uint32_t size, uint8_t*& buffer) noexcept;
// Builds the Open message and flushes it at once, under the client's build lock. A write that
// could not be posted then ends the connection, once no lock is held, as the loss wakes the
// caller. S_OK; the loss code when the transport did not take the message; or the HRESULT that
// refused the message.
HRESULT sendOpenMessage(SimClient* client, const char* name) noexcept;
