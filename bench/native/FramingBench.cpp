// Framing a stream of server records (connection/Framing.h) against a plain memcpy of the same
// bytes. The stream arrives as the transport receives it: each "read" fills the free end of the
// receive buffer (as much as the free room takes), then frame() runs until it needs more. Every
// framed record is taken out of the slot and freed, as the receive queue does once the record
// has been dispatched. The baseline copies the same stream with one memcpy into a buffer of its
// size: the least any receiver must do with the bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "client/MessageBlock.h"
#include "connection/Framing.h"

namespace {

constexpr uint32_t kMaxReceiveSize = 41088;
constexpr size_t kStreamBytes = 1 << 20;

// Records of `size` bytes (size field, version, id, then a byte pattern) filling about 1 MiB.
std::vector<uint8_t> recordStream(uint32_t size) {
  std::vector<uint8_t> stream;
  const size_t count = kStreamBytes / size;
  stream.reserve(count * size);
  for (size_t n = 0; n < count; ++n) {
    for (uint32_t i = 0; i < size; ++i) {
      uint8_t byte = uint8_t(i % 251);
      if (i < 4) byte = uint8_t(size >> (8 * i));
      stream.push_back(byte);
    }
  }
  return stream;
}

void framing(benchmark::State& state) {
  const uint32_t size = uint32_t(state.range(0));
  const std::vector<uint8_t> stream = recordStream(size);
  ReceiveBuffer buffer;
  if (!buffer.allocate()) {
    state.SkipWithError("no receive buffer");
    return;
  }
  MessageSlot slot;
  size_t records = 0;
  for (auto _ : state) {
    size_t offset = 0;
    while (offset < stream.size()) {
      const size_t piece = std::min<size_t>(buffer.freeLength(), stream.size() - offset);
      std::memcpy(buffer.freeStart(), stream.data() + offset, piece);
      buffer.commit(uint32_t(piece));
      offset += piece;
      FrameResult result;
      while ((result = buffer.frame(slot, kMaxReceiveSize)) == FrameResult::MessageReady) {
        freeMessageData(slot.takeData());
        ++records;
      }
      if (result != FrameResult::NeedMore) {
        state.SkipWithError("the stream did not frame");
        return;
      }
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
  state.counters["records"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}

void copying(benchmark::State& state) {
  const uint32_t size = uint32_t(state.range(0));
  const std::vector<uint8_t> stream = recordStream(size);
  std::vector<uint8_t> target(stream.size());
  for (auto _ : state) {
    std::memcpy(target.data(), stream.data(), stream.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
  state.counters["records"] = benchmark::Counter(
      double(state.iterations()) * double(stream.size() / size), benchmark::Counter::kIsRate);
}

} // namespace

// 36 bytes: an event record; 4096: a large data record.
BENCHMARK(framing)->Name("Frame")->Arg(36);
BENCHMARK(copying)->Name("Memcpy")->Arg(36);
BENCHMARK(framing)->Name("Frame")->Arg(4096);
BENCHMARK(copying)->Name("Memcpy")->Arg(4096);
