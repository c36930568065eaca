#pragma once
// The stand-in simulator: plays Prepar3D v4 for an add-on DLL and for SimConnect clients in other
// processes, on the thread that calls it (which becomes the simulator's main thread).
//
// One run:
//   1. reports the VR mode found in the add-on's settings file ([Loading] ForceVRMode = 1);
//   2. creates the main window "FS98MAIN" and implements the host protocol behind it (HostSide);
//   3. serves SimConnect on the standard pipe and on TCP ::1 / 127.0.0.1 with the ports published
//      in HKCU (simserver::Server);
//   4. loads the add-on, calls its start export, runs frames (deliveries, the pump-all call, the
//      add-on's frame export) until the add-on is done or a limit is reached, lets the host path
//      settle, stops pumping and calls the add-on's stop export;
//   5. waits for the expected number of external clients to finish;
//   6. writes a summary and tells whether everything balanced.
// Everything that happens goes into a transcript (stdout and/or a file, and the result).
//
// Run it once per process: an add-on's SimConnect client stays alive after the run (there is no
// close), and a second run would find it in the pump's list again.
#include "tools/standin-sim/AddonModule.h"
#include "tools/standin-sim/HostSide.h"
#include "tools/standin-sim/VrModeSetting.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace standin {

struct StandInReady {
  std::wstring pipePath;
  uint16_t ipv4Port = 0; // 0 when not served
  uint16_t ipv6Port = 0;
};

struct StandInOptions {
  std::wstring addonPath; // add-on DLL; empty runs without one
  AddonSearch addonSearch = AddonSearch::addonFolderFirst;
  unsigned frameMilliseconds = 20; // frame timer period
  unsigned maxFrames = 0;          // 0: no frame limit
  unsigned maxSeconds = 30;        // 0: no time limit (then maxFrames must be set)
  bool endWhenDone = true;         // false: run to the limit even when the add-on is done
  unsigned expectClients = 0;      // external clients that must connect and finish
  unsigned clientWaitSeconds = 30; // how long to wait for them after the add-on has stopped
  bool transcriptToStdout = true;
  std::wstring transcriptFile; // empty: no file
  std::wstring settingsFile;   // empty: the add-on's settings file in roaming app data
  std::wstring readyFile;      // written once the endpoints listen, removed at the end
  std::function<void(const StandInReady&)> onReady; // called on the main thread, same moment
};

struct ConnectionReport {
  uint32_t id = 0;
  std::string endpoint; // "pipe", "ipv4", "ipv6"
  uint32_t clientId = 0;
  bool addon = false; // the client registered on the host path (it runs in this process)
  std::vector<uint32_t> requestTypes;
  std::string closedBy;        // "client", "server", "stop", "nobody (open)"
  bool closedByClient = false; // the client finished and went away
  size_t violations = 0;
};

struct StandInResult {
  bool passed = false;
  std::vector<std::string> problems;
  VrModeReport vrMode;
  bool addonLoaded = false;
  bool addonStarted = false;
  bool addonDone = false;
  int addonStopResult = -1; // -1 when the stop export was not called
  unsigned frames = 0;
  HostSummary host;
  std::vector<ConnectionReport> connections; // accept order
  unsigned externalClientsFinished = 0;
  std::vector<std::string> transcript;
};

StandInResult simulate(const StandInOptions& options);

// The entry for programs (standin-simulator.exe, the prepar3d.exe stand-in): 0 when everything
// balanced, 1 otherwise.
int runStandInSimulator(const StandInOptions& options);

} // namespace standin
