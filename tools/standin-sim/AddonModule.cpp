#include "tools/standin-sim/AddonModule.h"

#include <windows.h>

#include <iterator>
#include <stdexcept>

namespace standin {
namespace {

template <typename Function> Function exported(HMODULE module, const char* name) {
  const FARPROC address = GetProcAddress(module, name);
  if (address == nullptr) throw std::runtime_error(std::string("the add-on exports no ") + name);
  return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

} // namespace

AddonModule::AddonModule(const std::wstring& path, AddonSearch search) {
  // The altered search order starts in the DLL's folder only for a full path.
  wchar_t full[MAX_PATH * 4] = {};
  const DWORD length = GetFullPathNameW(path.c_str(), DWORD(std::size(full)), full, nullptr);
  if (length == 0 || length >= std::size(full))
    throw std::runtime_error("the add-on path cannot be made absolute");
  const bool plain = search == AddonSearch::plain;
  const HMODULE module =
      plain ? LoadLibraryW(full) : LoadLibraryExW(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr)
    throw std::runtime_error(std::string(plain ? "LoadLibraryW" : "LoadLibraryExW") +
                             " of the add-on failed with " + std::to_string(GetLastError()));
  start_ = exported<StandInAddonStartFn>(module, STANDIN_ADDON_START_EXPORT);
  frame_ = exported<StandInAddonFrameFn>(module, STANDIN_ADDON_FRAME_EXPORT);
  stop_ = exported<StandInAddonStopFn>(module, STANDIN_ADDON_STOP_EXPORT);
}

} // namespace standin
