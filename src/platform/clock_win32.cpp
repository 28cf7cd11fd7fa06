// The local clock on Windows: GetLocalTime, with milliseconds, as an OLE date.
// A test may replace the clock; the replacement is read under a mutex, and an atomic flag
// keeps the common case (no replacement) free of locking.
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/clock.h"
#include "vexcard/exception.h"

namespace vexcard::platform {
namespace {

struct Override {
  std::atomic<bool> active{false};
  std::mutex mutex;
  std::shared_ptr<const std::function<double()>> now;  // guarded by mutex
};

Override& clockOverride() {
  static Override o;
  return o;
}

double localNow() {
  SYSTEMTIME st{};
  ::GetLocalTime(&st);
  DateTimeParts p;
  p.year = st.wYear;
  p.month = st.wMonth;
  p.day = st.wDay;
  p.hour = st.wHour;
  p.minute = st.wMinute;
  p.second = st.wSecond;
  p.millisecond = st.wMilliseconds;
  try {
    return encodeOle(p);
  } catch (const Exception&) {
    return 0.0;  // fields the runtime's calendar cannot hold
  }
}

}  // namespace

double nowOle() {
  Override& o = clockOverride();
  if (o.active.load(std::memory_order_acquire)) {
    std::shared_ptr<const std::function<double()>> now;
    {
      std::lock_guard<std::mutex> g(o.mutex);
      now = o.now;
    }
    if (now) return (*now)();
  }
  return localNow();
}

void setClockOverride(std::function<double()> now) {
  Override& o = clockOverride();
  std::lock_guard<std::mutex> g(o.mutex);
  if (now) {
    o.now = std::make_shared<const std::function<double()>>(std::move(now));
    o.active.store(true, std::memory_order_release);
  } else {
    o.now.reset();
    o.active.store(false, std::memory_order_release);
  }
}

}  // namespace vexcard::platform
