#pragma once
// Publishes the bound TCP ports where clients look for them: decimal REG_SZ values under
// HKCU\SOFTWARE\Lockheed Martin\Prepar3D v4. A simulator installed on the same machine publishes
// its own ports there, so every value the constructor replaces is remembered and the destructor
// puts it back as it was (type and data); values that did not exist are removed, and so are the
// keys the constructor had to create when they are left empty.
#include "tools/simserver/WinHandles.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simserver {

class PortPublication {
public:
  PortPublication(std::optional<uint16_t> ipv4Port, std::optional<uint16_t> ipv6Port);
  ~PortPublication();
  PortPublication(const PortPublication&) = delete;
  PortPublication& operator=(const PortPublication&) = delete;

private:
  void withdraw();

  std::vector<std::wstring> createdKeys_; // innermost last
  struct Written {
    std::wstring name;
    bool existed = false; // false: the value is deleted again
    DWORD type = 0;
    std::vector<BYTE> data;
  };
  std::vector<Written> values_;
};

} // namespace simserver
