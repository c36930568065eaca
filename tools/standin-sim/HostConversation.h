#pragma once
// One client's conversation on the host path: the messages it hands over through hostSend, checked
// by the stand-in server's own rules and answered with the records the server would write on the
// pipe or socket (same builders, same state: data definitions and the last data set per
// definition). The client's Open message went over its transport, so the conversation starts
// after it.
#include "tools/simserver/ClientMessages.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace standin {

struct HostAnswerSet {
  std::string description; // the message decoded, for the transcript
  uint32_t type = 0;       // its type id
  std::vector<simserver::Finding> findings;
  std::vector<std::vector<uint8_t>> answers; // records to deliver, in order
};

class HostConversation {
public:
  HostConversation();

  // One framed message of `size` bytes (size >= 16).
  HostAnswerSet take(const uint8_t* message, uint32_t size);

private:
  simserver::ConversationRules rules_;
  std::map<uint32_t, uint32_t> definitionEntries_;
  std::map<uint32_t, std::vector<uint8_t>> lastSetData_;
  uint32_t index_ = 0;
};

} // namespace standin
