/* The add-on's conversation: opens a SimConnect connection through Wirebridge (retrying while the
 * server starts), asks for the system state "Sim" and dispatches until the Open reply and the
 * state reply have arrived. Returns 0 when both arrived, 1 otherwise. */
#include "conversation.h"

#include <stdio.h>

enum { OPEN_REPLY = 2, SYSTEM_STATE_REPLY = 0x1004, STATE_REQUEST = 7 };

struct Progress {
  int opened;
  int stateReplies;
};

static void CALLBACK onRecord(SIMCONNECT_RECV* record, DWORD size, void* context) {
  struct Progress* progress = (struct Progress*)context;
  printf("addon: record id 0x%lx, %lu bytes\n", (unsigned long)record->dwID, (unsigned long)size);
  if (record->dwID == OPEN_REPLY) progress->opened = 1;
  if (record->dwID == SYSTEM_STATE_REPLY) ++progress->stateReplies;
}

int RunConversation(const char* name) {
  HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
  HANDLE simConnect = NULL;
  HRESULT result = E_FAIL;
  struct Progress progress = {0, 0};
  ULONGLONG deadline;

  if (event == NULL) return 1;
  for (int attempt = 0; attempt < 150 && FAILED(result); ++attempt) {
    result = SimConnect_Open(&simConnect, name, NULL, 0, event, 0);
    if (FAILED(result)) Sleep(100);
  }
  if (FAILED(result)) {
    printf("addon: SimConnect_Open failed: 0x%08lx\n", (unsigned long)result);
    return 1;
  }
  result = SimConnect_RequestSystemState(simConnect, STATE_REQUEST, "Sim");
  if (FAILED(result)) {
    printf("addon: SimConnect_RequestSystemState failed: 0x%08lx\n", (unsigned long)result);
    return 1;
  }
  deadline = GetTickCount64() + 20000;
  while (!(progress.opened && progress.stateReplies > 0) && GetTickCount64() < deadline) {
    WaitForSingleObject(event, 250);
    result = SimConnect_CallDispatch(simConnect, onRecord, &progress);
    if (FAILED(result)) {
      printf("addon: SimConnect_CallDispatch failed: 0x%08lx\n", (unsigned long)result);
      return 1;
    }
  }
  printf("addon: open reply %s, %d system state replies\n", progress.opened ? "seen" : "missing",
         progress.stateReplies);
  return progress.opened && progress.stateReplies == 1 ? 0 : 1;
}
