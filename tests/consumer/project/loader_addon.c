/* An add-on DLL that loads the Wirebridge.dll beside it through WirebridgeLoader.h. */
#define WIREBRIDGE_LOADER_IMPLEMENTATION
#include <WirebridgeLoader.h>

#include "conversation.h"

#include <stdio.h>

__declspec(dllexport) int AddonRun(void) {
  WirebridgeLoadResult loaded;
  char text[2 * WIREBRIDGE_LOADER_PATH_CHARS];
  const BOOL ready = WirebridgeLoad(&loaded);
  printf("loader add-on: %s\n", WirebridgeLoadMessage(&loaded, text, sizeof text));
  if (!ready) return 1;
  return RunConversation("Wirebridge loader add-on");
}
