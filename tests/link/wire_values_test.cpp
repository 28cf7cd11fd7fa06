#include "link/wire_values.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::link {
namespace {

// The four wire bytes in sending order.
std::array<std::uint8_t, 4> wire(std::uint32_t w) {
  return {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8),
          static_cast<std::uint8_t>(w >> 16), static_cast<std::uint8_t>(w >> 24)};
}

std::uint32_t fromWire(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  return b0 | (b1 << 8) | (b2 << 16) | (static_cast<std::uint32_t>(b3) << 24);
}

using Bytes4 = std::array<std::uint8_t, 4>;

TEST(Currency, FromDoubleRoundsHalfToEvenAndRefusesWhatCannotFit) {
  EXPECT_EQ(currencyFromDouble(2.30).raw, 23000);
  EXPECT_EQ(currencyFromDouble(-18.5).raw, -185000);
  EXPECT_EQ(currencyFromDouble(1.235).raw, 12350);
  EXPECT_EQ(currencyFromDouble(0.03125).raw, 312);  // 312.5 exactly: to even
  EXPECT_EQ(currencyFromDouble(0.09375).raw, 938);  // 937.5 exactly: to even
  EXPECT_EQ(currencyFromDouble(-0.03125).raw, -312);
  EXPECT_EQ(currencyFromDouble(900000000000000.0).raw, 9000000000000000000);

  for (double bad :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(), 1e15, -1e15}) {
    EXPECT_THROW(currencyFromDouble(bad), Exception) << bad;
  }
  EXPECT_DOUBLE_EQ(toDouble(Currency::fromRaw(23000)), 2.30);
  EXPECT_EQ(toDouble(Currency::fromRaw(-185000)), -18.5);
}

TEST(Money, EncodesHundredthsLittleEndianAfterExponentFE) {
  EXPECT_EQ(wire(EncodeMoney(Currency::fromRaw(23000))), (Bytes4{0xFE, 0xE6, 0x00, 0x00}));
  EXPECT_EQ(wire(EncodeMoney(Currency::fromRaw(9000000))), (Bytes4{0xFE, 0x90, 0x5F, 0x01}));
  EXPECT_EQ(wire(EncodeMoney(Currency::fromRaw(0))), (Bytes4{0xFE, 0x00, 0x00, 0x00}));
  EXPECT_EQ(wire(EncodeMoney(Currency::fromRaw(1677721500))), (Bytes4{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(wire(EncodeMoney(Currency::fromRaw(1677721549))), (Bytes4{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(Money, RoundsHundredthsHalfToEven) {
  EXPECT_EQ(EncodeMoney(Currency::fromRaw(12350)) >> 8, 124u);  // 1.235
  EXPECT_EQ(EncodeMoney(Currency::fromRaw(12250)) >> 8, 122u);  // 1.225
  EXPECT_EQ(EncodeMoney(Currency::fromRaw(12251)) >> 8, 123u);
  EXPECT_EQ(EncodeMoney(Currency::fromRaw(40)) >> 8, 0u);  // 0.004
  EXPECT_EQ(EncodeMoney(currencyFromDouble(18.50)) >> 8, 1850u);
}

TEST(Money, RefusesAmountsThatWouldWrapInsteadOfSendingThem) {
  // 167 772.16 would go out as 0.00, -0.01 as 167 772.15: both refused.
  for (std::int64_t raw :
       {std::int64_t{1677721600}, std::int64_t{1677721550}, std::int64_t{-100}, std::int64_t{-40},
        std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_THROW(EncodeMoney(Currency::fromRaw(raw)), Exception) << raw;
  }
  try {
    EncodeMoney(Currency::fromRaw(1677721600));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(cp1251ToUtf8(e.message()),
              "Сумма вне допустимого диапазона: 167772,16 (допустимо от 0 до 167772,15)");
  }
  EXPECT_EQ(currencyText(Currency::fromRaw(-40)), "-0,004");
  EXPECT_EQ(currencyText(Currency::fromRaw(std::numeric_limits<std::int64_t>::min())),
            "-922337203685477,5808");
}

TEST(Money, DecodesAnyExponentToFourDecimals) {
  EXPECT_EQ(DecodeMoney(fromWire(0xFE, 0xE6, 0x00, 0x00)).raw, 23000);    // 2.30
  EXPECT_EQ(DecodeMoney(fromWire(0x00, 0x05, 0x00, 0x00)).raw, 50000);    // 5.00
  EXPECT_EQ(DecodeMoney(fromWire(0x02, 0x03, 0x00, 0x00)).raw, 3000000);  // 300.00
  EXPECT_EQ(DecodeMoney(fromWire(0xFA, 0x39, 0x30, 0x00)).raw, 123);      // 0.0123
  EXPECT_EQ(DecodeMoney(fromWire(0xFE, 0xFF, 0xFF, 0xFF)).raw, 1677721500);
  EXPECT_EQ(DecodeMoney(fromWire(0x07, 0xFF, 0xFF, 0xFF)).raw, 1677721500000000000);
  EXPECT_EQ(DecodeMoney(fromWire(0x80, 0xFF, 0xFF, 0xFF)).raw, 0);  // e = -128
  EXPECT_EQ(DecodeMoney(fromWire(0x7F, 0x00, 0x00, 0x00)).raw, 0);  // e = 127, m = 0
  EXPECT_EQ(DecodeMoney(EncodeMoney(Currency::fromRaw(1234500))).raw, 1234500);
}

TEST(Money, DecodeRefusesValuesBeyondTheCurrencyRange) {
  EXPECT_THROW(DecodeMoney(fromWire(0x08, 0xFF, 0xFF, 0xFF)), Exception);
  EXPECT_THROW(DecodeMoney(fromWire(0x7F, 0x01, 0x00, 0x00)), Exception);
  // 9 223 372 × 10^8 still fits.
  EXPECT_EQ(DecodeMoney(fromWire(0x08, 0xCC, 0xBC, 0x8C)).raw, 9223372000000000000);
}

TEST(DateTime, PacksSixBytesDroppingMilliseconds) {
  const double march5th2007 = 39146.0 + (14 * 3600 + 7 * 60 + 9.750) / 86400.0;
  EXPECT_EQ(PackDateTime(march5th2007),
            (std::array<std::uint8_t, 6>{0x07, 0x03, 0x05, 0x0E, 0x07, 0x09}));
  const double almostTen = 39146.0 + (14 * 3600 + 7 * 60 + 9.999) / 86400.0;
  EXPECT_EQ(PackDateTime(almostTen)[5], 9);
  EXPECT_EQ(PackDateTime(130027.0)[0], 0xFF);  // 31 December 2255
  EXPECT_EQ(PackDateTime(36526.0)[0], 0x00);   // 1 January 2000

  // A year the byte cannot carry (1 June 1999, 30 December 1899, 1 January 2256) would
  // arrive as another date.
  for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), -693594.0, 2958466.0, 1e300, 36312.5,
                     0.0, 130028.0}) {
    EXPECT_THROW(PackDateTime(bad), Exception) << bad;
  }
}

TEST(Bcd, TwoCharactersWithoutDigitCheck) {
  EXPECT_EQ(BcdToDigits(0x47), "47");
  EXPECT_EQ(BcdToDigits(0x00), "00");
  EXPECT_EQ(BcdToDigits(0x0A), "0:");
  EXPECT_EQ(BcdToDigits(0xFB), "?;");
}

}  // namespace
}  // namespace vexcard::link
