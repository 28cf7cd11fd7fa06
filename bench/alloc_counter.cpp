// The replaced global allocation functions: malloc-based, each counted once under the role of
// the allocating thread (relaxed atomics: the counts are read after the threads have
// handed over their work).
#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace vexcard::bench {
namespace {

std::atomic<std::uint64_t> g_counts[3];
thread_local int t_role = 0;
thread_local std::uint64_t t_count = 0;

void count() noexcept {
  g_counts[t_role].fetch_add(1, std::memory_order_relaxed);
  ++t_count;
}

void* allocate(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  count();
  return p;
}

void* allocateAligned(std::size_t n, std::align_val_t align) {
  const auto a = static_cast<std::size_t>(align);
  void* p = std::aligned_alloc(a, (n + a - 1) / a * a);
  if (p == nullptr) throw std::bad_alloc();
  count();
  return p;
}

}  // namespace

void setThreadRole(ThreadRole role) noexcept { t_role = static_cast<int>(role); }

std::uint64_t threadAllocCount() noexcept { return t_count; }

AllocCounts allocCounts() noexcept {
  const std::uint64_t events = g_counts[1].load(std::memory_order_relaxed);
  return {g_counts[0].load(std::memory_order_relaxed) + events, events};
}

}  // namespace vexcard::bench

using vexcard::bench::allocate;
using vexcard::bench::allocateAligned;

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return allocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocateAligned(n, a); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
