#pragma once
// An "FS98MAIN" window of the test's own process that records the host commands it is sent, as
// the simulator's main window would receive them.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "client/HostCommand.h"

class FakeSimulatorWindow {
public:
  struct Command {
    uint32_t kind;
    std::vector<uint8_t> bytes;
  };

  // `remover` is what the window writes at offset 16 of a remover query (kind 5).
  explicit FakeSimulatorWindow(PumpRemoverFn remover = nullptr) : remover_(remover) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &FakeSimulatorWindow::procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"FS98MAIN";
    RegisterClassW(&wc);
    current() = this;
    window_ = CreateWindowExW(0, wc.lpszClassName, L"Stand-in simulator", WS_OVERLAPPED, 0, 0, 10,
                              10, nullptr, nullptr, wc.hInstance, nullptr);
  }
  ~FakeSimulatorWindow() {
    DestroyWindow(window_);
    current() = nullptr;
  }
  FakeSimulatorWindow(const FakeSimulatorWindow&) = delete;
  FakeSimulatorWindow& operator=(const FakeSimulatorWindow&) = delete;

  HWND get() const { return window_; }
  std::vector<Command> commands;

private:
  static FakeSimulatorWindow*& current() {
    static FakeSimulatorWindow* instance = nullptr;
    return instance;
  }

  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    FakeSimulatorWindow* self = current();
    if (self != nullptr && message == WM_COMMAND && wParam == 0x0002002A) {
      auto* record = reinterpret_cast<uint8_t*>(lParam);
      uint32_t size;
      uint32_t kind;
      std::memcpy(&size, record, 4);
      std::memcpy(&kind, record + 4, 4);
      self->commands.push_back({kind, std::vector<uint8_t>(record, record + size)});
      if (kind == 5) {
        auto address = reinterpret_cast<uint64_t>(self->remover_);
        std::memcpy(record + 16, &address, 8);
      }
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  PumpRemoverFn remover_;
  HWND window_ = nullptr;
};
