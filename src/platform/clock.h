// The local clock as an OLE Automation date (days since 30 December 1899, the fraction
// being the time of day), and the split of such a value into calendar fields.
#pragma once

#include <cstdint>
#include <functional>

namespace vexcard::platform {

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Now, local time. Thread-safe.
double nowOle();

// Splits t into calendar fields as the host runtime does: t is first rounded to whole
// milliseconds; negative values count backwards in days with a positive time of day
// (-1.25 is 29 December 1899, 06:00). A value outside the years 1..9999, NaN or an
// infinity gives all fields 0. Pure and thread-safe.
DateTimeParts decodeOle(double t);

// The inverse of decodeOle for valid fields. Throws vexcard::EConvertError when a field is
// out of range (year 1..9999, a real day of the month, 0..23:59:59.999).
double encodeOle(const DateTimeParts& parts);

// Replaces the clock; an empty function restores the real one. Thread-safe.
// vexcard::installEnv (driver/env.h) sets it from the Env's clock; nothing else does.
void setClockOverride(std::function<double()> now);

}  // namespace vexcard::platform
