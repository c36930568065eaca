/* The add-on's conversation with the server, shared by the program and the add-on DLLs. */
#ifndef CONSUMER_CONVERSATION_H
#define CONSUMER_CONVERSATION_H

#include <Wirebridge.h>

int RunConversation(const char* name);

#endif
