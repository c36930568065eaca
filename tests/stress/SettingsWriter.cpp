// settings-writer <base folder> <ready event name>: opens the stress store under the base folder
// and rewrites it, one setValue after another, with a rising counter, until it is killed (or
// after 30 seconds, so that a writer whose test died does not run on). Sets the named event once
// its first write has returned.
#include <windows.h>

#include <chrono>
#include <cstdio>

#include "settings/SettingsStore.h"
#include "tests/stress/SettingsStates.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: settings-writer <base folder> <ready event name>\n");
    return 2;
  }
  using namespace settings_states;
  try {
    SettingsStore store(kStoreName, std::filesystem::path(argv[1]));
    uint64_t counter = 0;
    const auto section = store.sections().find(kCounterSection);
    if (section != store.sections().end()) {
      const auto entry = section->second.find(kCounterKey);
      if (entry != section->second.end()) counter = counterOf(entry->second).value_or(0);
    }
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
      store.setValue(kCounterSection, kCounterKey, counterValue(++counter));
      if (ready != nullptr) {
        SetEvent(ready);
        CloseHandle(ready);
        ready = nullptr;
      }
    }
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "settings-writer: %s\n", error.what());
    return 1;
  }
}
