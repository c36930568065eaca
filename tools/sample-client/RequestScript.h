#pragma once
// The conversation that the sample add-on and the sample client hold with a SimConnect server
// through Wirebridge: one request of every kind, sent in an order whose answers depend on each
// other (the data set is what the data request must bring back), and the check of every record
// that comes back. Everything sent and received is printed.
#include "include/Wirebridge.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sample {

class RequestScript {
public:
  using Print = std::function<void(const std::string&)>;

  RequestScript(HANDLE simConnect, Print print);

  // RequestSystemState with this id and name; its answer is expected from then on.
  HRESULT requestState(uint32_t requestId, const char* name);

  // Map an event, define data, set it, request it back, transmit the event, ask for a state.
  // True when every call answered S_OK.
  bool sendEveryKind();

  // Every dispatched record goes through here (from the dispatch procedure).
  void take(const SIMCONNECT_RECV* record, DWORD length);

  bool openReplySeen() const { return openClientId_ != 0; }
  uint32_t clientId() const { return openClientId_; }
  bool everyKindSent() const { return everyKindSent_; }
  bool complete() const; // the open reply and every expected answer arrived
  bool failed() const { return !problems_.empty(); }
  size_t recordsSeen() const { return recordsSeen_; }
  std::string missing() const;
  const std::vector<std::string>& problems() const { return problems_; }

  // The dispatch procedure to give SimConnect_CallDispatch, with the script as context.
  static void CALLBACK dispatch(SIMCONNECT_RECV* record, DWORD length, void* context);

private:
  struct Expectation {
    std::string what;
    std::function<bool(const uint8_t*, size_t)> matches;
    bool seen = false;
  };

  void expect(std::string what, std::function<bool(const uint8_t*, size_t)> matches);
  void sent(const std::string& request, HRESULT result);
  void problem(const std::string& text);

  HANDLE simConnect_;
  Print print_;
  std::vector<Expectation> expectations_;
  std::vector<std::string> problems_;
  uint32_t openClientId_ = 0;
  bool everyKindSent_ = false;
  size_t recordsSeen_ = 0;
};

std::string resultText(HRESULT result);

} // namespace sample
