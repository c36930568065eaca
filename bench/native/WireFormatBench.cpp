// Encoding each client-to-server message (client/WireFormat.h) in a zero-filled buffer, as the
// send path builds it in the staging area, against a memcpy of a finished message of the same
// size into the same buffer: the least it takes to put those bytes in place. An encoder writes
// only its non-zero fields (the staging area is zero already), so short strings in long fields
// can beat the memcpy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "client/WireFormat.h"

namespace {

// Typical arguments of an add-on: short names, a few values.
const char* const kEventName = "AXIS_ELEVATOR_SET";
const char* const kDatumName = "PLANE ALTITUDE";
const char* const kUnitsName = "feet";
const char* const kStateName = "Sim";
const char* const kApplicationName = "Aerolumen VR";

// Fixed, cache-line aligned buffers: small copies are sensitive to where their source and target
// lie, which would otherwise change with every heap allocation.
alignas(64) uint8_t messageBuffer[1024];
alignas(64) uint8_t finishedMessage[1024];

template <typename Encode> void encoding(benchmark::State& state, uint32_t size, Encode encode) {
  std::memset(messageBuffer, 0, size);
  uint32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(encode(messageBuffer, ++value));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void copyingMessage(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  std::memset(finishedMessage, 0x5A, size);
  std::memset(messageBuffer, 0, size);
  for (auto _ : state) {
    benchmark::DoNotOptimize(finishedMessage);
    std::memcpy(messageBuffer, finishedMessage, size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void encodeOpen(benchmark::State& state) {
  encoding(state, wire::kOpenSize,
           [](uint8_t* buffer, uint32_t) { return wire::encodeOpen(buffer, kApplicationName); });
}

void encodeMapClientEventToSimEvent(benchmark::State& state) {
  encoding(state, wire::kMapClientEventToSimEventSize, [](uint8_t* buffer, uint32_t value) {
    return wire::encodeMapClientEventToSimEvent(buffer, value, kEventName);
  });
}

void encodeTransmitClientEvent(benchmark::State& state) {
  encoding(state, wire::kTransmitClientEventSize, [](uint8_t* buffer, uint32_t value) {
    return wire::encodeTransmitClientEvent(buffer, 0, 7, value, 1, 0x10);
  });
}

void encodeAddToDataDefinition(benchmark::State& state) {
  encoding(state, wire::kAddToDataDefinitionSize, [](uint8_t* buffer, uint32_t value) {
    return wire::encodeAddToDataDefinition(buffer, 1, kDatumName, kUnitsName, 4, 0.5f, value);
  });
}

void encodeRequestDataOnSimObject(benchmark::State& state) {
  encoding(state, wire::kRequestDataOnSimObjectSize, [](uint8_t* buffer, uint32_t value) {
    return wire::encodeRequestDataOnSimObject(buffer, value, 1, 0, 3, 0, 0, 0, 0);
  });
}

// SetDataOnSimObject with 64 bytes of data: eight doubles, e.g. a position and attitude.
constexpr uint32_t kSetDataUnits = 64;
const uint8_t kSetDataPayload[kSetDataUnits] = {1, 2, 3, 4, 5, 6, 7, 8};

void encodeSetDataOnSimObject(benchmark::State& state) {
  encoding(state, wire::kSetDataOnSimObjectHeaderSize + kSetDataUnits,
           [](uint8_t* buffer, uint32_t value) {
             return wire::encodeSetDataOnSimObject(buffer, 1, value, 0, 0, kSetDataUnits,
                                                   kSetDataPayload);
           });
}

void encodeRequestSystemState(benchmark::State& state) {
  encoding(state, wire::kRequestSystemStateSize, [](uint8_t* buffer, uint32_t value) {
    return wire::encodeRequestSystemState(buffer, value, kStateName);
  });
}

} // namespace

// Each encoder is followed by the memcpy of its message size.
BENCHMARK(encodeOpen)->Name("Encode/Open");
BENCHMARK(copyingMessage)->Name("CopyMessage/Open")->Arg(wire::kOpenSize);
BENCHMARK(encodeMapClientEventToSimEvent)->Name("Encode/MapClientEventToSimEvent");
BENCHMARK(copyingMessage)
    ->Name("CopyMessage/MapClientEventToSimEvent")
    ->Arg(wire::kMapClientEventToSimEventSize);
BENCHMARK(encodeTransmitClientEvent)->Name("Encode/TransmitClientEvent");
BENCHMARK(copyingMessage)
    ->Name("CopyMessage/TransmitClientEvent")
    ->Arg(wire::kTransmitClientEventSize);
BENCHMARK(encodeAddToDataDefinition)->Name("Encode/AddToDataDefinition");
BENCHMARK(copyingMessage)
    ->Name("CopyMessage/AddToDataDefinition")
    ->Arg(wire::kAddToDataDefinitionSize);
BENCHMARK(encodeRequestDataOnSimObject)->Name("Encode/RequestDataOnSimObject");
BENCHMARK(copyingMessage)
    ->Name("CopyMessage/RequestDataOnSimObject")
    ->Arg(wire::kRequestDataOnSimObjectSize);
BENCHMARK(encodeSetDataOnSimObject)->Name("Encode/SetDataOnSimObject");
BENCHMARK(copyingMessage)
    ->Name("CopyMessage/SetDataOnSimObject")
    ->Arg(wire::kSetDataOnSimObjectHeaderSize + kSetDataUnits);
BENCHMARK(encodeRequestSystemState)->Name("Encode/RequestSystemState");
BENCHMARK(copyingMessage)
    ->Name("CopyMessage/RequestSystemState")
    ->Arg(wire::kRequestSystemStateSize);
