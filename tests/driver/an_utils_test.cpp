#include "driver/an_utils.h"

#include <gtest/gtest.h>

#include <limits>

#include "vexcard/exception.h"

namespace vexcard::driver {
namespace {

TEST(RoundDecimal, BiasPushesHalvesUpAndTruncatesTowardsZero) {
  EXPECT_EQ(static_cast<double>(RoundDecimal(2.345, 2)), 2.35);
  EXPECT_EQ(static_cast<double>(RoundDecimal(2.344999, 2)), 2.34);
  EXPECT_EQ(RoundDecimal(7.5L, 0), 8.0L);
  EXPECT_EQ(RoundDecimal(7.4999999L, 0), 7.0L);
  EXPECT_EQ(static_cast<double>(RoundDecimal(-1.25L, 1)), -1.1);
  EXPECT_EQ(RoundDecimal(-7.5L, 0), -6.0L);  // -6.9999999999 truncated
  EXPECT_EQ(RoundDecimal(-0.4L, 0), 0.0L);
  EXPECT_EQ(static_cast<double>(RoundDecimal(18.4999, 2)), 18.5);
}

TEST(RoundDecimal, ScalesOneFactorOfTenAtATime) {
  // Multiplying by 100 at once would give 0.01 here; two steps of 10 give 0.02.
  EXPECT_EQ(RoundDecimal(0xf.5c28f5be2975c89p-10L, 2), (2.0L / 10.0L) / 10.0L);
  // Dividing 3 by 100 at once differs from two divisions by 10 in the last bit.
  EXPECT_EQ(RoundDecimal(0.03L, 2), (3.0L / 10.0L) / 10.0L);
  EXPECT_NE(RoundDecimal(0.03L, 2), 3.0L / 100.0L);
}

TEST(RoundDecimal, RefusesNegativeDigitsAndValuesBeyond64Bits) {
  EXPECT_THROW(RoundDecimal(1.0L, -1), Exception);
  EXPECT_THROW(RoundDecimal(1e17L, 2), Exception);
  EXPECT_THROW(RoundDecimal(-1e19L, 0), Exception);
  EXPECT_THROW(RoundDecimal(std::numeric_limits<long double>::quiet_NaN(), 2), Exception);
  EXPECT_THROW(RoundDecimal(std::numeric_limits<long double>::infinity(), 0), Exception);
  EXPECT_EQ(RoundDecimal(9e18L, 0), 9e18L);
  EXPECT_EQ(RoundDecimal(1.0L, 18), 1.0L);
}

}  // namespace
}  // namespace vexcard::driver
