// Windows threads, started through the C runtime (_beginthreadex) so that the runtime's
// per-thread state is set up and released with the thread.
//
// Stack size: the default of the executable. The serial port's workers ask for 16384
// bytes on the original platform; the bodies here run std::function and the logger, whose
// frames need more, and nothing is gained by a smaller reserve.
//
// Priority: a high-priority thread is created suspended, raised to
// THREAD_PRIORITY_HIGHEST and then resumed, so its body never runs at the normal level.
#include <process.h>
#include <windows.h>

#include <mutex>
#include <string>

#include "platform/thread.h"
#include "vexcard/exception.h"

namespace vexcard::platform {

struct Thread::Impl {
  // Guards handle, id and started: start() holds it until both are stored, so that a body
  // asking isCurrent() sees its own identifier.
  mutable std::mutex mutex;
  HANDLE handle = nullptr;
  DWORD id = 0;
  bool started = false;  // a thread was created and not yet joined
};

namespace {

unsigned __stdcall threadEntry(void* arg) {
  auto* body = static_cast<std::function<void()>*>(arg);
  (*body)();
  delete body;
  return 0;
}

}  // namespace

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

// A thread object destroyed by its own body cannot wait for itself: the handle is closed
// instead and the thread ends on its own when the body returns.
Thread::~Thread() {
  if (isCurrent()) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    ::CloseHandle(impl_->handle);
    impl_->handle = nullptr;
    impl_->started = false;
    return;
  }
  join();
}

void Thread::start(std::function<void()> body, bool high_priority) {
  std::lock_guard<std::mutex> g(impl_->mutex);
  if (impl_->started) throw Exception("Thread already started");
  auto* arg = new std::function<void()>(std::move(body));
  unsigned id = 0;
  const auto h = _beginthreadex(nullptr, 0, &threadEntry, arg, CREATE_SUSPENDED, &id);
  if (h == 0) {
    const DWORD err = ::GetLastError();
    delete arg;
    throw Exception("Cannot create thread (error " + std::to_string(err) + ")");
  }
  impl_->handle = reinterpret_cast<HANDLE>(h);
  impl_->id = id;
  impl_->started = true;
  // Refused (no right to change the priority): the thread keeps the normal level.
  if (high_priority) ::SetThreadPriority(impl_->handle, THREAD_PRIORITY_HIGHEST);
  ::ResumeThread(impl_->handle);
}

// Called by the owner (one thread at a time). From the thread's own body it does nothing.
void Thread::join() {
  HANDLE h;
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    if (!impl_->started || impl_->id == ::GetCurrentThreadId()) return;
    h = impl_->handle;
  }
  ::WaitForSingleObject(h, INFINITE);
  std::lock_guard<std::mutex> g(impl_->mutex);
  ::CloseHandle(impl_->handle);
  impl_->handle = nullptr;
  impl_->started = false;
}

bool Thread::joinable() const {
  std::lock_guard<std::mutex> g(impl_->mutex);
  return impl_->started;
}

bool Thread::isCurrent() const {
  std::lock_guard<std::mutex> g(impl_->mutex);
  return impl_->started && impl_->id == ::GetCurrentThreadId();
}

}  // namespace vexcard::platform
