#include "tools/standin-sim/SimulatorWindow.h"

#include "tools/standin-sim/HostRecords.h"

#include <stdexcept>
#include <string>

namespace standin {
namespace {

constexpr wchar_t kClassName[] = L"FS98MAIN";
constexpr UINT_PTR kFrameTimer = 1;

} // namespace

SimulatorWindow::SimulatorWindow(HostSide& host) : host_(host) {
  instance_ = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &SimulatorWindow::procedure;
  windowClass.hInstance = instance_;
  windowClass.lpszClassName = kClassName;
  class_ = RegisterClassExW(&windowClass);
  if (class_ == 0)
    throw std::runtime_error("RegisterClassExW(FS98MAIN) failed with " +
                             std::to_string(GetLastError()));
  // A hidden top-level window: found by FindWindowW, unlike a message-only window. Topmost, so
  // that where other "FS98MAIN" windows exist on the same desktop (test doubles of other
  // programs), a lookup by class finds this one first.
  window_ =
      CreateWindowExW(WS_EX_TOPMOST, kClassName, L"Stand-in Prepar3D v4", WS_OVERLAPPEDWINDOW,
                      CW_USEDEFAULT, CW_USEDEFAULT, 320, 200, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) {
    const DWORD error = GetLastError();
    UnregisterClassW(kClassName, instance_);
    throw std::runtime_error("CreateWindowExW(FS98MAIN) failed with " + std::to_string(error));
  }
}

SimulatorWindow::~SimulatorWindow() {
  DestroyWindow(window_);
  UnregisterClassW(kClassName, instance_);
}

bool SimulatorWindow::runFrames(unsigned frameMilliseconds, const std::function<bool()>& frame) {
  frame_ = &frame;
  running_ = true;
  SetTimer(window_, kFrameTimer, frameMilliseconds, nullptr);
  bool quit = false;
  MSG message;
  while (running_) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      quit = true;
      break;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  KillTimer(window_, kFrameTimer);
  frame_ = nullptr;
  running_ = false;
  if (quit) PostQuitMessage(int(message.wParam)); // leave it for the caller's own loop
  return !quit;
}

LRESULT CALLBACK SimulatorWindow::procedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<SimulatorWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr) {
    if (message == host::kCommandMessage && uint64_t(wParam) == host::kCommandWParam) {
      self->host_.onCommand(reinterpret_cast<uint8_t*>(lParam));
      return 0;
    }
    if (message == WM_TIMER && wParam == kFrameTimer) {
      if (self->running_ && self->frame_ && !self->inFrame_) {
        self->inFrame_ = true;
        if (!(*self->frame_)()) self->running_ = false;
        self->inFrame_ = false;
      }
      return 0;
    }
    if (message == WM_CLOSE)
      return 0; // the simulator ends when its run ends, not when the window is closed
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace standin
