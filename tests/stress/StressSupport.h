#pragma once
// Helpers the stress tests share: little-endian field reads, a watchdog that ends a hung test
// with a message instead of letting it wait for the test runner's time-out, and elapsed time.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace stress {

inline uint32_t u32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

inline uint32_t u32(const std::vector<uint8_t>& bytes, size_t offset) {
  return u32(bytes.data() + offset);
}

inline void putU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  std::memcpy(bytes.data() + offset, &value, 4);
}

// Ends the process with a message when it is not disarmed within its deadline: a deadlock then
// shows as a named failure of the stage that hung.
class Watchdog {
public:
  Watchdog(std::string stage, std::chrono::seconds deadline)
      : stage_(std::move(stage)), disarmed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread_ = std::thread([this, deadline] {
      const auto ms = static_cast<DWORD>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline).count());
      if (WaitForSingleObject(disarmed_, ms) == WAIT_TIMEOUT) {
        std::fprintf(stderr, "WATCHDOG: \"%s\" still running after %lld s: deadlock\n",
                     stage_.c_str(), static_cast<long long>(deadline.count()));
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 86);
      }
    });
  }
  ~Watchdog() {
    SetEvent(disarmed_);
    thread_.join();
    CloseHandle(disarmed_);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

private:
  std::string stage_;
  HANDLE disarmed_;
  std::thread thread_;
};

class Stopwatch {
public:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace stress
