#pragma once
// One lock type for the library: a Windows critical section (with an optional spin count), or a
// std::mutex where the portable code is built natively. Locks hand out scope guards.
#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

#include "checked/Checked.h"

class CriticalSection {
public:
  explicit CriticalSection(unsigned spinCount = 0, LockRank rank = LockRank::Unranked) noexcept {
    setRank(rank);
#ifdef _WIN32
    InitializeCriticalSectionAndSpinCount(&section_, spinCount);
#else
    (void)spinCount;
#endif
  }
  ~CriticalSection() {
#ifdef _WIN32
    DeleteCriticalSection(&section_);
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // The lock's place in the checked lock order (test builds only; no effect otherwise).
  void setRank(LockRank rank) noexcept {
#ifdef WB_CHECKED
    rank_ = rank;
#else
    (void)rank;
#endif
  }

  void enter() noexcept {
    WB_LOCK_ENTERING(rank_);
#ifdef _WIN32
    EnterCriticalSection(&section_);
#else
    mutex_.lock();
#endif
  }
  // Enters only when no other thread holds the lock; true when entered.
  bool tryEnter() noexcept {
#ifdef _WIN32
    if (!TryEnterCriticalSection(&section_)) return false;
#else
    if (!mutex_.try_lock()) return false;
#endif
    WB_LOCK_ENTERING(rank_);
    return true;
  }
  void leave() noexcept {
#ifdef _WIN32
    LeaveCriticalSection(&section_);
#else
    mutex_.unlock();
#endif
    WB_LOCK_LEFT(rank_);
  }

  class [[nodiscard]] Guard {
  public:
    explicit Guard(CriticalSection& lock) noexcept : lock_(&lock) { lock_->enter(); }
    ~Guard() {
      if (lock_ != nullptr) lock_->leave();
    }
    Guard(Guard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    // False for a tryLock that found the lock taken.
    explicit operator bool() const noexcept { return lock_ != nullptr; }

  private:
    friend class CriticalSection;
    struct Entered {};
    Guard(CriticalSection* enteredOrNull, Entered) noexcept : lock_(enteredOrNull) {}

    CriticalSection* lock_;
  };

  Guard lock() noexcept {
    return Guard(*this);
  }
  // A guard that holds the lock, or holds nothing when another thread has it.
  Guard tryLock() noexcept {
    return Guard(tryEnter() ? this : nullptr, Guard::Entered{});
  }

private:
#ifdef _WIN32
  CRITICAL_SECTION section_;
#else
  std::mutex mutex_;
#endif
  WB_LOCK_RANK_FIELD
};
