#pragma once
// A hidden window of the test's thread that counts the messages posted to it.
#include <windows.h>

class MessageWindow {
public:
  MessageWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"WirebridgeTestNotify";
    RegisterClassW(&wc); // a second registration fails harmlessly
    window_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              wc.hInstance, nullptr);
  }
  ~MessageWindow() { DestroyWindow(window_); }
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  HWND get() const { return window_; }

  // Removes and counts the posted messages of this number waiting in the thread's queue.
  int drain(UINT message) const {
    int count = 0;
    MSG msg;
    while (PeekMessageW(&msg, window_, message, message, PM_REMOVE))
      ++count;
    return count;
  }

private:
  HWND window_;
};
