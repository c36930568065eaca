#include "TestSupport.h"

#include <tlhelp32.h>
#include <ws2tcpip.h>

namespace testsupport {

size_t countThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
  return count;
}

DWORD countHandlesOfThisProcess() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

uint16_t freeTcpPort(int family) {
  SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_storage address{};
  int length = 0;
  if (family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  }
  bind(s, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(s);
  return ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                  : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

uint32_t checkOpenReply(const Bytes& reply, const std::string& application, uint32_t connectionId) {
  using handbuilt::textAt;
  using handbuilt::u32At;
  EXPECT_EQ(reply.size(), 308u);
  if (reply.size() != 308) return 0;
  EXPECT_EQ(u32At(reply, 0), 308u);
  EXPECT_EQ(u32At(reply, 4), 4u);
  EXPECT_EQ(u32At(reply, 8), 2u);
  EXPECT_EQ(textAt(reply, 12), application);
  EXPECT_EQ(textAt(reply, 268, 16), "Prepar3D");
  EXPECT_EQ(u32At(reply, 284), 4u);
  EXPECT_EQ(u32At(reply, 292), 26u);
  EXPECT_EQ(u32At(reply, 296), 1u); // the Open message's sequence number
  EXPECT_NE(u32At(reply, 300), 0u);
  EXPECT_EQ(u32At(reply, 304), connectionId);
  return u32At(reply, 300);
}

} // namespace testsupport
