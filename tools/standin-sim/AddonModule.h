#pragma once
// An add-on DLL loaded into the stand-in simulator, with its start, frame and stop exports.
// The DLL is loaded with its own folder first in the search order (so that a Wirebridge.dll beside
// it is the one it gets) and is never unloaded: the SimConnect clients it opens live until the
// process ends, and their I/O completions and the pump would otherwise find the code gone.
#include "tools/standin-sim/AddonInterface.h"

#include <string>

namespace standin {

class AddonModule {
public:
  // Throws std::runtime_error naming what is missing.
  explicit AddonModule(const std::wstring& path);

  int start(const StandInAddonHost& host) const { return start_(&host); }
  int frame() const { return frame_(); }
  int stop() const { return stop_(); }

private:
  StandInAddonStartFn start_ = nullptr;
  StandInAddonFrameFn frame_ = nullptr;
  StandInAddonStopFn stop_ = nullptr;
};

} // namespace standin
