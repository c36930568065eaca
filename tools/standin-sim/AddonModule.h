#pragma once
// An add-on DLL loaded into the stand-in simulator, with its start, frame and stop exports.
// The DLL is loaded by its full path, by default with its own folder first in the search order
// (so that a Wirebridge.dll beside it is the one it gets); AddonSearch::plain loads it with a plain
// LoadLibraryW, as a simulator may, so that the DLLs it imports are looked for beside the
// simulator and not beside the add-on. It is never unloaded: the SimConnect clients it opens live
// until the process ends, and their I/O completions and the pump would otherwise find the code
// gone.
#include "tools/standin-sim/AddonInterface.h"

#include <string>

namespace standin {

enum class AddonSearch {
  addonFolderFirst, // LoadLibraryExW with LOAD_WITH_ALTERED_SEARCH_PATH
  plain,            // LoadLibraryW
};

class AddonModule {
public:
  // Throws std::runtime_error naming what is missing, or the system error of a failed load.
  AddonModule(const std::wstring& path, AddonSearch search);

  int start(const StandInAddonHost& host) const { return start_(&host); }
  int frame() const { return frame_(); }
  int stop() const { return stop_(); }

private:
  StandInAddonStartFn start_ = nullptr;
  StandInAddonFrameFn frame_ = nullptr;
  StandInAddonStopFn stop_ = nullptr;
};

} // namespace standin
