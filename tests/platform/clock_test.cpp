#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "driver/env.h"
#include "vexcard/exception.h"

namespace vexcard::platform {
namespace {

DateTimeParts at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return DateTimeParts{y, mo, d, h, mi, s, ms};
}

void expectParts(double t, const DateTimeParts& want) {
  const DateTimeParts got = decodeOle(t);
  EXPECT_EQ(got.year, want.year) << t;
  EXPECT_EQ(got.month, want.month) << t;
  EXPECT_EQ(got.day, want.day) << t;
  EXPECT_EQ(got.hour, want.hour) << t;
  EXPECT_EQ(got.minute, want.minute) << t;
  EXPECT_EQ(got.second, want.second) << t;
  EXPECT_EQ(got.millisecond, want.millisecond) << t;
}

constexpr double kMsPerDay = 86400000.0;

TEST(Clock, DecodesKnownDates) {
  expectParts(39146 + (14 * 3600000 + 7 * 60000 + 9750) / kMsPerDay, at(2007, 3, 5, 14, 7, 9, 750));
  expectParts(0.0, at(1899, 12, 30));
  expectParts(36525.0, at(1999, 12, 31));
  expectParts(36525.5, at(1999, 12, 31, 12));
  expectParts(60.0, at(1900, 2, 28));
  expectParts(61.0, at(1900, 3, 1));  // 1900 is no leap year
  expectParts(36585.0, at(2000, 2, 29));
  expectParts(45351.75, at(2024, 2, 29, 18));
  expectParts(-693593.0, at(1, 1, 1));
  expectParts(2958465 + (kMsPerDay - 1) / kMsPerDay, at(9999, 12, 31, 23, 59, 59, 999));
}

TEST(Clock, NegativeDatesCountDaysBackwardsWithPositiveTimeOfDay) {
  expectParts(-1.25, at(1899, 12, 29, 6));
  expectParts(-0.5, at(1899, 12, 30, 12));
  expectParts(-2.75, at(1899, 12, 28, 18));
  EXPECT_EQ(encodeOle(at(1899, 12, 29, 6)), -1.25);
  EXPECT_EQ(encodeOle(at(1899, 12, 28, 18)), -2.75);
}

TEST(Clock, RoundsToWholeMillisecondsBeforeSplitting) {
  // 0.6 ms before midnight rounds into the next day, 0.4 ms stays.
  expectParts(36525 + (kMsPerDay - 0.4) / kMsPerDay, at(2000, 1, 1));
  expectParts(36525 + (kMsPerDay - 1.4) / kMsPerDay, at(1999, 12, 31, 23, 59, 59, 999));
  // Into the next second.
  expectParts(39146 + (14 * 3600000 + 7 * 60000 + 9999.6) / kMsPerDay,
              at(2007, 3, 5, 14, 7, 10, 0));
  // Before day 0 the rounding carries into the previous day's count.
  expectParts(-1 - (kMsPerDay - 0.4) / kMsPerDay, at(1899, 12, 28));
}

TEST(Clock, ValuesOutsideTheCalendarHaveNoFields) {
  for (double t : {std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::infinity(), -693594.0, 2958466.0, 1e300}) {
    expectParts(t, DateTimeParts{0, 0, 0, 0, 0, 0, 0});
  }
}

TEST(Clock, EncodesKnownDatesAndRejectsInvalidFields) {
  EXPECT_EQ(encodeOle(at(1899, 12, 30)), 0.0);
  EXPECT_EQ(encodeOle(at(2000, 2, 29)), 36585.0);
  EXPECT_DOUBLE_EQ(encodeOle(at(2007, 3, 5, 14, 7, 9, 750)), 39146.588307291667);
  EXPECT_THROW(encodeOle(at(1900, 2, 29)), EConvertError);
  EXPECT_THROW(encodeOle(at(2001, 4, 31)), EConvertError);
  EXPECT_THROW(encodeOle(at(0, 1, 1)), EConvertError);
  EXPECT_THROW(encodeOle(at(2001, 1, 1, 24)), EConvertError);
  EXPECT_THROW(encodeOle(at(2001, 1, 1, 0, 0, 60)), EConvertError);
  EXPECT_THROW(encodeOle(at(2001, 1, 1, 0, 0, 0, 1000)), EConvertError);
}

TEST(Clock, EncodeAndDecodeRoundTrip) {
  // Every 997th day from year 1 to 9999, each at a different time of day.
  int n = 0;
  for (double day = -693593; day <= 2958465; day += 997, ++n) {
    DateTimeParts p = decodeOle(day);
    p.hour = n % 24;
    p.minute = (n * 7) % 60;
    p.second = (n * 13) % 60;
    p.millisecond = (n * 331) % 1000;
    const double t = encodeOle(p);
    expectParts(t, p);
    EXPECT_EQ(std::trunc(t), day);
  }
}

TEST(Clock, EnvClockReplacesTheClockAndCanBeRemoved) {
  Env fixed;
  fixed.clock = [] { return 39146.25; };
  {
    EnvScope env(fixed);
    EXPECT_EQ(nowOle(), 39146.25);
  }
  EXPECT_GT(nowOle(), 43831.0);  // the real clock is past 1 January 2020
  const DateTimeParts p = decodeOle(nowOle());
  EXPECT_GE(p.year, 2020);
}

TEST(Clock, EnvClockMayChangeWhileOtherThreadsReadTheClock) {
  std::thread reader([] {
    for (int k = 0; k < 2000; ++k) {
      const double t = nowOle();
      EXPECT_TRUE(t == 1.0 || t == 2.0 || t > 43831.0) << t;
    }
  });
  Env one, two;
  one.clock = [] { return 1.0; };
  two.clock = [] { return 2.0; };
  for (int k = 0; k < 200; ++k) {
    installEnv(one);
    installEnv(two);
    installEnv(Env{});
  }
  reader.join();
}

}  // namespace
}  // namespace vexcard::platform
