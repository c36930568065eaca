#include "tools/sample-client/RequestScript.h"

#include "tools/standin-sim/RecordText.h"

#include <cstdio>
#include <cstring>

namespace sample {
namespace {

using standin::recordString;
using standin::recordU32;

// What the conversation asks for.
constexpr DWORD kEventId = 7;
constexpr char kEventName[] = "PARKING_BRAKES";
constexpr DWORD kEventData = 1;
constexpr DWORD kGroupId = 1;
constexpr DWORD kGroupIsPriority = 0x10;
constexpr DWORD kDefinitionId = 1;
constexpr char kDatumName[] = "PLANE ALTITUDE";
constexpr char kUnitsName[] = "feet";
constexpr DWORD kDatumFloat64 = 4;
constexpr DWORD kUnusedDatumId = 0xFFFFFFFF;
constexpr DWORD kUserObject = 0;
constexpr double kAltitudeFeet = 3500.0;
constexpr DWORD kDataRequestId = 20;
constexpr DWORD kPeriodOnce = 1;
constexpr DWORD kStateRequestId = 30;
constexpr char kStateName[] = "AircraftLoaded";

constexpr uint32_t kOpenReplySize = 308;
constexpr uint32_t kMapType = 0xF0000004;
constexpr uint32_t kAddToDefinitionType = 0xF000000C;
constexpr uint32_t kSetDataType = 0xF0000010;

std::vector<uint8_t> altitudeBytes() {
  std::vector<uint8_t> bytes(sizeof kAltitudeFeet);
  std::memcpy(bytes.data(), &kAltitudeFeet, sizeof kAltitudeFeet);
  return bytes;
}

bool isAckFor(const uint8_t* record, size_t length, uint32_t type) {
  return length == 24 && recordU32(record, 8) == standin::record_id::Ack &&
         recordU32(record, 12) == type;
}

} // namespace

std::string resultText(HRESULT result) {
  if (result == S_OK) return "S_OK";
  char text[32];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
  return text;
}

RequestScript::RequestScript(HANDLE simConnect, Print print)
    : simConnect_(simConnect), print_(std::move(print)) {}

void RequestScript::expect(std::string what, std::function<bool(const uint8_t*, size_t)> matches) {
  expectations_.push_back({std::move(what), std::move(matches), false});
}

void RequestScript::sent(const std::string& request, HRESULT result) {
  print_("request " + request + " -> " + resultText(result));
  if (result != S_OK) problem(request + " answered " + resultText(result));
}

void RequestScript::problem(const std::string& text) {
  problems_.push_back(text);
  print_("PROBLEM: " + text);
}

HRESULT RequestScript::requestState(uint32_t requestId, const char* name) {
  const HRESULT result = SimConnect_RequestSystemState(simConnect_, requestId, name);
  sent("RequestSystemState request=" + std::to_string(requestId) + " state=\"" + name + "\"",
       result);
  const std::string expected = name;
  expect("SystemState for request " + std::to_string(requestId),
         [requestId, expected](const uint8_t* record, size_t length) {
           return length == 280 && recordU32(record, 8) == standin::record_id::SystemState &&
                  recordU32(record, 12) == requestId && recordString(record + 24) == expected;
         });
  return result;
}

bool RequestScript::sendEveryKind() {
  const size_t problemsBefore = problems_.size();
  sent("MapClientEventToSimEvent event=" + std::to_string(kEventId) + " name=\"" + kEventName +
           "\"",
       SimConnect_MapClientEventToSimEvent(simConnect_, kEventId, kEventName));
  expect("Ack for MapClientEventToSimEvent",
         [](const uint8_t* record, size_t length) { return isAckFor(record, length, kMapType); });

  sent("AddToDataDefinition definition=" + std::to_string(kDefinitionId) + " datum=\"" +
           kDatumName + "\" units=\"" + kUnitsName + "\" type=FLOAT64",
       SimConnect_AddToDataDefinition(simConnect_, kDefinitionId, kDatumName, kUnitsName,
                                      kDatumFloat64, 0.0f, kUnusedDatumId));
  expect("Ack for AddToDataDefinition", [](const uint8_t* record, size_t length) {
    return isAckFor(record, length, kAddToDefinitionType);
  });

  std::vector<uint8_t> altitude = altitudeBytes();
  sent("SetDataOnSimObject definition=" + std::to_string(kDefinitionId) +
           " object=user altitude=3500 ft (8 bytes)",
       SimConnect_SetDataOnSimObject(simConnect_, kDefinitionId, kUserObject, 0, 1,
                                     DWORD(altitude.size()), altitude.data()));
  expect("Ack for SetDataOnSimObject", [](const uint8_t* record, size_t length) {
    return isAckFor(record, length, kSetDataType);
  });

  sent("RequestDataOnSimObject request=" + std::to_string(kDataRequestId) +
           " definition=" + std::to_string(kDefinitionId) + " object=user period=once",
       SimConnect_RequestDataOnSimObject(simConnect_, kDataRequestId, kDefinitionId, kUserObject,
                                         kPeriodOnce, 0, 0, 0, 0));
  expect("Data for request " + std::to_string(kDataRequestId) + " carrying the altitude set",
         [altitude](const uint8_t* record, size_t length) {
           return length == 40 + altitude.size() &&
                  recordU32(record, 8) == standin::record_id::Data &&
                  recordU32(record, 12) == kDataRequestId &&
                  recordU32(record, 16) == kDefinitionId && recordU32(record, 36) == 1 &&
                  std::memcmp(record + 40, altitude.data(), altitude.size()) == 0;
         });

  sent("TransmitClientEvent object=user event=" + std::to_string(kEventId) + " data=" +
           std::to_string(kEventData) + " group=" + std::to_string(kGroupId) + " flags=0x10",
       SimConnect_TransmitClientEvent(simConnect_, kUserObject, kEventId, kEventData, kGroupId,
                                      kGroupIsPriority));
  expect("Event " + std::to_string(kEventId), [](const uint8_t* record, size_t length) {
    return length == 36 && recordU32(record, 8) == standin::record_id::Event &&
           recordU32(record, 12) == kGroupId && recordU32(record, 16) == kEventId &&
           recordU32(record, 20) == kEventData && recordU32(record, 28) == kGroupIsPriority;
  });

  requestState(kStateRequestId, kStateName);
  everyKindSent_ = true;
  return problems_.size() == problemsBefore;
}

void RequestScript::take(const SIMCONNECT_RECV* header, DWORD length) {
  const auto* record = reinterpret_cast<const uint8_t*>(header);
  ++recordsSeen_;
  print_("reply " + standin::describeRecord(record, length));
  if (length < 12 || recordU32(record, 0) != length) {
    problem("a record whose size field does not match its length " + std::to_string(length));
    return;
  }
  const uint32_t id = recordU32(record, 8);
  if (id == standin::record_id::Open) {
    if (openClientId_ != 0)
      problem("a second open reply");
    else if (length != kOpenReplySize || recordU32(record, 300) == 0)
      problem("an open reply without a client id");
    else
      openClientId_ = recordU32(record, 300);
    return;
  }
  for (Expectation& expectation : expectations_) {
    if (!expectation.seen && expectation.matches(record, length)) {
      expectation.seen = true;
      return;
    }
  }
  problem(id == standin::record_id::Fault ? "the server reported a fault"
                                          : "a record that answers nothing asked");
}

bool RequestScript::complete() const {
  if (!openReplySeen() || !everyKindSent_) return false;
  for (const Expectation& expectation : expectations_)
    if (!expectation.seen) return false;
  return true;
}

std::string RequestScript::missing() const {
  std::string text;
  if (!openReplySeen()) text = "the open reply";
  if (!everyKindSent_)
    text += std::string(text.empty() ? "" : "; ") + "(the requests were never sent)";
  for (const Expectation& expectation : expectations_)
    if (!expectation.seen) text += (text.empty() ? "" : "; ") + expectation.what;
  return text.empty() ? "nothing" : text;
}

void CALLBACK RequestScript::dispatch(SIMCONNECT_RECV* record, DWORD length, void* context) {
  static_cast<RequestScript*>(context)->take(record, length);
}

} // namespace sample
