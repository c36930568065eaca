#pragma once
// The outgoing road of a message: room in the client's staging area (or, once an in-process
// simulator installed its functions, a simulator buffer), numbering, and the flush that hands the
// staged bytes to the transport as one block. The exported functions never wait for I/O.
#include <cstdint>

#include "client/CriticalSection.h"

class SimClient;

// One lock for every client's staging area, numbering and host buffers, process-wide.
CriticalSection& sendLock() noexcept;

enum ObtainResult : uint32_t { ObtainGiven = 0, ObtainFailed = 1, ObtainLost = 2 };

// Gives a zero-filled buffer of `size` bytes whose header already carries the next sequence
// number. 1 for a null client, no staging area, or a message larger than the free room.
uint32_t obtainMessageBuffer(SimClient* client, uint32_t size, uint8_t** buffer) noexcept;
// Gives back an unsent buffer: the cursor returns to it and its bytes are zeroed, or in host
// mode the simulator takes it back. 0 done, 1 nothing to do.
uint32_t releaseMessageBuffer(SimClient* client, uint8_t* buffer, uint32_t size) noexcept;
enum FlushResult : uint32_t { FlushHandedOver = 0, FlushNothing = 1, FlushNotTaken = 2 };

// 1 for a null client; else the flush's result (every client sends at once).
uint32_t commitMessage(SimClient* client) noexcept;
// 0 when a block was handed to the transport; 1 when nothing was (null client, nothing staged,
// no memory — then the staged bytes stay for the next flush); 2 when the transport did not take
// the block (not connected, or its write could not be posted): the staged messages are gone.
uint32_t flushStaging(SimClient* client) noexcept;
