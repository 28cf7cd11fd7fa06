// The way out of the driver towards the host (vexcard/host_interface.h, rule 8): every
// slot function, the destructor and GeTDriver run their body through atHostBoundary.
//
// An error leaves the body as a C++ exception, which atHostBoundary catches, so that
// every frame of the driver is unwound and every lock released first. Then the same
// exception goes on to the host when the host can catch it (rethrowIfHostCatches);
// otherwise it is described (describeCurrentError), the exception is ended, and the
// structured form is raised (raiseHostError) from a frame that holds nothing.
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

// Runs `body` for the host. `record` is the operation's result record (its first byte is
// Status), or null. Not noexcept, and neither must the slot functions be: the search for
// the host's handler passes through them.
template <class Body>
auto atHostBoundary(const void* record, Body&& body) -> decltype(body()) {
  HostError error;
  try {
    return body();
  } catch (...) {
    rethrowIfHostCatches();
    error = describeCurrentError(static_cast<const std::uint8_t*>(record));
  }
  raiseHostError(error);
  return decltype(body())();
}

}  // namespace vexcard::library
