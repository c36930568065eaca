#pragma once
// Watches array allocations of a test program. The program replaces the global array forms of
// operator new and delete (message data is allocated with new[] and freed with delete[]), so a
// test can count how often a given array is freed and make array allocations fail on demand.
#include <cstdint>

namespace alloc_watch {

// Starts counting the frees of the array at `data`. Returns how often the previous array watched
// at the same address was freed, or -1 when none was watched there.
int watch(const void* data);
// Frees of the array watched at `data` since watch(), or -1 when it is not watched.
int freeCount(const void* data);
// Stops watching `data`.
void forget(const void* data);

// The next `count` nothrow array allocations (new (std::nothrow) T[n]) give null.
void failNextNothrowArrayAllocations(int count);
// Nothrow array allocations that were made to fail and not yet reached.
int pendingFailures();

} // namespace alloc_watch
