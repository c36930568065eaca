#include "client/ExportResults.h"

#include "client/SendBuffer.h"
#include "client/SimClient.h"
#include "client/WireFormat.h"

HRESULT lossCode(const SimClient& client) noexcept {
  return client.lastCode != 0 ? HRESULT(client.lastCode) : E_FAIL;
}

HRESULT obtainBuffer(SimClient* client, uint32_t size, uint8_t*& buffer) noexcept {
  switch (obtainMessageBuffer(client, size, &buffer)) {
  case ObtainGiven:
    return S_OK;
  case ObtainLost:
    return lossCode(*client);
  default:
    return E_FAIL;
  }
}

HRESULT sendOpenMessage(SimClient* client, const char* name) noexcept {
  HRESULT result;
  uint32_t flushed = FlushNothing;
  {
    auto building = client->buildLock.lock();
    uint8_t* buffer = nullptr;
    result = obtainBuffer(client, wire::kOpenSize, buffer);
    if (result == S_OK) result = HRESULT(wire::encodeOpen(buffer, name));
    if (result == S_OK) flushed = flushStaging(client);
  }
  // The loss is recorded only once the write that could not be posted has ended the connection.
  client->endFailedWrite();
  if (result != S_OK) return result;
  if (flushed == FlushNotTaken) return lossCode(*client);
  return flushed == FlushHandedOver ? S_OK : E_FAIL;
}
