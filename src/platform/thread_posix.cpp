// POSIX threads.
//
// Stack size: the default of the platform. The serial port asks its workers for a
// 16384-byte stack on Windows; here that is too small for the sanitizers' instrumented
// frames (and glibc's own minimum is close to it), so every thread keeps the default.
//
// Priority: a high-priority thread is moved to SCHED_FIFO at the lowest real-time level.
// Any real-time level already runs before every ordinary (SCHED_OTHER) thread of the
// process, which is what the port's workers need; the lowest one keeps them below the
// kernel's own interrupt threads, on which the serial driver itself depends. Where the
// process may not use real-time scheduling (no CAP_SYS_NICE, RLIMIT_RTPRIO 0) the call
// fails and the thread silently keeps the default policy.
#include <pthread.h>
#include <sched.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/thread.h"
#include "vexcard/exception.h"

namespace vexcard::platform {

struct Thread::Impl {
  // Guards tid and started: start() holds it across pthread_create, so that a body that
  // asks isCurrent() sees the identifier only once it has been stored.
  mutable std::mutex mutex;
  pthread_t tid{};
  bool started = false;  // a thread was created and not yet joined
};

namespace {

void* threadEntry(void* arg) {
  auto* body = static_cast<std::function<void()>*>(arg);
  (*body)();
  delete body;
  return nullptr;
}

void raisePriority(pthread_t tid) {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  // Refused without the privilege: the thread keeps its default policy.
  (void)pthread_setschedparam(tid, SCHED_FIFO, &param);
}

}  // namespace

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

// A thread object destroyed by its own body cannot join itself: the thread is detached
// instead, so that its resources are released when the body returns.
Thread::~Thread() {
  if (isCurrent()) {
    pthread_detach(impl_->tid);
    return;
  }
  join();
}

void Thread::start(std::function<void()> body, bool high_priority) {
  std::lock_guard<std::mutex> g(impl_->mutex);
  if (impl_->started) throw Exception("Thread already started");
  auto* arg = new std::function<void()>(std::move(body));
  const int rc = pthread_create(&impl_->tid, nullptr, &threadEntry, arg);
  if (rc != 0) {
    delete arg;
    throw Exception(std::string("Cannot create thread: ") + std::strerror(rc));
  }
  impl_->started = true;
  if (high_priority) raisePriority(impl_->tid);
}

// Called by the owner (one thread at a time). From the thread's own body it does nothing.
void Thread::join() {
  pthread_t tid;
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    if (!impl_->started || pthread_equal(impl_->tid, pthread_self())) return;
    tid = impl_->tid;
  }
  pthread_join(tid, nullptr);
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->started = false;
}

bool Thread::joinable() const {
  std::lock_guard<std::mutex> g(impl_->mutex);
  return impl_->started;
}

bool Thread::isCurrent() const {
  std::lock_guard<std::mutex> g(impl_->mutex);
  return impl_->started && pthread_equal(impl_->tid, pthread_self());
}

}  // namespace vexcard::platform
