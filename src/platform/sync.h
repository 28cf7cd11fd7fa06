// Events and the recursive lock.
//
// Event: an unnamed event, auto-reset (a successful wait consumes the signal) or
// manual-reset (stays set until reset). Waits take milliseconds; kInfinite waits forever.
// All members are thread-safe.
//
// RecursiveLock: a lock the owning thread may take again; every lock() needs its unlock().
#pragma once

#include <cstdint>
#include <memory>

namespace vexcard::platform {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

enum class EventReset { kAuto, kManual };

class Event {
 public:
  explicit Event(EventReset kind, bool initially_set = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();
  // True when the event was (or became) set within timeout_ms; an auto-reset event is
  // cleared by the successful wait.
  bool wait(std::uint32_t timeout_ms);
  // Waits for the first of two events: returns 0 or 1 (the first signalled one, a
  // preferred to b when both are), or -1 on time-out. Only the returned event is consumed.
  static int waitAny(Event& a, Event& b, std::uint32_t timeout_ms);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void lock();
  void unlock();
  bool try_lock();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Holds a lock for a scope (works with any lock()/unlock() type).
template <class L>
class Guard {
 public:
  explicit Guard(L& lock) : lock_(lock) { lock_.lock(); }
  ~Guard() { lock_.unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  L& lock_;
};

// Plain sleep of the calling thread. Callers normally go through timing::sleep.
void sleepMs(std::uint32_t ms);

}  // namespace vexcard::platform
