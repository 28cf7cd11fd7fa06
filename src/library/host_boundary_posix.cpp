// The host boundary off Windows: a host shares our C++ runtime, so every error reaches it
// as the C++ exception itself.
#include "library/host_boundary.h"
#include "vexcard/exception.h"

namespace vexcard::library {

void rethrowIfHostCatches() { throw; }

// Not reached, since rethrowIfHostCatches never returns here; the general error serves.
void raiseHostError(const HostError& error) { throw Exception(error.message); }

}  // namespace vexcard::library
