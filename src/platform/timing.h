// The timing policy.
//
// Every sleep and every bounded wait of the system takes its duration from here, by
// name. Production uses the real constants; tests give vexcard::Env (driver/env.h) a
// policy that scales them down (or sets single ones), so that a 50-second retry path runs
// in milliseconds with the same code.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace vexcard::timing {

enum class Delay : std::uint8_t {
  kCtsAnswer,           // 1000 ms: wait for the terminal's CTS answer, per hand-shake try
  kHandshakeRetry,      // 2000 ms: pause after a hand-shake try without answer
  kReplyWait,           // 10000 ms: wait for a complete reply
  kResyncPause,         // 500 ms: before the shift re-synchronisation (reply code 0x81)
  kResyncCloseShift,    // 400 ms: after tsCloseShift inside the re-synchronisation
  kBusyPause,           // 300 ms: before tsReset after reply code 0x8F
  kExecutingPause,      // 2000 ms: before tsReset after a final reply code 0x01
  kKeepAliveIdle,       // 60000 ms: idle time after which the keep-alive thread polls
  kPace500,             // 500 ms: before each follow-up command of a card operation
  kPace400,             // 400 ms: closing pause of some card operations
  kPace300,             // 300 ms: closing pause of some card operations
  kThreadStartAck,      // 3000 ms: wait for a port worker thread's start acknowledgement
  kThreadStopAck,       // 200 ms: wait for a port worker thread's stop acknowledgement
  kWriterTimeout,       // 60000 ms: the port writer's wait for one device write
  kDeviceWriteTimeout,  // 20000 ms: a device write ends within this time
  kPortRetryPause,      // 100 ms: a port worker's pause before retrying a device call that
                        // failed at once (event wait, write), so that it never spins
  kNetworkConnect,      // 5000 ms: a network serial port's TCP connection is made within this
  kNetworkReply,        // 3000 ms: wait for a network serial port's answer to a request
  kScriptSecond,        // 1000 ms: one second of a pause a tool's script asks for
  kPanelHeartbeat,      // 15000 ms: the control panel's event stream writes at least this often
  kNetworkRetryFirst,   // 1000 ms: pause after the first failed try to make a lost network
                        // serial connection again; each further failure doubles it
  kNetworkRetryMax,     // 30000 ms: the longest such pause
  kMetricsWrite,        // 10000 ms: the metrics file is written at most this often
  kCount
};

inline constexpr std::size_t kDelayCount = static_cast<std::size_t>(Delay::kCount);

// A complete set of durations in milliseconds.
class Policy {
 public:
  // The real constants.
  static Policy production();
  // Every production value multiplied by num/den (rounded down, at least 1 ms where the
  // production value is not 0).
  static Policy scaled(std::uint32_t num, std::uint32_t den);

  Policy& set(Delay d, std::uint32_t ms) {
    values_[static_cast<std::size_t>(d)] = ms;
    return *this;
  }
  std::uint32_t get(Delay d) const { return values_[static_cast<std::size_t>(d)]; }

 private:
  std::array<std::uint32_t, kDelayCount> values_{};
};

// Duration of d under the active policy. Thread-safe.
std::uint32_t ms(Delay d);

// What remains of the duration of d under the active policy once `elapsed` of it has
// passed (0 when it has run out), for a wait that resumes a period begun earlier. The
// observer is told of the remainder. Thread-safe.
std::uint32_t remainderMs(Delay d, std::chrono::steady_clock::duration elapsed);

// Sleeps for the duration of d under the active policy.
void sleep(Delay d);

// Called with every duration about to be taken from the active policy for a sleep or a
// bounded wait (each call of ms(), so each sleep() too), from whichever thread takes it;
// nullptr for none. The duration is read after the call, so the observer may install
// another policy for the very wait it is told of. Lets a test add up the time an operation
// may spend waiting, in the policy's own units, without measuring the clock, or make one
// wait short only when nothing can end it early. Thread-safe; meant for tests.
using Observer = void (*)(Delay d, std::uint32_t ms);
void setObserver(Observer observer);

// Replaces the active policy. Thread-safe. vexcard::installEnv and vexcard::retime
// (driver/env.h) call it with the Env's policy; nothing else does.
void install(const Policy& policy);

// The active policy as a whole (a snapshot).
Policy current();

}  // namespace vexcard::timing
