#include "alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> counting{false};
std::atomic<long> counted{0};
thread_local std::size_t ofThisThread = 0;

void* Allocate(std::size_t size) {
  ++ofThisThread;
  if (counting.load(std::memory_order_relaxed)) counted.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace testsupport::alloc {
void Count(bool on) { counting.store(on); }
long Counted() { return counted.load(); }
void Reset() { counted.store(0); }
std::size_t OfThisThread() { return ofThisThread; }
}  // namespace testsupport::alloc

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
