// InterruptibleLoop: a helper thread that repeats a blocking system call which neither a
// flag nor close() can end (such as TIOCMIWAIT, the wait for a modem-line change).
//
// stop() interrupts the call with a signal reserved for this purpose (a real-time signal
// whose handler does nothing and is installed without SA_RESTART, so the call returns
// with EINTR), and the body sees stopping() and returns false. A signal that lands just
// before the body enters its call is not lost for long: stop() sends it again after every
// kThreadStopAck window until the thread has ended, then joins it. The signal is only ever
// sent to the helper thread itself. When the process already uses that signal for
// something else, start() refuses (returns false) and nothing is installed.
//
// Thread-safety: start() and stop() are called by the owner, one at a time; stopping() by
// the body.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/sync.h"

namespace vexcard::comport {

class InterruptibleLoop {
 public:
  InterruptibleLoop() = default;
  ~InterruptibleLoop() { stop(); }
  InterruptibleLoop(const InterruptibleLoop&) = delete;
  InterruptibleLoop& operator=(const InterruptibleLoop&) = delete;

  // Runs body again and again on a new thread until it returns false or stop() is called.
  // False when the wake-up signal is not available (the loop is not started).
  bool start(std::function<bool()> body);
  // Ends the loop and joins the thread; does nothing when not running.
  void stop();
  bool stopping() const { return stop_.load(); }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false};
  platform::Event ended_{platform::EventReset::kManual};
};

}  // namespace vexcard::comport
