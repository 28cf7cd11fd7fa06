#include <gtest/gtest.h>

#include <limits>

#include "vexcard/runtime.h"

namespace vexcard {
namespace {

TEST(FormatGeneral, FixedNotationDropsTrailingZeros) {
  EXPECT_EQ(formatGeneral(0.0), "0");
  EXPECT_EQ(formatGeneral(-0.0), "0");
  EXPECT_EQ(formatGeneral(37.5), "37.5");
  EXPECT_EQ(formatGeneral(100.0), "100");
  EXPECT_EQ(formatGeneral(-75.0), "-75");
  EXPECT_EQ(formatGeneral(-0.25), "-0.25");
  EXPECT_EQ(formatGeneral(18.5), "18.5");
}

TEST(FormatGeneral, RoundsToFifteenSignificantDigits) {
  EXPECT_EQ(formatGeneral(0.1 + 0.2), "0.3");
  EXPECT_EQ(formatGeneral(370.0 / 20.0), "18.5");
  EXPECT_EQ(formatGeneral(100.0 / 3.0), "33.3333333333333");
  EXPECT_EQ(formatGeneral(2.0 / 3.0), "0.666666666666667");
  EXPECT_EQ(formatGeneral(1.0 - 1e-16), "1");  // rounding carries into a new digit
}

TEST(FormatGeneral, SwitchesToScientificOutsideTheFixedRange) {
  EXPECT_EQ(formatGeneral(0.00001), "0.00001");
  EXPECT_EQ(formatGeneral(0.000012345), "0.000012345");
  EXPECT_EQ(formatGeneral(1e-6), "1E-6");
  EXPECT_EQ(formatGeneral(-2.5e-7), "-2.5E-7");
  EXPECT_EQ(formatGeneral(123456789012345.0), "123456789012345");
  EXPECT_EQ(formatGeneral(-123456789012345.0), "-123456789012345");
  EXPECT_EQ(formatGeneral(1234567890123456.0), "1.23456789012346E15");
  EXPECT_EQ(formatGeneral(999999999999999.9), "1E15");  // rounds up into 16 digits
  EXPECT_EQ(formatGeneral(1.5e20), "1.5E20");
  EXPECT_EQ(formatGeneral(1e100), "1E100");
  EXPECT_EQ(formatGeneral(std::numeric_limits<double>::denorm_min()), "4.94065645841247E-324");
}

TEST(FormatGeneral, SpecialValuesAndSeparator) {
  EXPECT_EQ(formatGeneral(std::numeric_limits<double>::quiet_NaN()), "NAN");
  EXPECT_EQ(formatGeneral(-std::numeric_limits<double>::quiet_NaN()), "NAN");
  EXPECT_EQ(formatGeneral(std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(formatGeneral(-std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_EQ(formatGeneral(37.5, ','), "37,5");
  EXPECT_EQ(formatGeneral(-2.5e-7, ','), "-2,5E-7");
  EXPECT_EQ(formatGeneral(0.00001, ','), "0,00001");
  EXPECT_EQ(formatGeneral(42.0, ','), "42");
}

}  // namespace
}  // namespace vexcard
