// POSIX events and lock: a mutex and condition variable per event. A waitAny() registers
// a shared waiter with both events, so that setting either wakes it without polling.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace vexcard::platform {

namespace {

// A waiter blocked in waitAny(): the events it watches notify its condition variable.
struct MultiWaiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool woken = false;
  void wake() {
    std::lock_guard<std::mutex> g(mutex);
    woken = true;
    cv.notify_all();
  }
};

using Clock = std::chrono::steady_clock;

}  // namespace

struct Event::Impl {
  explicit Impl(EventReset k, bool s) : kind(k), signalled(s) {}
  std::mutex mutex;
  std::condition_variable cv;
  EventReset kind;
  bool signalled;
  std::vector<MultiWaiter*> waiters;  // guarded by mutex

  // Consumes the signal when set; caller holds mutex.
  bool tryTake() {
    if (!signalled) return false;
    if (kind == EventReset::kAuto) signalled = false;
    return true;
  }
};

Event::Event(EventReset kind, bool initially_set)
    : impl_(std::make_unique<Impl>(kind, initially_set)) {}
Event::~Event() = default;

void Event::set() {
  std::vector<MultiWaiter*> to_wake;
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->signalled = true;
    to_wake = impl_->waiters;
    if (impl_->kind == EventReset::kAuto) {
      impl_->cv.notify_one();
    } else {
      impl_->cv.notify_all();
    }
    // Waking the multi-waiters under the event's mutex keeps them registered (and so
    // alive) while they are notified.
    for (MultiWaiter* w : to_wake) w->wake();
  }
}

void Event::reset() {
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->signalled = false;
}

bool Event::wait(std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lk(impl_->mutex);
  if (timeout_ms == kInfinite) {
    impl_->cv.wait(lk, [&] { return impl_->signalled; });
    return impl_->tryTake();
  }
  if (!impl_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                          [&] { return impl_->signalled; })) {
    return false;
  }
  return impl_->tryTake();
}

int Event::waitAny(Event& a, Event& b, std::uint32_t timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  MultiWaiter waiter;
  Event* events[2] = {&a, &b};
  for (Event* e : events) {
    std::lock_guard<std::mutex> g(e->impl_->mutex);
    e->impl_->waiters.push_back(&waiter);
  }
  int result = -1;
  for (;;) {
    for (int k = 0; k < 2 && result < 0; ++k) {
      std::lock_guard<std::mutex> g(events[k]->impl_->mutex);
      if (events[k]->impl_->tryTake()) result = k;
    }
    if (result >= 0) break;
    std::unique_lock<std::mutex> lk(waiter.mutex);
    if (timeout_ms == kInfinite) {
      waiter.cv.wait(lk, [&] { return waiter.woken; });
    } else if (!waiter.cv.wait_until(lk, deadline, [&] { return waiter.woken; })) {
      lk.unlock();
      // One last look: a set() may have come just at the deadline.
      for (int k = 0; k < 2 && result < 0; ++k) {
        std::lock_guard<std::mutex> g(events[k]->impl_->mutex);
        if (events[k]->impl_->tryTake()) result = k;
      }
      break;
    }
    waiter.woken = false;
  }
  for (Event* e : events) {
    std::lock_guard<std::mutex> g(e->impl_->mutex);
    auto& w = e->impl_->waiters;
    w.erase(std::remove(w.begin(), w.end(), &waiter), w.end());
  }
  return result;
}

struct RecursiveLock::Impl {
  std::recursive_mutex mutex;
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {}
RecursiveLock::~RecursiveLock() = default;
void RecursiveLock::lock() { impl_->mutex.lock(); }
void RecursiveLock::unlock() { impl_->mutex.unlock(); }
bool RecursiveLock::try_lock() { return impl_->mutex.try_lock(); }

void sleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace vexcard::platform
