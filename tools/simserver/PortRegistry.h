#pragma once
// Publishes the bound TCP ports where clients look for them: decimal REG_SZ values under
// HKCU\SOFTWARE\Lockheed Martin\Prepar3D v4. The destructor removes what the constructor wrote,
// and the keys it had to create when they are left empty.
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
  std::vector<std::wstring> values_;
};

} // namespace simserver
