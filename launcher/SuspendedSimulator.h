#pragma once
// The simulator's process while it waits, started suspended: owns its two handles and lets its
// main thread run at the latest when this object goes, so no way out of the launcher leaves a
// simulator that never runs.
#include "launcher/LauncherPlatform.h"

class SuspendedSimulator {
public:
  SuspendedSimulator(LauncherPlatform& platform, const PROCESS_INFORMATION& started) noexcept
      : platform_(platform), process_(started.hProcess), thread_(started.hThread) {}
  ~SuspendedSimulator() { resume(); }
  SuspendedSimulator(const SuspendedSimulator&) = delete;
  SuspendedSimulator& operator=(const SuspendedSimulator&) = delete;

  // Resumes the main thread and closes both handles; the launcher has no further use for them.
  void resume() noexcept {
    if (resumed_) return;
    resumed_ = true;
    platform_.resumeThread(thread_);
    platform_.closeHandle(thread_);
    platform_.closeHandle(process_);
  }

private:
  LauncherPlatform& platform_;
  HANDLE process_;
  HANDLE thread_;
  bool resumed_ = false;
};
