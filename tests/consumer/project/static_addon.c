/* An add-on DLL that imports Wirebridge.dll through the import library. */
#include "conversation.h"

__declspec(dllexport) int AddonRun(void) {
  return RunConversation("Wirebridge static add-on");
}
