// The local clock on POSIX: the real-time clock split by localtime_r, with milliseconds.
#include <time.h>

#include <algorithm>

#include "platform/clock.h"
#include "platform/clock_local.h"
#include "vexcard/exception.h"

namespace vexcard::platform {

double localClockOle() {
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

}  // namespace vexcard::platform
