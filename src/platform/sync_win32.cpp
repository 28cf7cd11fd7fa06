// Windows events and lock: each Event is an unnamed kernel event, the recursive lock a
// critical section (which the owning thread may enter again).
#include <windows.h>

#include <string>

#include "platform/sync.h"
#include "vexcard/exception.h"

namespace vexcard::platform {

struct Event::Impl {
  HANDLE handle = nullptr;
};

Event::Event(EventReset kind, bool initially_set) : impl_(std::make_unique<Impl>()) {
  impl_->handle = ::CreateEventA(nullptr, kind == EventReset::kManual ? TRUE : FALSE,
                                 initially_set ? TRUE : FALSE, nullptr);
  if (impl_->handle == nullptr) {
    throw Exception("Cannot create event (error " + std::to_string(::GetLastError()) + ")");
  }
}

Event::~Event() { ::CloseHandle(impl_->handle); }

void Event::set() { ::SetEvent(impl_->handle); }

void Event::reset() { ::ResetEvent(impl_->handle); }

bool Event::wait(std::uint32_t timeout_ms) {
  return ::WaitForSingleObject(impl_->handle, timeout_ms) == WAIT_OBJECT_0;
}

// WaitForMultipleObjects reports the lowest signalled index and, for auto-reset events,
// consumes only that one: exactly the contract of waitAny.
int Event::waitAny(Event& a, Event& b, std::uint32_t timeout_ms) {
  const HANDLE handles[2] = {a.impl_->handle, b.impl_->handle};
  const DWORD rc = ::WaitForMultipleObjects(2, handles, FALSE, timeout_ms);
  if (rc == WAIT_OBJECT_0) return 0;
  if (rc == WAIT_OBJECT_0 + 1) return 1;
  return -1;
}

struct RecursiveLock::Impl {
  CRITICAL_SECTION section;
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {
  ::InitializeCriticalSection(&impl_->section);
}

RecursiveLock::~RecursiveLock() { ::DeleteCriticalSection(&impl_->section); }

void RecursiveLock::lock() { ::EnterCriticalSection(&impl_->section); }

void RecursiveLock::unlock() { ::LeaveCriticalSection(&impl_->section); }

bool RecursiveLock::try_lock() { return ::TryEnterCriticalSection(&impl_->section) != FALSE; }

void sleepMs(std::uint32_t ms) { ::Sleep(ms); }

}  // namespace vexcard::platform
