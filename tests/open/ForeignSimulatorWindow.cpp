// The simulator's main window in a process of its own: an "FS98MAIN" window that counts the host
// commands it is sent. It ends when the window is closed, with that count as its exit code.
#include <windows.h>

#include "connection/SimulatorInterface.h"

namespace {

int hostCommands = 0;

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == sim::kHostCommandMessage) {
    ++hostCommands; // the record's address would mean nothing in this process
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int main() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = &procedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = sim::kMainWindowClass;
  if (RegisterClassW(&windowClass) == 0) return -1;
  if (CreateWindowExW(0, sim::kMainWindowClass, L"Simulator elsewhere", WS_OVERLAPPED, 0, 0, 10, 10,
                      nullptr, nullptr, windowClass.hInstance, nullptr) == nullptr) {
    return -1;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return hostCommands;
}
