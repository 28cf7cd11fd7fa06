// The way out of the driver towards the host (vexcard/host_interface.h, rule 8): every
// slot function, the destructor and GeTDriver run their body through atHostBoundary.
//
// An error leaves the body as a C++ exception, which atHostBoundary catches, so that
// every frame of the driver is unwound and every lock released first. Then the same
// exception goes on to the host when the host can catch it (rethrowIfHostCatches);
// otherwise it is described (describeCurrentError), the exception is ended, and the
// structured form is raised (raiseHostError) from a frame that holds nothing.
//
// The x87 unit. The sale figures are computed in extended precision, but a host may run
// the unit otherwise: MSVC-built programs and .NET set 53-bit precision, which would
// silently turn those computations into double ones, and Delphi unmasks the invalid,
// zero-divide and overflow exceptions. So every call runs with the driver's own control
// word (X87ControlWord) and gives the host its own back on every way out: a return, the
// C++ exception passed on, and the structured exception, which is raised after it.
#pragma once

#include <cstdint>

#include "library/host_error.h"

namespace vexcard::library {

// Inside a catch block: passes the exception being handled on to the caller, as `throw;`
// does, when a frame of the caller will catch it, and returns when none would (nothing
// has been unwound then). POSIX: always passes it on (the host shares our runtime).
void rethrowIfHostCatches();

// Raises `error` as the structured exception of rule 8b. Returns only when the host's
// handler continues execution.
void raiseHostError(const HostError& error);

// While it lives, the x87 unit runs with the driver's control word: 64-bit precision,
// rounding to nearest, every exception masked. restore() (also the destructor) clears the
// exception flags the driver's work raised, so that none of them traps at the host's next
// x87 instruction, and loads the host's control word again. Nothing on other processors.
class X87ControlWord {
 public:
  static constexpr std::uint16_t kDriverWord = 0x037F;
#if defined(__i386__) || defined(__x86_64__)
  X87ControlWord() noexcept {
    __asm__ __volatile__("fnstcw %0" : "=m"(host_));
    __asm__ __volatile__("fldcw %0" : : "m"(kDriverWord));
  }
  void restore() const noexcept { __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(host_)); }
#else
  X87ControlWord() noexcept {}
  void restore() const noexcept {}
#endif
  ~X87ControlWord() { restore(); }
  X87ControlWord(const X87ControlWord&) = delete;
  X87ControlWord& operator=(const X87ControlWord&) = delete;

#if defined(__i386__) || defined(__x86_64__)
 private:
  std::uint16_t host_ = 0;
#endif
};

// Runs `body` for the host. `record` is the operation's result record (its first byte is
// Status), or null. Not noexcept, and neither must the slot functions be: the search for
// the host's handler passes through them.
template <class Body>
auto atHostBoundary(const void* record, Body&& body) -> decltype(body()) {
  const X87ControlWord x87;
  HostError error;
  try {
    return body();
  } catch (...) {
    rethrowIfHostCatches();
    error = describeCurrentError(static_cast<const std::uint8_t*>(record));
  }
  x87.restore();  // the host's handler runs with the host's control word
  raiseHostError(error);
  return decltype(body())();
}

}  // namespace vexcard::library
