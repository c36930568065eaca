#pragma once
// Invariant checks of the test build (WB_CHECKED defined). In the shipped library every macro
// below expands to nothing and no field is added.
//
// Checked: reference counts never go below zero; an object past its final release carries a
// poisoned marker that every entry point looks at; locks are taken in the order sendLock,
// stateLock, sendQueue lock, and the receiveQueue lock only alone; no lock is held while the
// caller's procedure or a simulator function runs (sendLock excepted for the simulator's buffer
// functions); at most one read and one write are outstanding per transport. CheckedHeap.cpp adds
// guarded heap blocks to every operator new and delete of the program. A failed check prints the
// invariant's name and ends the process.
#include <cstdint>

// Ranks of the locks whose order is checked; every other lock is Unranked.
enum class LockRank : uint8_t {
  Unranked = 0,
  Send = 1,
  State = 2,
  SendQueue = 3,
  ReceiveQueue = 4
};

#ifdef WB_CHECKED
#include <atomic>

namespace checked {

constexpr uint64_t kLive = 0x4C49564542524447ull; // a live object
constexpr uint64_t kDead = 0xDEADDEADDEADDEADull; // poisoned by its final release

[[noreturn]] void fail(const char* invariant, const char* file, int line) noexcept;
void lockEntering(LockRank rank, const char* file, int line) noexcept;
void lockLeft(LockRank rank) noexcept;
// `hostBufferCall`: the simulator's buffer functions, which run under sendLock by design.
void callingOut(bool hostBufferCall, const char* file, int line) noexcept;
// Fails `invariant` when this thread holds any lock of the library.
void noLockHeld(const char* invariant, const char* file, int line) noexcept;

} // namespace checked

#define WB_CHECK(condition, invariant)                                                             \
  do {                                                                                             \
    if (!(condition)) ::checked::fail(invariant, __FILE__, __LINE__);                              \
  } while (0)
// A field that marks the object live until its destructor poisons it.
#define WB_LIVE_MARKER uint64_t liveMarker_ = ::checked::kLive;
#define WB_POISON(object) ((object)->liveMarker_ = ::checked::kDead)
#define WB_CHECK_LIVE(object, invariant)                                                           \
  WB_CHECK((object)->liveMarker_ == ::checked::kLive, invariant)
// Checks the count before a decrement (`before` is the value the decrement replaced).
#define WB_CHECK_RELEASE(before, invariant) WB_CHECK((before) > 0, invariant)
#define WB_LOCK_RANK_FIELD LockRank rank_ = LockRank::Unranked;
#define WB_LOCK_ENTERING(rank) ::checked::lockEntering(rank, __FILE__, __LINE__)
#define WB_LOCK_LEFT(rank) ::checked::lockLeft(rank)
#define WB_CALLING_OUT() ::checked::callingOut(false, __FILE__, __LINE__)
#define WB_CALLING_HOST_BUFFER_FUNCTION() ::checked::callingOut(true, __FILE__, __LINE__)
#define WB_CHECK_NO_LOCK_HELD(invariant) ::checked::noLockHeld(invariant, __FILE__, __LINE__)
// Operations of one direction (0 read, 1 write) posted and not yet completed.
#define WB_IO_COUNTERS std::atomic<int32_t> ioOutstanding_[2] = {{0}, {0}};
#define WB_IO_POSTED(transport, isWrite)                                                           \
  WB_CHECK((transport).ioOutstanding_[(isWrite) ? 1 : 0].fetch_add(1) == 0,                        \
           (isWrite) ? "at most one write outstanding per transport"                               \
                     : "at most one read outstanding per transport")
#define WB_IO_ENDED(transport, isWrite)                                                            \
  WB_CHECK((transport).ioOutstanding_[(isWrite) ? 1 : 0].fetch_sub(1) == 1,                        \
           "a completion for an operation that was not outstanding")
#else
#define WB_CHECK(condition, invariant) ((void)0)
#define WB_LIVE_MARKER
#define WB_POISON(object) ((void)0)
#define WB_CHECK_LIVE(object, invariant) ((void)0)
#define WB_CHECK_RELEASE(before, invariant) ((void)(before))
#define WB_LOCK_RANK_FIELD
#define WB_LOCK_ENTERING(rank) ((void)0)
#define WB_LOCK_LEFT(rank) ((void)0)
#define WB_CALLING_OUT() ((void)0)
#define WB_CALLING_HOST_BUFFER_FUNCTION() ((void)0)
#define WB_CHECK_NO_LOCK_HELD(invariant) ((void)0)
#define WB_IO_COUNTERS
#define WB_IO_POSTED(transport, isWrite) ((void)0)
#define WB_IO_ENDED(transport, isWrite) ((void)0)
#endif
