#pragma once
// How one open reaches the simulator's SimConnect server: the transport to try first, the
// server's address and port (or pipe name), the receive limit and the TCP_NODELAY switch.
// Built afresh by every open from the defaults below, SimConnect.cfg and the registry.
#include <cstdint>
#include <string>

// The values double as the address family handed to the TCP transport (AF_INET, AF_INET6).
enum class TransportProtocol : int32_t { Pipe = 1, IPv4 = 2, IPv6 = 23 };

inline constexpr uint32_t kDefaultMaxReceiveSize = 41088;
// Room of the address and port fields, terminator included: whoever stores into them keeps at
// most kConfigStringCapacity - 1 characters.
inline constexpr uint32_t kConfigStringCapacity = 1024;

struct ConnectionConfig {
  TransportProtocol protocol = TransportProtocol::Pipe;
  std::wstring address; // machine of the pipe, or TCP host; empty or "." is this machine
  std::wstring port;    // pipe name below the machine's pipe folder, or TCP service name
  uint32_t maxReceiveSize = kDefaultMaxReceiveSize;
  bool disableNagle = false;
};
