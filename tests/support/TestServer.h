#pragma once
// The stand-in SimConnect server inside the test process, on a pipe name of its own and free TCP
// ports, so that tests of the transport do not need the simulator's standard endpoints.
#include <windows.h>

#include <string>

#include "tools/simserver/Server.h"

inline simserver::Options privateServerOptions() {
  simserver::Options options;
  options.pipePath = L"\\\\.\\pipe\\wirebridge-test-" + std::to_wstring(GetCurrentProcessId());
  options.publishPorts = false;
  return options;
}

inline std::wstring privatePipeName() {
  return L"wirebridge-test-" + std::to_wstring(GetCurrentProcessId());
}
