#include "driver/an_utils.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "platform/codepage.h"
#include "runtime/extended_math.h"
#include "vexcard/exception.h"

namespace vexcard::driver {

using namespace vexcard::literals;

namespace {

constexpr long double kBias = 0.5000000001L;

std::string valueText(long double x) {
  // As a double: the message needs no more, and every runtime formats a double alike.
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", static_cast<double>(x));
  return buffer;
}

}  // namespace

long double RoundDecimal(long double x, std::int8_t n) {
  if (n < 0) {
    throw Exception(
        std::string("Округление до отрицательного числа знаков не поддерживается: "_w1251) +
        std::to_string(n));
  }
  long double y = x;
  for (int k = 0; k < n; ++k) y *= 10.0L;
  const long double biased = std::trunc(y + kBias);
  if (!fitsInt64(biased)) {
    throw Exception(std::string("Число вне допустимого диапазона для округления: "_w1251) +
                    valueText(x) + std::string(" (знаков: "_w1251) + std::to_string(n) + ")");
  }
  const auto r = static_cast<std::int64_t>(biased);
  long double z = static_cast<long double>(r);
  for (int k = 0; k < n; ++k) z /= 10.0L;
  return z;
}

}  // namespace vexcard::driver
