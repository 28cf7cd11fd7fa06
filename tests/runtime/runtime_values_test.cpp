#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "vexcard/runtime.h"

namespace vexcard {
namespace {

constexpr bool kWideLongDouble = std::numeric_limits<long double>::digits >= 64;

Extended80 ext(std::initializer_list<int> bytes) {
  Extended80 x{};
  int i = 0;
  for (int b : bytes) x.bytes[i++] = static_cast<std::uint8_t>(b);
  return x;
}

// ---- short strings ----

TEST(ShortString, CutsToTheFieldAndLeavesTheRestAlone) {
  std::uint8_t field[7];
  std::memset(field, 0xFF, sizeof field);
  EXPECT_EQ(writeShortString(field, sizeof field, "ab"), 2u);
  EXPECT_EQ(field[0], 2);
  EXPECT_EQ(field[1], 'a');
  EXPECT_EQ(field[3], 0xFF);  // bytes after the text are not written
  EXPECT_EQ(readShortString(field, sizeof field), "ab");

  ShortString<5> cardType;
  EXPECT_EQ(cardType.set("123456"), 4u);
  EXPECT_EQ(cardType.length(), 4);
  EXPECT_EQ(cardType.view(), "1234");
  cardType.set("");
  EXPECT_EQ(cardType.view(), "");
}

TEST(ShortString, LengthIsLimitedTo255AndBadLengthBytesAreCut) {
  ShortString<256> wide;  // the largest field
  const std::string text(400, 'x');
  EXPECT_EQ(wide.set(text), 255u);
  EXPECT_EQ(wide.view().size(), 255u);

  std::uint8_t field[5] = {200, 'a', 'b', 'c', 'd'};  // length byte beyond the field
  EXPECT_EQ(readShortString(field, sizeof field), "abcd");
  EXPECT_EQ(writeShortString(field, 0, "x"), 0u);
  EXPECT_EQ(field[0], 200);
  EXPECT_EQ(readShortString(field, 0), "");
}

// ---- open arrays ----

TEST(OpenArray, HighestIndexIsCountMinusOne) {
  std::uint8_t bytes[3] = {1, 2, 3};
  auto a = OpenArray<std::uint8_t>::of(bytes);
  EXPECT_EQ(a.high, 2);
  EXPECT_EQ(a.count(), 3u);
  auto empty = OpenArray<std::uint8_t>::of({});
  EXPECT_EQ(empty.high, -1);
  EXPECT_EQ(empty.data, nullptr);
  EXPECT_TRUE(empty.span().empty());
  OpenArray<std::uint8_t> bad{bytes, -5};
  EXPECT_EQ(bad.count(), 0u);
  OpenArray<std::uint8_t> nullData{nullptr, 4};
  EXPECT_EQ(nullData.count(), 0u);
}

// ---- 80-bit extended ----

TEST(Extended80, DecodesKnownPatterns) {
  EXPECT_EQ(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F})), 1.0);
  EXPECT_EQ(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0})), -2.5);
  EXPECT_EQ(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0xA0, 0x04, 0x40})), 40.0);
  const Extended80 tenth = ext({0xCD, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xFB, 0x3F});
  EXPECT_EQ(extendedToDouble(tenth), 0.1);
  if constexpr (kWideLongDouble) {
    EXPECT_EQ(extendedToLongDouble(tenth), 0.1L);
  }
  EXPECT_EQ(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0, 0, 0})), 0.0);
  EXPECT_TRUE(std::signbit(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}))));
}

TEST(Extended80, DecodesDenormalsAndTinyValues) {
  // Exponent field 0: the smallest extended denormal, 2^-16445, far below double.
  const Extended80 smallest = ext({1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(extendedToDouble(smallest), 0.0);
  if constexpr (kWideLongDouble) {
    EXPECT_EQ(extendedToLongDouble(smallest), std::ldexp(1.0L, -16445));
    EXPECT_EQ(extendedToLongDouble(ext({0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0})),
              std::ldexp(1.0L, -16383));
  }
  // 2^-1074 (exponent 0x3BCD) is the smallest double denormal.
  EXPECT_EQ(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0x80, 0xCD, 0x3B})),
            std::numeric_limits<double>::denorm_min());
}

TEST(Extended80, DecodesInfinitiesAndNaNs) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F})), inf);
  EXPECT_EQ(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF})), -inf);
  EXPECT_TRUE(std::isnan(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x7F}))));
  // Integer bit clear with the top exponent is no infinity.
  EXPECT_TRUE(std::isnan(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x7F}))));
  // Beyond double range: infinity of the right sign.
  EXPECT_EQ(extendedToDouble(ext({0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC4})), -inf);
}

TEST(Extended80, EncodesAndRoundTrips) {
  const Extended80 one = extendedFromLongDouble(1.0L);
  EXPECT_EQ(std::memcmp(one.bytes, ext({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}).bytes, 10), 0);
  const Extended80 m = extendedFromLongDouble(-2.5L);
  EXPECT_EQ(std::memcmp(m.bytes, ext({0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0}).bytes, 10), 0);
  const Extended80 negZero = extendedFromLongDouble(-0.0L);
  EXPECT_EQ(negZero.bytes[9], 0x80);
  EXPECT_EQ(negZero.bytes[7], 0);
  for (double d :
       {0.1, 40.0, -123456.789, 1e300, 1e-300, 5e-324, std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(extendedToDouble(extendedFromLongDouble(d)), d) << d;
  }
  EXPECT_TRUE(std::isnan(extendedToDouble(extendedFromLongDouble(std::nanl("")))));
  if constexpr (kWideLongDouble) {
    const long double tiny = std::ldexp(3.0L, -16440);  // an extended denormal
    EXPECT_EQ(extendedFromLongDouble(tiny).bytes[9] & 0x7F, 0);
    EXPECT_EQ(extendedToLongDouble(extendedFromLongDouble(tiny)), tiny);
  }
}

// ---- abstract-method error ----

TEST(AbstractError, IsTheGeneralError) {
  EXPECT_THROW(raiseAbstractError(), EAbstractError);
  EXPECT_THROW(raiseAbstractError(), Exception);
}

}  // namespace
}  // namespace vexcard
