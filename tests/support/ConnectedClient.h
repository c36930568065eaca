#pragma once
// A client connected straight through its transport to a test server, with the Open message
// sent, and the helpers the transport tests share.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/ExportResults.h"
#include "connection/OpenClose.h"
#include "include/Wirebridge.h"
#include "tests/support/OwnedClient.h"
#include "tests/support/TestServer.h"
#include "tests/support/Waiting.h"

inline bool connectTo(SimClient& client, simserver::Endpoint endpoint,
                      const simserver::Server& server, uint32_t maxReceive = 41088) {
  switch (endpoint) {
  case simserver::Endpoint::Pipe:
    return !client.Connect(0, L".", privatePipeName().c_str(), maxReceive, false);
  case simserver::Endpoint::IPv4:
    return !client.Connect(AF_INET, L"127.0.0.1", std::to_wstring(server.ipv4Port()).c_str(),
                           maxReceive, true);
  case simserver::Endpoint::IPv6:
    return !client.Connect(AF_INET6, L"::1", std::to_wstring(server.ipv6Port()).c_str(), maxReceive,
                           false);
  }
  return false;
}

// Collects dispatched records.
struct Collected {
  std::vector<std::vector<uint8_t>> records;
  static void CALLBACK collect(SIMCONNECT_RECV* data, DWORD length, void* context) {
    auto* self = static_cast<Collected*>(context);
    auto* bytes = reinterpret_cast<uint8_t*>(data);
    self->records.emplace_back(bytes, bytes + length);
  }
  HRESULT dispatch(SimClient* client) { return SimConnect_CallDispatch(client, collect, this); }
};

// Every transport made during a test is gone again shortly after the test let go of it.
class TransportLeakCheck {
public:
  TransportLeakCheck() : before_(liveTransportCount) {}
  ~TransportLeakCheck() {
    EXPECT_TRUE(waitUntil([&] { return liveTransportCount == before_; }))
        << "transports still alive: " << liveTransportCount - before_;
  }

private:
  int32_t before_;
};
