// The checks behind the macros of Checked.h, in the test build's wirebridge_checks library.
#include "checked/Checked.h"

#include <cstdio>
#include <cstdlib>

namespace checked {
namespace {

constexpr int kRanks = 5;
// Locks of each rank that this thread holds (critical sections may be entered again).
thread_local int held[kRanks] = {};

int index(LockRank rank) noexcept {
  return int(rank);
}

} // namespace

void fail(const char* invariant, const char* file, int line) noexcept {
  std::fprintf(stderr, "invariant violated: %s (%s:%d)\n", invariant, file, line);
  std::fflush(stderr);
  std::fflush(stdout);
  std::_Exit(70);
}

void lockEntering(LockRank rank, const char* file, int line) noexcept {
  const int at = index(rank);
  if (rank == LockRank::ReceiveQueue) {
    for (int other = 1; other < kRanks; ++other) {
      if (held[other] != 0) fail("the receiveQueue lock is taken alone", file, line);
    }
  } else if (rank != LockRank::Unranked) {
    if (held[index(LockRank::ReceiveQueue)] != 0) {
      fail("the receiveQueue lock is taken alone", file, line);
    }
    for (int later = at + 1; later < kRanks; ++later) {
      if (held[later] != 0) fail("lock order sendLock, stateLock, sendQueue lock", file, line);
    }
  }
  ++held[at];
}

void lockLeft(LockRank rank) noexcept {
  --held[index(rank)];
}

void callingOut(bool hostBufferCall, const char* file, int line) noexcept {
  for (int rank = 0; rank < kRanks; ++rank) {
    if (held[rank] == 0) continue;
    // The simulator's buffer functions run under sendLock and the client's build lock.
    if (hostBufferCall && (rank == index(LockRank::Send) || rank == index(LockRank::Unranked))) {
      continue;
    }
    fail("no lock is held while calling out to the caller or the simulator", file, line);
  }
}

void noLockHeld(const char* invariant, const char* file, int line) noexcept {
  for (int rank = 0; rank < kRanks; ++rank) {
    if (held[rank] != 0) fail(invariant, file, line);
  }
}

} // namespace checked
