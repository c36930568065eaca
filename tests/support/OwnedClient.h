#pragma once
// A SimClient made directly for a test, unlinked and released when the test ends, without the
// pauses of the real close.
#include "client/SimClient.h"

class OwnedClient {
public:
  explicit OwnedClient(TransportKind kind = TransportKind::NamedPipe)
      : client_(SimClient::create(kind)) {}
  ~OwnedClient() { reset(); }
  OwnedClient(const OwnedClient&) = delete;
  OwnedClient& operator=(const OwnedClient&) = delete;

  void reset() {
    if (client_ == nullptr) return;
    clientList::unlink(client_);
    client_->Disconnect(0, 0);
    client_->Release();
    client_ = nullptr;
  }
  SimClient* get() const { return client_; }
  SimClient* operator->() const { return client_; }
  SimClient& operator*() const { return *client_; }

private:
  SimClient* client_;
};
