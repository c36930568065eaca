#include "tests/blocks/AllocationWatch.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

// Never destroyed: frees can still arrive while static objects are torn down.
struct Registry {
  std::mutex lock;
  std::unordered_map<const void*, int> frees;
};

Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

std::atomic<int> failuresPending{0};

void noteFree(const void* data) {
  if (data == nullptr) return;
  Registry& watched = registry();
  std::lock_guard<std::mutex> guard(watched.lock);
  auto found = watched.frees.find(data);
  if (found != watched.frees.end()) ++found->second;
}

void* allocate(std::size_t size) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}

bool takeFailure() noexcept {
  int pending = failuresPending.load();
  while (pending > 0) {
    if (failuresPending.compare_exchange_weak(pending, pending - 1)) return true;
  }
  return false;
}

} // namespace

namespace alloc_watch {

int watch(const void* data) {
  Registry& watched = registry();
  std::lock_guard<std::mutex> guard(watched.lock);
  auto [entry, inserted] = watched.frees.try_emplace(data, 0);
  const int previous = inserted ? -1 : entry->second;
  entry->second = 0;
  return previous;
}

int freeCount(const void* data) {
  Registry& watched = registry();
  std::lock_guard<std::mutex> guard(watched.lock);
  auto found = watched.frees.find(data);
  return found == watched.frees.end() ? -1 : found->second;
}

void forget(const void* data) {
  Registry& watched = registry();
  std::lock_guard<std::mutex> guard(watched.lock);
  watched.frees.erase(data);
}

void failNextNothrowArrayAllocations(int count) {
  failuresPending.store(count);
}

int pendingFailures() {
  return failuresPending.load();
}

} // namespace alloc_watch

// Replacements of the global array forms, all on malloc/free so that every pairing matches.
void* operator new[](std::size_t size) {
  if (void* data = allocate(size)) return data;
  throw std::bad_alloc();
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (takeFailure()) return nullptr;
  return allocate(size);
}

void operator delete[](void* data) noexcept {
  noteFree(data);
  std::free(data);
}

void operator delete[](void* data, std::size_t) noexcept {
  noteFree(data);
  std::free(data);
}

void operator delete[](void* data, const std::nothrow_t&) noexcept {
  noteFree(data);
  std::free(data);
}
