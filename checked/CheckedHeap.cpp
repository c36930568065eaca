// Guarded heap blocks of the test build (WB_CHECKED): every C++ allocation of a program that
// links the checked libraries goes through here. A block carries a header that marks it live and
// a tail pattern behind its data; freeing it checks both, fills the block with a freed pattern and
// keeps it back from the heap for the next few thousand frees, and a block that leaves that
// quarantine, or is still in it when the program ends, must still hold the pattern. So a write past
// a block, a second free and a write into a freed block each end the program with the invariant's
// name.
//
// Wine's own heap checking validates the whole heap on every heap call, but its delayed free fills
// a block outside the heap's lock, so a program that frees on several threads at once sees false
// reports (and failed allocations) there; this check has no such race, so the stress tests run
// under it too.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "checked/Checked.h"

namespace {

constexpr uint64_t kBlockLive = 0x4556494C4B434F4Cull;  // a block handed out
constexpr uint64_t kBlockFreed = 0x44454552464B434Cull; // a block in quarantine
constexpr size_t kTailLength = 16;
constexpr uint8_t kTailByte = 0xAB;
constexpr uint8_t kFreedByte = 0xDD;
constexpr size_t kQuarantineSlots = 4096;

struct BlockHeader {
  uint64_t size;
  uint64_t marker;
};
static_assert(sizeof(BlockHeader) == 16, "the data behind the header keeps the heap's alignment");

SRWLOCK quarantineLock = SRWLOCK_INIT;
BlockHeader* quarantine[kQuarantineSlots];
size_t quarantineNext = 0;

uint8_t* dataOf(BlockHeader* header) noexcept {
  return reinterpret_cast<uint8_t*>(header + 1);
}

bool allBytesAre(const uint8_t* bytes, size_t length, uint8_t value) noexcept {
  return std::all_of(bytes, bytes + length, [value](uint8_t byte) { return byte == value; });
}

void* allocateGuarded(size_t size) noexcept {
  if (size > SIZE_MAX - sizeof(BlockHeader) - kTailLength) return nullptr;
  auto* header = static_cast<BlockHeader*>(
      HeapAlloc(GetProcessHeap(), 0, sizeof(BlockHeader) + size + kTailLength));
  if (header == nullptr) return nullptr;
  header->size = size;
  header->marker = kBlockLive;
  std::memset(dataOf(header) + size, kTailByte, kTailLength);
  return dataOf(header);
}

// A block leaving the quarantine: every byte must still hold the freed pattern.
void releaseFromQuarantine(BlockHeader* header) noexcept {
  WB_CHECK(allBytesAre(dataOf(header), header->size + kTailLength, kFreedByte),
           "a freed heap block is not written to");
  HeapFree(GetProcessHeap(), 0, header);
}

void freeGuarded(void* pointer) noexcept {
  if (pointer == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(pointer) - 1;
  WB_CHECK(header->marker != kBlockFreed, "a heap block is freed once");
  WB_CHECK(header->marker == kBlockLive, "only blocks of operator new are deleted");
  WB_CHECK(allBytesAre(dataOf(header) + header->size, kTailLength, kTailByte),
           "a heap block is not written past its end");
  header->marker = kBlockFreed;
  std::memset(dataOf(header), kFreedByte, header->size + kTailLength);
  AcquireSRWLockExclusive(&quarantineLock);
  BlockHeader* leaving = quarantine[quarantineNext];
  quarantine[quarantineNext] = header;
  quarantineNext = (quarantineNext + 1) % kQuarantineSlots;
  ReleaseSRWLockExclusive(&quarantineLock);
  if (leaving != nullptr) releaseFromQuarantine(leaving);
}

// At the program's end every block still in quarantine is checked too, so that a write into a
// freed block is caught also in a program that frees too little to push it out.
struct QuarantineCheckAtExit {
  ~QuarantineCheckAtExit() {
    AcquireSRWLockExclusive(&quarantineLock);
    for (BlockHeader*& header : quarantine) {
      if (header != nullptr) releaseFromQuarantine(std::exchange(header, nullptr));
    }
    ReleaseSRWLockExclusive(&quarantineLock);
  }
} quarantineCheckAtExit;

void* allocateOrThrow(size_t size) {
  void* pointer = allocateGuarded(size);
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}

} // namespace

void* operator new(size_t size) {
  return allocateOrThrow(size);
}
void* operator new[](size_t size) {
  return allocateOrThrow(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return allocateGuarded(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return allocateGuarded(size);
}
void operator delete(void* pointer) noexcept {
  freeGuarded(pointer);
}
void operator delete[](void* pointer) noexcept {
  freeGuarded(pointer);
}
void operator delete(void* pointer, size_t) noexcept {
  freeGuarded(pointer);
}
void operator delete[](void* pointer, size_t) noexcept {
  freeGuarded(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  freeGuarded(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  freeGuarded(pointer);
}
