#include "tools/simserver/WinHandles.h"

#include <stdexcept>

namespace simserver {

WinsockSession::WinsockSession() {
  WSADATA data{};
  const int error = WSAStartup(MAKEWORD(2, 2), &data);
  if (error != 0) throwSystemError("WSAStartup failed", static_cast<DWORD>(error));
}

WinsockSession::~WinsockSession() {
  WSACleanup();
}

std::string systemErrorText(DWORD error) {
  std::string text = "error " + std::to_string(error);
  char* message = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&message), 0, nullptr);
  if (length > 0 && message) {
    std::string described(message, length);
    while (!described.empty() && (described.back() == '\n' || described.back() == '\r' ||
                                  described.back() == ' ' || described.back() == '.'))
      described.pop_back();
    text += " (" + described + ")";
  }
  if (message) LocalFree(message);
  return text;
}

void throwSystemError(const std::string& what, DWORD error) {
  throw std::runtime_error(what + ": " + systemErrorText(error));
}

UniqueHandle makeEvent(bool manualReset, bool signalled) {
  UniqueHandle event(CreateEventW(nullptr, manualReset, signalled, nullptr));
  if (!event) throwSystemError("CreateEvent failed", GetLastError());
  return event;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length,
                      nullptr, nullptr);
  return result;
}

} // namespace simserver
