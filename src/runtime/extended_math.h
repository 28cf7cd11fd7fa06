// Extended-precision helpers for the money conversions and the decimal rounding.
//
// The terminal's amounts and the host's figures are computed in the x87 80-bit extended
// format (64-bit significand), and results that sit on a rounding tie depend on it. Our
// targets (x86-64 Linux with gcc or clang, i686 mingw) all give long double that format,
// which the static_assert below checks. A port to a target whose long double is the
// 64-bit double or the 128-bit quad format must reach the same results with a software
// type of 64-bit significand and round-to-nearest-even arithmetic in its place (for
// example a small soft-float of sign, 16-bit exponent and 64-bit significand); both the
// narrower and the wider format change the outcome near ties.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace vexcard {

static_assert(std::numeric_limits<long double>::digits == 64 &&
                  std::numeric_limits<long double>::radix == 2,
              "long double must be the x87 80-bit extended format");

// Rounds to the nearest integer, ties to even, independently of the floating-point
// environment's rounding mode. NaN and infinities come back unchanged.
inline long double roundHalfEven(long double v) {
  if (!std::isfinite(v)) return v;
  const long double below = std::floor(v);
  const long double fraction = v - below;  // exact: the fraction needs fewer bits than v
  if (fraction > 0.5L) return below + 1.0L;
  if (fraction < 0.5L) return below;
  return std::fmod(below, 2.0L) == 0.0L ? below : below + 1.0L;
}

// Whether an integral value converts to std::int64_t without overflow. False for NaN.
inline bool fitsInt64(long double v) {
  constexpr long double kTwoTo63 = 9223372036854775808.0L;
  return v >= -kTwoTo63 && v < kTwoTo63;
}

}  // namespace vexcard
