/* A program that imports Wirebridge.dll through the import library, the DLL beside it. */
#include "conversation.h"

int main(void) {
  return RunConversation("Wirebridge package consumer");
}
