#include "tools/standin-sim/HostSide.h"

#include "tools/simserver/ByteOrder.h"
#include "tools/standin-sim/RecordText.h"

#include <windows.h>

#include <cstring>

namespace standin {
namespace {

// The host functions reach the HostSide through this pointer; the lock keeps a HostSide from
// going away while one of its functions runs on another thread.
std::mutex instanceLock;
HostSide* instance = nullptr;

// Released data stays allocated, overwritten with this byte, so that a second release of the same
// data is recognised and a client that reads released data sees it changed. Only the newest
// retired deliveries are kept.
constexpr uint8_t kReleasedFill = 0xDD;
constexpr size_t kRetiredKept = 4096;

uint64_t readU64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

void writeU64(uint8_t* p, uint64_t value) {
  std::memcpy(p, &value, sizeof value);
}

std::string narrow(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string result(size_t(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
  result.resize(size_t(length - 1));
  return result;
}

std::string pointerText(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

// Which module an address lies in, and whether it is that module's SimConnect_CallDispatch.
std::string describeCode(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module))
    return pointerText(address) + " (in no module)";
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  const auto callDispatch =
      reinterpret_cast<const void*>(GetProcAddress(module, "SimConnect_CallDispatch"));
  const std::string where = narrow(path);
  if (callDispatch == address) return "SimConnect_CallDispatch of " + where;
  return pointerText(address) + " in " + where;
}

} // namespace

HostSide::HostSide(Transcript& transcript) : transcript_(transcript) {
  std::lock_guard<std::mutex> lock(instanceLock);
  instance = this;
}

HostSide::~HostSide() {
  {
    std::lock_guard<std::mutex> lock(instanceLock);
    instance = nullptr;
  }
  // The client library may still hold buffers and delivered data that it never gave back; they
  // stay allocated so that it never writes or reads freed memory.
  for (auto& entry : buffers_)
    entry.second.bytes.release();
  for (auto& entry : deliveries_)
    entry.second.bytes.release();
}

// ---- Entry points ---------------------------------------------------------------------------

void* HostSide::allocateEntry(uint32_t clientId, uint32_t serial, uint32_t size) {
  std::lock_guard<std::mutex> lock(instanceLock);
  return instance ? instance->allocate(clientId, serial, size) : nullptr;
}

void HostSide::discardEntry(uint32_t clientId, uint32_t serial, void* buffer) {
  std::lock_guard<std::mutex> lock(instanceLock);
  if (instance) instance->discard(clientId, serial, buffer);
}

void HostSide::sendEntry(uint32_t clientId, uint32_t serial, uint32_t length, void* buffer) {
  std::lock_guard<std::mutex> lock(instanceLock);
  if (instance) instance->send(clientId, serial, length, buffer);
}

void HostSide::releaseEntry(uint32_t clientId, uint32_t serial, void* data) {
  std::lock_guard<std::mutex> lock(instanceLock);
  if (instance) instance->release(clientId, serial, data);
}

void HostSide::removerEntry(void* callDispatch) {
  std::lock_guard<std::mutex> lock(instanceLock);
  if (instance) instance->removePump(callDispatch);
}

// ---- Host commands --------------------------------------------------------------------------

void HostSide::onCommand(uint8_t* record) {
  if (record == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    problem("host command without a record");
    return;
  }
  const uint32_t size = simserver::readU32(record + host::kSizeOffset);
  const uint32_t kind = simserver::readU32(record + host::kKindOffset);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    commandKinds_.push_back(kind);
  }
  switch (kind) {
  case host::kind::QueryRemover:
    onRemoverQuery(record, size);
    break;
  case host::kind::RegisterPump:
    onPumpRegistration(record, size);
    break;
  case host::kind::RegisterClient:
    onClientRegistration(record, size);
    break;
  default: {
    std::lock_guard<std::mutex> lock(mutex_);
    problem("host command of unknown kind " + std::to_string(kind) + ", size " +
            std::to_string(size));
  }
  }
}

void HostSide::onRemoverQuery(uint8_t* record, uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (size != host::kAddressCommandSize) {
    problem("remover query (kind 5) of " + std::to_string(size) + " bytes, not 24");
    return;
  }
  const auto remover = reinterpret_cast<uint64_t>(&HostSide::removerEntry);
  writeU64(record + host::kAddressOffset, remover);
  transcript_.add("host", "command kind 5 (remover query): answered with the pump remover " +
                              pointerText(reinterpret_cast<void*>(remover)));
}

void HostSide::onPumpRegistration(const uint8_t* record, uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (size != host::kAddressCommandSize) {
    problem("pump registration (kind 4) of " + std::to_string(size) + " bytes, not 24");
    return;
  }
  const uint64_t address = readU64(record + host::kAddressOffset);
  if (address == 0) {
    problem("pump registration (kind 4) without an address");
    return;
  }
  pump_ = reinterpret_cast<host::PumpFn>(address);
  transcript_.add("host", "command kind 4 (pump registration): " +
                              describeCode(reinterpret_cast<const void*>(address)) +
                              "; called in the pump-all form every frame from now on");
}

void HostSide::onClientRegistration(const uint8_t* record, uint32_t size) {
  host::AcceptFunctionsFn accept = nullptr;
  HostClientInfo info;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size != host::kRegisterClientSize) {
      problem("client registration (kind 1) of " + std::to_string(size) + " bytes, not 32");
      return;
    }
    info.clientId = simserver::readU32(record + host::kRegisterClientIdOffset);
    info.serial = simserver::readU32(record + host::kRegisterSerialOffset);
    accept =
        reinterpret_cast<host::AcceptFunctionsFn>(readU64(record + host::kRegisterAcceptOffset));
    const auto deliver =
        reinterpret_cast<host::DeliverFn>(readU64(record + host::kRegisterDeliverOffset));
    transcript_.add("host", "command kind 1 (client registration): client id " +
                                std::to_string(info.clientId) + ", serial " +
                                std::to_string(info.serial));
    if (info.clientId == 0 || accept == nullptr || deliver == nullptr) {
      problem("client registration (kind 1) without id, acceptHostFunctions or deliverFromHost");
      return;
    }
    if (findClient(info.clientId, info.serial) != nullptr) {
      problem("client " + std::to_string(info.clientId) + " registered a second time");
      return;
    }
    auto client = std::make_unique<Client>();
    client->info = info;
    client->deliver = deliver;
    clients_[{info.clientId, info.serial}] = std::move(client);
  }

  alignas(8) uint8_t functions[host::kFunctionsSize] = {};
  simserver::writeU32(functions + host::kSizeOffset, host::kFunctionsSize);
  simserver::writeU32(functions + host::kKindOffset, host::kind::Functions);
  simserver::writeU32(functions + host::kFunctionsClientIdOffset, info.clientId);
  simserver::writeU32(functions + host::kFunctionsSerialOffset, info.serial);
  writeU64(functions + host::kFunctionsAllocateOffset,
           reinterpret_cast<uint64_t>(&HostSide::allocateEntry));
  writeU64(functions + host::kFunctionsDiscardOffset,
           reinterpret_cast<uint64_t>(&HostSide::discardEntry));
  writeU64(functions + host::kFunctionsSendOffset,
           reinterpret_cast<uint64_t>(&HostSide::sendEntry));
  writeU64(functions + host::kFunctionsReleaseOffset,
           reinterpret_cast<uint64_t>(&HostSide::releaseEntry));
  // The client library runs no lock of ours here: it may call the host functions at once.
  info.acceptResult = accept(functions);

  std::lock_guard<std::mutex> lock(mutex_);
  if (Client* client = findClient(info.clientId, info.serial))
    client->info.acceptResult = info.acceptResult;
  clientOrder_.push_back(info);
  transcript_.add(
      "host", "acceptHostFunctions(kind 2, client " + std::to_string(info.clientId) +
                  ") answered " + std::to_string(info.acceptResult) +
                  (info.acceptResult == 1 ? ": the host path is installed" : ": NOT installed"));
  if (info.acceptResult != 1)
    problem("acceptHostFunctions refused the host functions of client " +
            std::to_string(info.clientId));
}

// ---- Host functions -------------------------------------------------------------------------

void* HostSide::allocate(uint32_t clientId, uint32_t serial, uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (findClient(clientId, serial) == nullptr)
    problem("hostAllocate for unknown client " + std::to_string(clientId) + "/" +
            std::to_string(serial));
  Buffer buffer{clientId, serial, size, std::make_unique<uint8_t[]>(size > 0 ? size : 1)};
  void* address = buffer.bytes.get();
  buffers_.emplace(address, std::move(buffer));
  ++buffersAllocated_;
  return address;
}

void HostSide::discard(uint32_t clientId, uint32_t serial, void* buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = buffers_.find(buffer);
  if (found == buffers_.end()) {
    problem("hostDiscard of a buffer that is not handed out: " + pointerText(buffer));
    return;
  }
  if (found->second.clientId != clientId || found->second.serial != serial)
    problem("hostDiscard by client " + std::to_string(clientId) +
            " of a buffer allocated for client " + std::to_string(found->second.clientId));
  transcript_.add("host", "hostDiscard: client " + std::to_string(clientId) +
                              " gave back an unsent buffer of " +
                              std::to_string(found->second.size) + " bytes");
  buffers_.erase(found);
  ++buffersDiscarded_;
}

void HostSide::send(uint32_t clientId, uint32_t serial, uint32_t length, void* buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = buffers_.find(buffer);
  if (found == buffers_.end()) {
    problem("hostSend of a buffer that is not handed out: " + pointerText(buffer));
    return;
  }
  Buffer taken = std::move(found->second);
  buffers_.erase(found);
  ++buffersSent_;
  if (taken.clientId != clientId || taken.serial != serial)
    problem("hostSend by client " + std::to_string(clientId) +
            " of a buffer allocated for client " + std::to_string(taken.clientId));
  if (length > taken.size) {
    problem("hostSend of " + std::to_string(length) + " bytes from a buffer of " +
            std::to_string(taken.size));
    return;
  }
  Client* client = findClient(clientId, serial);
  if (client == nullptr) {
    problem("hostSend from unknown client " + std::to_string(clientId));
    return;
  }
  const uint8_t* bytes = taken.bytes.get();
  uint32_t offset = 0;
  while (offset < length) {
    const uint32_t left = length - offset;
    const uint32_t size = left >= 4 ? simserver::readU32(bytes + offset) : 0;
    if (left < simserver::kMessageHeaderSize || size < simserver::kMessageHeaderSize ||
        size > left) {
      problem("hostSend from client " + std::to_string(clientId) + ": " + std::to_string(left) +
              " bytes that are no whole message (size field " + std::to_string(size) + ")");
      return;
    }
    HostAnswerSet set = client->conversation.take(bytes + offset, size);
    requestTypes_.push_back(set.type);
    transcript_.add("host", "request via hostSend from client " + std::to_string(clientId) + ": " +
                                set.description);
    for (const simserver::Finding& finding : set.findings)
      problem("client " + std::to_string(clientId) + " on the host path: " +
              simserver::violationName(finding.kind) + ": " + finding.detail);
    for (std::vector<uint8_t>& answer : set.answers)
      pending_.push_back({clientId, serial, client->deliver, std::move(answer)});
    offset += size;
  }
}

void HostSide::release(uint32_t clientId, uint32_t serial, void* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = deliveries_.find(data);
  if (found == deliveries_.end()) {
    bool retired = false;
    for (const Delivery& delivery : retired_)
      retired = retired || delivery.bytes.get() == data;
    problem(retired ? "hostRelease of data released before: " + pointerText(data)
                    : "hostRelease of data never delivered: " + pointerText(data));
    return;
  }
  Delivery& delivery = found->second;
  if (delivery.clientId != clientId || delivery.serial != serial)
    problem("hostRelease of delivery #" + std::to_string(delivery.number) + " by client " +
            std::to_string(clientId) + "/" + std::to_string(serial) + ", delivered to " +
            std::to_string(delivery.clientId) + "/" + std::to_string(delivery.serial));
  else
    ++releases_;
  const bool inPump = insidePump_;
  if (inPump) ++releasesInsidePump_;
  transcript_.add("host", "hostRelease: client " + std::to_string(clientId) +
                              " gave back delivery #" + std::to_string(delivery.number) +
                              (inPump ? " (dispatched by the pump-all call)" : ""));
  Delivery done = std::move(delivery);
  deliveries_.erase(found);
  retire(std::move(done));
}

void HostSide::removePump(void* callDispatch) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pump_.load() == nullptr || reinterpret_cast<void*>(pump_.load()) != callDispatch) {
    problem("pump remover called with " + pointerText(callDispatch) +
            ", which is not the registered pump");
    return;
  }
  pump_ = nullptr;
  pumpRemoved_ = true;
  transcript_.add("host", "pump remover called with " + describeCode(callDispatch) +
                              ": the pump-all calls stop");
}

// ---- Frames ---------------------------------------------------------------------------------

void HostSide::runFrame() {
  deliverPending();
  callPump();
}

void HostSide::deliverPending() {
  std::deque<PendingAnswer> answers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answers.swap(pending_);
  }
  for (PendingAnswer& answer : answers) {
    void* data = nullptr;
    const auto length = static_cast<uint32_t>(answer.record.size());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Delivery delivery{++deliveryCount_, answer.clientId, answer.serial, length,
                        std::make_unique<uint8_t[]>(answer.record.size())};
      std::memcpy(delivery.bytes.get(), answer.record.data(), answer.record.size());
      data = delivery.bytes.get();
      transcript_.add("host", "deliverFromHost #" + std::to_string(delivery.number) +
                                  " to client " + std::to_string(answer.clientId) + ": " +
                                  describeRecord(delivery.bytes.get(), length));
      deliveries_.emplace(data, std::move(delivery));
    }
    // No lock of ours is held: the library may hand data back at once.
    answer.deliver(answer.clientId, answer.serial, length, data);
  }
}

void HostSide::callPump() {
  const host::PumpFn pump = pump_.load();
  if (pump == nullptr || !pumping_) return;
  insidePump_ = true;
  const long result = pump(nullptr, reinterpret_cast<void*>(host::kPumpAllProcedure),
                           reinterpret_cast<void*>(host::kPumpAllContext));
  insidePump_ = false;
  std::lock_guard<std::mutex> lock(mutex_);
  ++pumpCalls_;
  if (result != host::kPumpAllResult && !pumpResultReported_) {
    pumpResultReported_ = true;
    problem("the pump-all call answered " + hex32(static_cast<uint32_t>(result)) +
            " instead of E_FAIL");
  }
}

bool HostSide::settled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.empty() && deliveries_.empty();
}

void HostSide::stopPumping() {
  pumping_ = false;
}

HostSummary HostSide::summary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  HostSummary summary;
  summary.commandKinds = commandKinds_;
  summary.clients = clientOrder_;
  summary.requestTypes = requestTypes_;
  summary.buffersAllocated = buffersAllocated_;
  summary.buffersSent = buffersSent_;
  summary.buffersDiscarded = buffersDiscarded_;
  summary.buffersOutstanding = buffers_.size();
  summary.deliveries = deliveryCount_;
  summary.releases = releases_;
  summary.releasesInsidePump = releasesInsidePump_;
  summary.deliveriesOutstanding = deliveries_.size();
  summary.pendingAnswers = pending_.size();
  summary.pumpRegistered = pump_.load() != nullptr || pumpRemoved_;
  summary.pumpRemoved = pumpRemoved_;
  summary.pumpCalls = pumpCalls_;
  summary.problems = problems_;
  return summary;
}

// ---- Helpers (mutex_ held) ------------------------------------------------------------------

HostSide::Client* HostSide::findClient(uint32_t clientId, uint32_t serial) {
  const auto found = clients_.find({clientId, serial});
  return found == clients_.end() ? nullptr : found->second.get();
}

void HostSide::problem(const std::string& text) {
  problems_.push_back(text);
  transcript_.add("host", "PROBLEM: " + text);
}

void HostSide::retire(Delivery delivery) {
  std::memset(delivery.bytes.get(), kReleasedFill, delivery.length);
  retired_.push_back(std::move(delivery));
  if (retired_.size() > kRetiredKept) retired_.pop_front();
}

} // namespace standin
