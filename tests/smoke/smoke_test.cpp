#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif
TEST(Smoke, Runs) {
#ifdef _WIN32
  EXPECT_NE(GetCurrentProcessId(), 0u);
  HWND w = CreateWindowExW(0, L"STATIC", L"x", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(w, nullptr) << GetLastError();
  DestroyWindow(w);
#endif
}
