// Now, and its replacement by tests. The replacement is read under a mutex, and an atomic
// flag keeps the common case (no replacement) free of locking.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/clock.h"
#include "platform/clock_local.h"

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
  return localClockOle();
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
