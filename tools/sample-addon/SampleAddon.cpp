// SampleAddon.dll: the add-on's component inside the simulator, as the stand-in simulator runs it.
// It opens a SimConnect client through Wirebridge (inside the simulator's process, so Wirebridge
// attaches to the main window and the host path takes over once the server's open reply is
// dispatched), asks for one system state at once (still over the pipe), and after the open reply
// sends one request of every kind (now over the host path). Every frame it dispatches its
// client; the simulator's pump-all call dispatches it too. It is done when every reply arrived.
//
// Built twice: SampleAddon.dll imports Wirebridge.dll through the import library, which works
// when the simulator searches the add-on's folder; SampleLoaderAddon.dll
// (SAMPLE_ADDON_LOADS_WIREBRIDGE) loads the Wirebridge.dll beside it at start through
// WirebridgeLoader.h, which works however the simulator loaded the add-on.
#include "tools/sample-client/RequestScript.h"
#include "tools/standin-sim/AddonInterface.h"
#ifdef SAMPLE_ADDON_LOADS_WIREBRIDGE
#define WIREBRIDGE_LOADER_IMPLEMENTATION
#include "include/WirebridgeLoader.h"
#endif

#include <memory>
#include <string>

namespace {

constexpr char kApplicationName[] = "Aerolumen sample add-on";
constexpr DWORD kEarlyStateRequest = 1;
constexpr char kEarlyStateName[] = "Sim";
constexpr DWORD kConfigIndex = 0;

struct AddonState {
  StandInAddonHost host{};
  HANDLE simConnect = nullptr;
  // Lives as long as the process: the SimConnect client keeps it as its dispatch context, and
  // the client itself is never closed.
  std::unique_ptr<sample::RequestScript> script;
  bool reportedDone = false;

  void log(const std::string& line) const { host.log(host.logContext, line.c_str()); }
};

AddonState& state() {
  static AddonState instance;
  return instance;
}

} // namespace

extern "C" __declspec(dllexport) int AddonStart(const StandInAddonHost* host) {
  if (host == nullptr || host->size < sizeof(StandInAddonHost) || host->log == nullptr) return 1;
  AddonState& self = state();
  if (self.script) return 1; // one run per process: the first client still lives
  self.host = *host;
  self.log(std::string("settings: VR mode ") + (host->vrMode ? "on" : "off"));
#ifdef SAMPLE_ADDON_LOADS_WIREBRIDGE
  WirebridgeLoadResult loaded;
  char message[2 * WIREBRIDGE_LOADER_PATH_CHARS];
  const bool ready = WirebridgeLoad(&loaded);
  self.log(WirebridgeLoadMessage(&loaded, message, sizeof message));
  if (!ready) return 1;
#endif
  const HRESULT opened =
      SimConnect_Open(&self.simConnect, kApplicationName, nullptr, 0, nullptr, kConfigIndex);
  self.log("SimConnect_Open(\"" + std::string(kApplicationName) + "\", index 0) -> " +
           sample::resultText(opened));
  if (opened != S_OK) return 1;
  self.script = std::make_unique<sample::RequestScript>(
      self.simConnect, [](const std::string& line) { state().log(line); });
  // Sent before the open reply has been dispatched: this one still travels over the pipe.
  self.script->requestState(kEarlyStateRequest, kEarlyStateName);
  return self.script->failed() ? 1 : 0;
}

extern "C" __declspec(dllexport) int AddonFrame() {
  AddonState& self = state();
  if (!self.script) return STANDIN_ADDON_FAILED;
  const HRESULT result =
      SimConnect_CallDispatch(self.simConnect, &sample::RequestScript::dispatch, self.script.get());
  if (result != S_OK) {
    self.log("SimConnect_CallDispatch -> " + sample::resultText(result));
    return STANDIN_ADDON_FAILED;
  }
  if (self.script->openReplySeen() && !self.script->everyKindSent()) {
    self.log("open reply seen (client id " + std::to_string(self.script->clientId()) +
             "): sending one request of every kind");
    self.script->sendEveryKind();
  }
  if (self.script->failed()) return STANDIN_ADDON_FAILED;
  if (!self.script->complete()) return STANDIN_ADDON_RUNNING;
  if (!self.reportedDone) {
    self.reportedDone = true;
    self.log("every reply arrived (" + std::to_string(self.script->recordsSeen()) + " records)");
  }
  return STANDIN_ADDON_DONE;
}

extern "C" __declspec(dllexport) int AddonStop() {
  AddonState& self = state();
  if (!self.script) return 1;
  const bool good = self.script->complete() && !self.script->failed();
  self.log(good ? "stopping: saw " + std::to_string(self.script->recordsSeen()) +
                      " records, nothing missing"
                : "stopping: missing " + self.script->missing() + "; " +
                      std::to_string(self.script->problems().size()) + " problem(s)");
  return good ? 0 : 1;
}
