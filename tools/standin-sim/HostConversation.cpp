#include "tools/standin-sim/HostConversation.h"

#include "tools/simserver/ByteOrder.h"
#include "tools/simserver/Records.h"

namespace standin {
namespace {

using simserver::readU32;
using simserver::writeU32;

// The rules expect the Open message first. The client's real Open message travelled over its
// transport before the host path began; a well-formed stand-in with sequence 1 puts the rules in
// the same state, so that every host-path message is checked for order as well.
std::vector<uint8_t> openBeforeHostPath() {
  std::vector<uint8_t> open(296, 0);
  writeU32(open.data(), 296);
  writeU32(open.data() + 4, 26);
  writeU32(open.data() + 8, simserver::message_type::Open);
  writeU32(open.data() + 12, 1);
  simserver::writeStringField(open.data() + 16, "host path");
  writeU32(open.data() + 276, 0x50334400);
  writeU32(open.data() + 280, 4);
  return open;
}

} // namespace

HostConversation::HostConversation() {
  const std::vector<uint8_t> open = openBeforeHostPath();
  rules_.check(open.data(), open.size());
}

HostAnswerSet HostConversation::take(const uint8_t* m, uint32_t size) {
  namespace type = simserver::message_type;
  namespace records = simserver::records;
  HostAnswerSet set;
  const simserver::MessageHeader header = simserver::readHeader(m);
  set.type = header.type;
  set.description = simserver::describeMessage(m, size);
  set.findings = rules_.check(m, size);
  const uint32_t index = index_++;
  if (!set.findings.empty()) {
    for (const simserver::Finding& finding : set.findings)
      set.answers.push_back(
          records::fault(header.sequence, header.type, static_cast<uint32_t>(finding.kind), index));
    return set;
  }
  switch (header.type) {
  case type::TransmitClientEvent:
    set.answers.push_back(records::event(readU32(m + 28), readU32(m + 20), readU32(m + 24),
                                         readU32(m + 16), readU32(m + 32), header.sequence));
    return set;
  case type::AddToDataDefinition:
    ++definitionEntries_[readU32(m + 16)];
    break;
  case type::RequestDataOnSimObject: {
    const uint32_t definition = readU32(m + 20);
    const auto entries = definitionEntries_.find(definition);
    const auto data = lastSetData_.find(definition);
    set.answers.push_back(
        records::data(readU32(m + 16), definition, readU32(m + 24), readU32(m + 28),
                      readU32(m + 32), entries == definitionEntries_.end() ? 0 : entries->second,
                      data == lastSetData_.end() ? std::vector<uint8_t>{} : data->second));
    return set;
  }
  case type::SetDataOnSimObject:
    lastSetData_[readU32(m + 16)].assign(m + 36, m + size);
    break;
  case type::RequestSystemState:
    set.answers.push_back(records::systemState(readU32(m + 16), m + 20));
    return set;
  default:
    break;
  }
  set.answers.push_back(records::ack(header.type, header.sequence, index));
  return set;
}

} // namespace standin
