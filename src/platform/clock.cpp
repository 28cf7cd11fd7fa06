// Splitting and building OLE Automation dates the way the host runtime does.
//
// A value is first turned into a signed count of whole milliseconds (rounded to nearest,
// ties to even, from an extended-precision product as the runtime computes it). The day is
// that count divided by a day's milliseconds with truncation, the time of day is the
// remainder of its absolute value: so -1.25 is 29 December 1899, 06:00, and -0.5 is
// 30 December 1899, 12:00.
#include "platform/clock.h"

#include <cmath>
#include <cstdint>

#include "vexcard/exception.h"

namespace vexcard::platform {
namespace {

constexpr std::int64_t kMsPerDay = 86400000;
// Day numbers of 1 January 0001 and 31 December 9999, the runtime's valid range.
constexpr std::int64_t kFirstDay = -693593;
constexpr std::int64_t kLastDay = 2958465;

// Days since 1 January 1970 of a proleptic Gregorian date.
constexpr std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Day 0 of the OLE form, 30 December 1899, counted from 1 January 1970.
constexpr std::int64_t kOleEpoch = daysFromCivil(1899, 12, 30);
static_assert(kOleEpoch == -25569);

void civilFromDays(std::int64_t z, DateTimeParts& p) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  p.year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
  p.month = static_cast<int>(m);
  p.day = static_cast<int>(d);
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

DateTimeParts decodeOle(double t) {
  DateTimeParts zero{0, 0, 0, 0, 0, 0, 0};
  // Values outside the runtime's calendar (and NaN or infinities) have no fields.
  if (!std::isfinite(t) || t < kFirstDay - 1.0 || t > kLastDay + 1.0) return zero;
  const long double product = static_cast<long double>(t) * kMsPerDay;
  const auto ms = static_cast<std::int64_t>(std::nearbyint(product));
  const std::int64_t day = ms / kMsPerDay;  // truncates towards zero
  if (day < kFirstDay || day > kLastDay) return zero;
  std::int64_t tod = (ms < 0 ? -ms : ms) % kMsPerDay;

  DateTimeParts p;
  civilFromDays(day + kOleEpoch, p);
  p.millisecond = static_cast<int>(tod % 1000);
  tod /= 1000;
  p.second = static_cast<int>(tod % 60);
  tod /= 60;
  p.minute = static_cast<int>(tod % 60);
  p.hour = static_cast<int>(tod / 60);
  return p;
}

double encodeOle(const DateTimeParts& p) {
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > daysInMonth(p.year, p.month)) {
    throw EConvertError("Invalid argument to date encode");
  }
  if (p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 || p.second < 0 || p.second > 59 ||
      p.millisecond < 0 || p.millisecond > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  const auto day = static_cast<double>(
      daysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) -
      kOleEpoch);
  const std::int64_t ms =
      ((std::int64_t{p.hour} * 60 + p.minute) * 60 + p.second) * 1000 + p.millisecond;
  const double time = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  // Before day 0 the time of day counts away from zero, as decodeOle reads it.
  return day >= 0 ? day + time : day - time;
}

}  // namespace vexcard::platform
