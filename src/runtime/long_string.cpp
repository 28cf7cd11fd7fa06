// Reference-counted long strings of the shared runtime (layout in runtime.h).
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "runtime/string_memory.h"
#include "vexcard/runtime.h"

namespace vexcard {
namespace {

// The 8 bytes in front of the characters.
struct Header {
  std::atomic<std::int32_t> refCount;
  std::int32_t length;
};
static_assert(sizeof(Header) == 8);
static_assert(std::atomic<std::int32_t>::is_always_lock_free);

// Longest text that still fits the 32-bit length with header and terminator to spare.
constexpr std::size_t kMaxLength = std::numeric_limits<std::int32_t>::max() - 16;

Header* headerOf(LongStrHandle s) noexcept {
  return reinterpret_cast<Header*>(const_cast<char*>(s) - sizeof(Header));
}

// A negative reference count marks a constant: a string the host's compiler laid out in
// read-only memory. Referencing and releasing leave it untouched (not even written back
// unchanged), as the hosts' own runtimes do; it is never freed.
bool isConstant(const Header* header) noexcept {
  return header->refCount.load(std::memory_order_relaxed) < 0;
}

}  // namespace

LongStrHandle longStrNew(std::string_view text) {
  if (text.empty()) return nullptr;
  if (text.size() > kMaxLength) throw std::length_error("long string too long");
  void* block = runtime::allocateStringBlock(sizeof(Header) + text.size() + 1);
  if (block == nullptr) throw std::bad_alloc();
  auto* header = new (block) Header{};
  header->refCount.store(1, std::memory_order_relaxed);
  header->length = static_cast<std::int32_t>(text.size());
  char* chars = static_cast<char*>(block) + sizeof(Header);
  std::memcpy(chars, text.data(), text.size());
  chars[text.size()] = '\0';
  return chars;
}

void longStrAddRef(LongStrHandle s) noexcept {
  if (s == nullptr) return;
  Header* header = headerOf(s);
  if (!isConstant(header)) header->refCount.fetch_add(1, std::memory_order_relaxed);
}

void longStrRelease(LongStrHandle s) noexcept {
  if (s == nullptr) return;
  Header* header = headerOf(s);
  if (isConstant(header)) return;
  // acq_rel: every use of the string by other holders happens before the free.
  if (header->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    header->~Header();
    runtime::freeStringBlock(header);
  }
}

std::int32_t longStrRefCount(LongStrHandle s) noexcept {
  return s == nullptr ? 0 : headerOf(s)->refCount.load(std::memory_order_acquire);
}

std::size_t longStrLength(LongStrHandle s) noexcept {
  return s == nullptr ? 0 : static_cast<std::size_t>(headerOf(s)->length);
}

std::string_view longStrView(LongStrHandle s) noexcept {
  return s == nullptr ? std::string_view() : std::string_view(s, longStrLength(s));
}

void longStrAssign(LongStrHandle& dest, LongStrHandle src) noexcept {
  longStrAddRef(src);
  LongStrHandle old = dest;
  dest = src;
  longStrRelease(old);
}

void longStrAssign(LongStrHandle& dest, std::string_view text) {
  LongStrHandle fresh = longStrNew(text);  // may throw: dest is then unchanged
  LongStrHandle old = dest;
  dest = fresh;
  longStrRelease(old);
}

}  // namespace vexcard
