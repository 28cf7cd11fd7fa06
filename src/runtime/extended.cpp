// The 10-byte x87 extended-precision number, decoded and encoded field by field so that
// the code does not depend on the width of long double.
#include <cmath>
#include <limits>

#include "vexcard/runtime.h"

namespace vexcard {
namespace {

constexpr int kBias = 16383;
constexpr int kMaxExponent = 0x7FFF;
constexpr std::uint64_t kIntegerBit = std::uint64_t{1} << 63;

struct Fields {
  bool negative;
  int exponent;               // biased, 0..0x7FFF
  std::uint64_t significand;  // with the explicit integer bit
};

Fields split(const Extended80& x) noexcept {
  Fields f{};
  for (int i = 7; i >= 0; --i) f.significand = (f.significand << 8) | x.bytes[i];
  const unsigned top = static_cast<unsigned>(x.bytes[8]) | (static_cast<unsigned>(x.bytes[9]) << 8);
  f.negative = (top & 0x8000u) != 0;
  f.exponent = static_cast<int>(top & 0x7FFFu);
  return f;
}

Extended80 join(bool negative, int exponent, std::uint64_t significand) noexcept {
  Extended80 x{};
  for (int i = 0; i < 8; ++i) x.bytes[i] = static_cast<std::uint8_t>(significand >> (8 * i));
  const unsigned top = static_cast<unsigned>(exponent) | (negative ? 0x8000u : 0u);
  x.bytes[8] = static_cast<std::uint8_t>(top);
  x.bytes[9] = static_cast<std::uint8_t>(top >> 8);
  return x;
}

// value = significand × 2^(exponent - bias - 63); a zero exponent means 2^(1 - bias - 63).
template <class F>
F decode(const Extended80& x) noexcept {
  const Fields f = split(x);
  F magnitude;
  if (f.exponent == kMaxExponent) {
    magnitude = (f.significand == kIntegerBit) ? std::numeric_limits<F>::infinity()
                                               : std::numeric_limits<F>::quiet_NaN();
    if (std::isnan(magnitude)) return magnitude;
  } else if (f.significand == 0) {
    magnitude = F(0);
  } else {
    const int power = (f.exponent == 0 ? 1 : f.exponent) - kBias - 63;
    // Split the significand so that each half converts exactly even where F has only
    // 53 bits; the sum then rounds once. ldexp applies the power without overflow in
    // between (results beyond F's range become infinity or zero).
    const F high = static_cast<F>(f.significand >> 32);
    const F low = static_cast<F>(f.significand & 0xFFFFFFFFu);
    magnitude = std::ldexp(high * F(4294967296.0) + low, power);
  }
  return f.negative ? -magnitude : magnitude;
}

}  // namespace

long double extendedToLongDouble(const Extended80& x) noexcept { return decode<long double>(x); }

double extendedToDouble(const Extended80& x) noexcept {
  // Through long double when it is at least as wide as the 64-bit significand: the
  // conversion to double then rounds exactly once.
  if constexpr (std::numeric_limits<long double>::digits >= 64) {
    return static_cast<double>(decode<long double>(x));
  } else {
    return decode<double>(x);
  }
}

Extended80 extendedFromLongDouble(long double v) noexcept {
  const bool negative = std::signbit(v);
  if (std::isnan(v)) return join(true, kMaxExponent, kIntegerBit | (kIntegerBit >> 1));
  if (std::isinf(v)) return join(negative, kMaxExponent, kIntegerBit);
  if (v == 0) return join(negative, 0, 0);
  int e = 0;
  const long double fraction = std::frexp(std::fabs(v), &e);  // [0.5, 1) × 2^e
  std::uint64_t significand = static_cast<std::uint64_t>(std::ldexp(fraction, 64));
  int exponent = e - 1 + kBias;
  if (exponent <= 0) {  // below the normal range: denormal with exponent field 0
    const int shift = 1 - exponent;
    significand = shift >= 64 ? 0 : significand >> shift;
    exponent = 0;
  } else if (exponent >= kMaxExponent) {  // beyond the format's range
    return join(negative, kMaxExponent, kIntegerBit);
  }
  return join(negative, exponent, significand);
}

}  // namespace vexcard
