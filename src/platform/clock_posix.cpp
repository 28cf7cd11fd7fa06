// The local clock on POSIX: the real-time clock split by localtime_r, with milliseconds.
// A test may replace the clock; the replacement is read under a mutex, and an atomic flag
// keeps the common case (no replacement) free of locking.
#include <time.h>

#include <algorithm>
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
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm fields{};
  if (localtime_r(&ts.tv_sec, &fields) == nullptr && gmtime_r(&ts.tv_sec, &fields) == nullptr) {
    return 0.0;
  }
  DateTimeParts p;
  p.year = fields.tm_year + 1900;
  p.month = fields.tm_mon + 1;
  p.day = fields.tm_mday;
  p.hour = fields.tm_hour;
  p.minute = fields.tm_min;
  p.second = std::min(fields.tm_sec, 59);  // a leap second shows as :59
  p.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  try {
    return encodeOle(p);
  } catch (const Exception&) {
    return 0.0;  // a clock outside the years 1..9999
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
