#pragma once
// Opening a client with the configured transport and its fallbacks to the local machine, the
// attach to a simulator running in this process, and the tear-down of failed attempts.
#include <cstdint>

class SimClient;

enum OpenResult : uint32_t { OpenConnected = 0, OpenFailed = 1, OpenSectionMissing = 3 };

// Sets *slot to null, then to the connected client on success. Blocks the calling thread.
uint32_t openConnection(SimClient** slot, uint32_t configIndex);

// Closes a client whose opening failed: unlinks it, disconnects it, drops the creator's
// reference, and ends Winsock when no client is left and no other open is under way.
void closeClient(SimClient* client);

// Starts Winsock 2.0 once; true when started.
bool startWinsock();
bool winsockIsStarted(); // for tests

// Counts one SimConnect_Open under way on this thread, so that a failing open elsewhere does not
// end Winsock beneath it.
class OpenInProgress {
public:
  OpenInProgress() noexcept;
  ~OpenInProgress();
  OpenInProgress(const OpenInProgress&) = delete;
  OpenInProgress& operator=(const OpenInProgress&) = delete;
};
