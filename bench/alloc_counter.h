// Heap allocation counting for the benchmarks: the program replaces the global operator new,
// and every allocation is counted under the role of the thread that makes it.
//
// A thread's role is "driver" unless it says otherwise: the host's thread (the benchmark's
// own), the port's writer thread and the keep-alive thread. The port's event thread and the
// simulated terminal's thread name themselves through the tagging devices of rig.h, so that
// the terminal's own allocations never count as the driver's, and the receiving side of the
// driver can be counted apart.
#pragma once

#include <cstdint>

namespace vexcard::bench {

enum class ThreadRole : int { kDriver = 0, kPortEvents = 1, kTerminal = 2 };

// Sets the role of the calling thread for its remaining allocations.
void setThreadRole(ThreadRole role) noexcept;

struct AllocCounts {
  std::uint64_t driver = 0;      // every thread of the driver, the event thread included
  std::uint64_t portEvents = 0;  // the port's event thread alone

  AllocCounts operator-(const AllocCounts& o) const {
    return {driver - o.driver, portEvents - o.portEvents};
  }
};

// The allocations counted so far.
AllocCounts allocCounts() noexcept;
// The allocations the calling thread has made so far.
std::uint64_t threadAllocCount() noexcept;

}  // namespace vexcard::bench
