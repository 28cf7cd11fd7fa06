// Decimal rounding of the numeric utilities.
#pragma once

#include <cstdint>

namespace vexcard::driver {

// Rounds x to n decimal places the way the cash-desk software does: the bias
// 0.5000000001 is added and the sum truncated towards zero, so an exact half goes up for
// positive x and a negative x is pulled towards zero (-1.25 at n = 1 gives -1.1).
//
// In 80-bit extended precision (see extended.h): x is multiplied by 10 once per digit,
// n times in succession, r = trunc(y + bias) is taken as a signed 64-bit integer, and r is
// divided by 10 once per digit. Throws vexcard::Exception for a negative n (not used by
// the driver), for NaN or infinite x, and when the scaled value does not fit 64 bits.
// Thread-safe.
long double RoundDecimal(long double x, std::int8_t n);

}  // namespace vexcard::driver
