// The stand-in simulator's ledger of the host path, driven the way a client library drives it:
// host commands on the main window, then the host functions from the kind 2 record. The end-to-end
// tests rely on this ledger to notice a lost, doubled or foreign release.
#include <gtest/gtest.h>

#include "tools/standin-sim/HostSide.h"
#include "tools/standin-sim/Transcript.h"

#include <array>
#include <cstring>
#include <vector>

namespace {

uint32_t u32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}
uint64_t u64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, 8);
  return value;
}
void put32(uint8_t* p, uint32_t value) {
  std::memcpy(p, &value, 4);
}
void put64(uint8_t* p, uint64_t value) {
  std::memcpy(p, &value, 8);
}

// The client library's side, reduced to what the simulator calls.
std::array<uint8_t, 48> functionsRecord;
int32_t acceptFunctions(const void* record) {
  std::memcpy(functionsRecord.data(), record, functionsRecord.size());
  return 1;
}
struct Delivered {
  uint32_t clientId;
  uint32_t serial;
  uint32_t length;
  uint8_t* data;
};
std::vector<Delivered> delivered;
void deliver(uint32_t clientId, uint32_t serial, uint32_t length, void* data) {
  delivered.push_back({clientId, serial, length, static_cast<uint8_t*>(data)});
}
std::vector<std::array<uintptr_t, 3>> pumpCalls;
long __stdcall pump(void* handle, void* procedure, void* context) {
  pumpCalls.push_back({uintptr_t(handle), uintptr_t(procedure), uintptr_t(context)});
  return long(0x80004005L);
}

using AllocateFn = void* (*)(uint32_t, uint32_t, uint32_t);
using DiscardFn = void (*)(uint32_t, uint32_t, void*);
using SendFn = void (*)(uint32_t, uint32_t, uint32_t, void*);
using ReleaseFn = void (*)(uint32_t, uint32_t, void*);
using RemoverFn = void (*)(void*);

// TransmitClientEvent, 36 bytes: object 0, event 7, data 42, group 1, flags 0x10.
void writeTransmit(uint8_t* m, uint32_t sequence) {
  const uint32_t words[9] = {36, 26, 0xF0000005, sequence, 0, 7, 42, 1, 0x10};
  std::memcpy(m, words, sizeof words);
}

bool mentions(const std::vector<std::string>& problems, const std::string& text) {
  for (const std::string& problem : problems)
    if (problem.find(text) != std::string::npos) return true;
  return false;
}

TEST(StandInHostLedger, AnswersRegistrationsAndCatchesEveryUnbalancedBufferOrRelease) {
  standin::Transcript transcript(false, L"");
  standin::HostSide host(transcript);

  alignas(8) uint8_t query[24] = {};
  put32(query, 24);
  put32(query + 4, 5);
  host.onCommand(query);
  const auto remover = reinterpret_cast<RemoverFn>(u64(query + 16));
  ASSERT_NE(remover, nullptr);

  alignas(8) uint8_t pumpRecord[24] = {};
  put32(pumpRecord, 24);
  put32(pumpRecord + 4, 4);
  put64(pumpRecord + 16, reinterpret_cast<uint64_t>(&pump));
  host.onCommand(pumpRecord);

  alignas(8) uint8_t registration[32] = {};
  put32(registration, 32);
  put32(registration + 4, 1);
  put32(registration + 8, 1001);
  put32(registration + 12, 7);
  put64(registration + 16, reinterpret_cast<uint64_t>(&acceptFunctions));
  put64(registration + 24, reinterpret_cast<uint64_t>(&deliver));
  host.onCommand(registration);

  EXPECT_EQ(u32(functionsRecord.data()), 48u);
  EXPECT_EQ(u32(functionsRecord.data() + 4), 2u);
  EXPECT_EQ(u32(functionsRecord.data() + 8), 1001u);
  EXPECT_EQ(u32(functionsRecord.data() + 12), 7u);
  const auto allocate = reinterpret_cast<AllocateFn>(u64(functionsRecord.data() + 16));
  const auto discard = reinterpret_cast<DiscardFn>(u64(functionsRecord.data() + 24));
  const auto send = reinterpret_cast<SendFn>(u64(functionsRecord.data() + 32));
  const auto release = reinterpret_cast<ReleaseFn>(u64(functionsRecord.data() + 40));
  ASSERT_TRUE(allocate && discard && send && release);

  auto* first = static_cast<uint8_t*>(allocate(1001, 7, 36));
  writeTransmit(first, 2);
  send(1001, 7, 36, first);
  auto* second = static_cast<uint8_t*>(allocate(1001, 7, 36));
  writeTransmit(second, 3);
  send(1001, 7, 36, second);
  discard(1001, 7, allocate(1001, 7, 48));
  allocate(1001, 7, 24); // never sent nor discarded

  host.runFrame();
  ASSERT_EQ(delivered.size(), 2u);
  const uint8_t* event = delivered[0].data;
  EXPECT_EQ(delivered[0].length, 36u);
  EXPECT_EQ(u32(event), 36u);
  EXPECT_EQ(u32(event + 8), 0x1002u); // event record
  EXPECT_EQ(u32(event + 16), 7u);
  EXPECT_EQ(u32(event + 20), 42u);
  ASSERT_EQ(pumpCalls.size(), 1u);
  EXPECT_EQ(pumpCalls[0][0], 0u);
  EXPECT_EQ(pumpCalls[0][1], uintptr_t(-2));
  EXPECT_EQ(pumpCalls[0][2], uintptr_t(-3));
  EXPECT_FALSE(host.settled());

  release(1001, 7, delivered[0].data);
  release(1001, 7, delivered[0].data); // a second time
  release(1001, 8, delivered[1].data); // with another serial than it was delivered with
  int never = 0;
  release(1001, 7, &never);
  EXPECT_TRUE(host.settled());

  remover(reinterpret_cast<void*>(&pump));
  host.runFrame();
  EXPECT_EQ(pumpCalls.size(), 1u) << "the pump is called after its removal";

  const standin::HostSummary summary = host.summary();
  EXPECT_EQ(summary.commandKinds, (std::vector<uint32_t>{5, 4, 1}));
  EXPECT_EQ(summary.requestTypes, (std::vector<uint32_t>{0xF0000005, 0xF0000005}));
  EXPECT_EQ(summary.buffersAllocated, 4u);
  EXPECT_EQ(summary.buffersSent, 2u);
  EXPECT_EQ(summary.buffersDiscarded, 1u);
  EXPECT_EQ(summary.buffersOutstanding, 1u);
  EXPECT_EQ(summary.deliveries, 2u);
  EXPECT_EQ(summary.releases, 1u);
  EXPECT_EQ(summary.deliveriesOutstanding, 0u);
  EXPECT_TRUE(summary.pumpRemoved);
  ASSERT_EQ(summary.problems.size(), 3u);
  EXPECT_TRUE(mentions(summary.problems, "released before"));
  EXPECT_TRUE(mentions(summary.problems, "delivered to 1001/7"));
  EXPECT_TRUE(mentions(summary.problems, "never delivered"));
}

TEST(StandInHostLedger, ChecksHostPathMessagesWithTheServersRules) {
  standin::Transcript transcript(false, L"");
  standin::HostSide host(transcript);
  alignas(8) uint8_t registration[32] = {};
  put32(registration, 32);
  put32(registration + 4, 1);
  put32(registration + 8, 1002);
  put32(registration + 12, 1);
  put64(registration + 16, reinterpret_cast<uint64_t>(&acceptFunctions));
  put64(registration + 24, reinterpret_cast<uint64_t>(&deliver));
  host.onCommand(registration);
  const auto allocate = reinterpret_cast<AllocateFn>(u64(functionsRecord.data() + 16));
  const auto send = reinterpret_cast<SendFn>(u64(functionsRecord.data() + 32));

  auto* good = static_cast<uint8_t*>(allocate(1002, 1, 36));
  writeTransmit(good, 5);
  send(1002, 1, 36, good);
  auto* repeated = static_cast<uint8_t*>(allocate(1002, 1, 36));
  writeTransmit(repeated, 5); // the same sequence number again
  send(1002, 1, 36, repeated);
  auto* wrongVersion = static_cast<uint8_t*>(allocate(1002, 1, 36));
  writeTransmit(wrongVersion, 6);
  put32(wrongVersion + 4, 25);
  send(1002, 1, 36, wrongVersion);

  delivered.clear();
  host.runFrame();
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(u32(delivered[0].data + 8), 0x1002u); // answered
  EXPECT_EQ(u32(delivered[1].data + 8), 0x1005u); // fault record
  EXPECT_EQ(u32(delivered[2].data + 8), 0x1005u);
  const standin::HostSummary summary = host.summary();
  EXPECT_TRUE(mentions(summary.problems, "SequenceNotRising"));
  EXPECT_TRUE(mentions(summary.problems, "BadVersion"));
  EXPECT_EQ(summary.requestTypes.size(), 3u);
}

} // namespace
