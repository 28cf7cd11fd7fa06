#include "comport/interruptible_loop_posix.h"

#include <pthread.h>
#include <signal.h>

#include <mutex>

#include "platform/timing.h"

namespace vexcard::comport {

namespace {

// The fifth real-time signal: the C library keeps the ones below SIGRTMIN for itself.
int wakeSignal() { return SIGRTMIN + 4; }

void ignoreWake(int) {}

// Installs the do-nothing handler once; false when the signal is taken by someone else.
bool wakeSignalReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(wakeSignal(), nullptr, &current) != 0) return;
    const bool unused = (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
    if (!unused) return;
    struct sigaction action {};
    action.sa_handler = &ignoreWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the interrupted call returns EINTR
    ready = sigaction(wakeSignal(), &action, nullptr) == 0;
  });
  return ready;
}

}  // namespace

bool InterruptibleLoop::start(std::function<bool()> body) {
  if (thread_.joinable() || !wakeSignalReady()) return false;
  stop_.store(false);
  ended_.reset();
  thread_ = std::thread([this, body = std::move(body)] {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, wakeSignal());
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    while (!stop_.load() && body()) {
    }
    ended_.set();
  });
  return true;
}

void InterruptibleLoop::stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  do {
    pthread_kill(thread_.native_handle(), wakeSignal());
  } while (!ended_.wait(timing::ms(timing::Delay::kThreadStopAck)));
  thread_.join();
}

}  // namespace vexcard::comport
