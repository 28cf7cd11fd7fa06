// The module-wide keep-alive poller (see keep_alive.h).
//
// State guarded by KeepAliveState::mutex: the attached drivers, the driver being polled
// and the terminate request. KeepAliveState::lifecycle serialises attach and detach, so
// that starting and joining the thread never overlap. The poll itself runs without
// either lock held; detach waits for its end on pollDone.
#include "link/keep_alive.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/thread.h"
#include "platform/timing.h"

namespace vexcard::link {

namespace {

struct Target {
  const void* owner;
  KeepAlive::PollFunction poll;
};

struct KeepAliveState {
  std::mutex lifecycle;
  std::mutex mutex;
  std::condition_variable pollDone;
  std::vector<Target> targets;    // the last one is polled
  const void* polling = nullptr;  // owner of the poll in progress
  bool terminate = false;
  platform::Event event{platform::EventReset::kAuto};
  std::unique_ptr<platform::Thread> thread;  // guarded by lifecycle
};

// Never destroyed: drivers the host leaks at exit must not find it gone.
KeepAliveState& state() {
  static KeepAliveState* const s = new KeepAliveState;
  return *s;
}

// The poller thread's body: wait for the idle period; when it ran out without any
// exchange starting, poll the current target, telling it when the wait began (an exchange
// that was under way all along may have ended since; the target then stands down and the
// poller waits again). Poll failures (the terminal switched off) are swallowed: the
// exchange has logged them already.
class TTestThread {
 public:
  static void run() {
    KeepAliveState& s = state();
    // When a poll stood down, the end of the exchange that made it do so: the next wait
    // is what remains of the idle period counted from there.
    // (A plain time point and a flag: GCC 12 takes an optional's value for uninitialized.)
    bool resume = false;
    std::chrono::steady_clock::time_point idleFrom{};
    for (;;) {
      const auto idleSince = std::chrono::steady_clock::now();
      const std::uint32_t wait =
          resume ? timing::remainderMs(timing::Delay::kKeepAliveIdle, idleSince - idleFrom)
                 : timing::ms(timing::Delay::kKeepAliveIdle);
      resume = false;
      const bool exchangeStarted = s.event.wait(wait);
      Target target;
      {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.terminate) return;
        if (exchangeStarted || s.targets.empty()) continue;
        target = s.targets.back();
        s.polling = target.owner;
      }
      try {
        if (const auto stoodDown = target.poll(idleSince)) {
          idleFrom = *stoodDown;
          resume = true;
        }
      } catch (...) {
        // Swallowed by design: the next poll follows after the next idle period.
      }
      {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.polling = nullptr;
      }
      s.pollDone.notify_all();
    }
  }
};

}  // namespace

platform::Event& keepAliveEvent() { return state().event; }

void KeepAlive::attach(const void* owner, PollFunction poll) {
  KeepAliveState& s = state();
  std::lock_guard<std::mutex> life(s.lifecycle);
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    s.targets.push_back(Target{owner, std::move(poll)});
  }
  if (s.thread) return;
  try {
    auto thread = std::make_unique<platform::Thread>();
    thread->start(&TTestThread::run);
    s.thread = std::move(thread);
  } catch (...) {
    std::lock_guard<std::mutex> guard(s.mutex);
    s.targets.pop_back();
    throw;
  }
}

void KeepAlive::detach(const void* owner) {
  KeepAliveState& s = state();
  std::lock_guard<std::mutex> life(s.lifecycle);
  bool stop = false;
  {
    std::unique_lock<std::mutex> guard(s.mutex);
    std::erase_if(s.targets, [owner](const Target& t) { return t.owner == owner; });
    s.pollDone.wait(guard, [&] { return s.polling != owner; });
    if (s.targets.empty() && s.thread) {
      s.terminate = true;
      stop = true;
    }
  }
  if (!stop) return;
  s.event.set();  // ends the idle wait at once
  s.thread->join();
  s.thread.reset();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.terminate = false;
}

bool KeepAlive::running() {
  KeepAliveState& s = state();
  std::lock_guard<std::mutex> life(s.lifecycle);
  return s.thread != nullptr;
}

}  // namespace vexcard::link
