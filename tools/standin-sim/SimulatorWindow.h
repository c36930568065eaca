#pragma once
// The stand-in simulator's main window, class "FS98MAIN", on the thread that creates it. It hands
// host commands to the HostSide and runs the frame timer: runFrames() is the main thread's message
// loop, calling the frame function every frame until it answers false.
#include "tools/standin-sim/HostSide.h"

#include <windows.h>

#include <functional>

namespace standin {

class SimulatorWindow {
public:
  // Throws std::runtime_error when the class or the window cannot be made.
  explicit SimulatorWindow(HostSide& host);
  ~SimulatorWindow();
  SimulatorWindow(const SimulatorWindow&) = delete;
  SimulatorWindow& operator=(const SimulatorWindow&) = delete;

  HWND handle() const { return window_; }

  // Runs the message loop; `frame` is called every `frameMilliseconds` from the window's timer and
  // ends the loop by answering false. Returns false when the loop ended by WM_QUIT instead.
  bool runFrames(unsigned frameMilliseconds, const std::function<bool()>& frame);

private:
  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HostSide& host_;
  HINSTANCE instance_ = nullptr;
  ATOM class_ = 0;
  HWND window_ = nullptr;
  const std::function<bool()>* frame_ = nullptr;
  bool running_ = false;
  bool inFrame_ = false; // a modal loop inside a frame must not start the next frame
};

} // namespace standin
