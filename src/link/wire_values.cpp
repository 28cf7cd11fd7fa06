#include "link/wire_values.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "runtime/extended_math.h"
#include "vexcard/exception.h"

namespace vexcard::link {

using namespace vexcard::literals;

namespace {

constexpr std::int64_t kCurrencyScale = 10000;
constexpr int kFirstWireYear = 2000;

std::string doubleText(double value) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

// 10^k by repeated squaring in extended precision, then 1 / 10^|k| for negative k.
// Exact for |k| <= 27, which covers every exponent whose result can fit a currency.
long double powerOfTen(int k) {
  unsigned y = static_cast<unsigned>(std::abs(k));
  long double base = 10.0L;
  long double result = 1.0L;
  while (y > 0) {
    if (y & 1u) result *= base;
    base *= base;
    y >>= 1;
  }
  return k < 0 ? 1.0L / result : result;
}

}  // namespace

Currency currencyFromDouble(double value) {
  const long double scaled = roundHalfEven(static_cast<long double>(value) * kCurrencyScale);
  if (!fitsInt64(scaled)) {
    throw Exception(std::string("Значение не может быть денежной суммой: "_w1251) +
                    doubleText(value));
  }
  return Currency::fromRaw(static_cast<std::int64_t>(scaled));
}

double toDouble(Currency amount) {
  return static_cast<double>(static_cast<long double>(amount.raw) / kCurrencyScale);
}

std::uint32_t EncodeMoney(Currency amount) {
  // raw / 100 rounded half to even, in integers: the same result as the extended-precision
  // quotient for every amount that fits, since a tie is exactly representable either way.
  std::int64_t hundredths = amount.raw / 100;
  const std::int64_t rest = amount.raw % 100;
  if (rest > 50 || (rest == 50 && (hundredths & 1) != 0)) ++hundredths;
  if (amount.raw < 0 || hundredths > static_cast<std::int64_t>(kMaxWireHundredths)) {
    throw Exception(std::string("Сумма вне допустимого диапазона: "_w1251) + currencyText(amount) +
                    std::string(" (допустимо от 0 до 167772,15)"_w1251));
  }
  return (static_cast<std::uint32_t>(hundredths) << 8) | 0xFEu;
}

Currency DecodeMoney(std::uint32_t wire) {
  const auto exponent = static_cast<std::int8_t>(wire & 0xFFu);
  const std::uint32_t mantissa = wire >> 8;
  const long double value = static_cast<long double>(mantissa) * powerOfTen(exponent);
  const long double scaled = roundHalfEven(value * kCurrencyScale);
  if (!fitsInt64(scaled)) {
    throw Exception(std::string("Сумма от терминала вне допустимого диапазона: мантисса "_w1251) +
                    std::to_string(mantissa) + std::string(", порядок "_w1251) +
                    std::to_string(exponent));
  }
  return Currency::fromRaw(static_cast<std::int64_t>(scaled));
}

std::array<std::uint8_t, 6> PackDateTime(double oleDate) {
  // The split gives no fields (month 0) for NaN, infinities and dates outside the years
  // 1..9999. The year byte carries 2000..2255 only: any other year would arrive as a
  // different date, so it is refused like a date that cannot be split.
  const platform::DateTimeParts parts = platform::decodeOle(oleDate);
  if (parts.month == 0 || parts.year < kFirstWireYear || parts.year > kFirstWireYear + 255) {
    throw Exception(std::string("Неверная дата: "_w1251) + doubleText(oleDate));
  }
  return {static_cast<std::uint8_t>(parts.year - kFirstWireYear),
          static_cast<std::uint8_t>(parts.month),
          static_cast<std::uint8_t>(parts.day),
          static_cast<std::uint8_t>(parts.hour),
          static_cast<std::uint8_t>(parts.minute),
          static_cast<std::uint8_t>(parts.second)};
}

std::string BcdToDigits(std::uint8_t b) {
  return {static_cast<char>('0' + (b >> 4)), static_cast<char>('0' + (b & 0x0F))};
}

std::string currencyText(Currency amount) {
  // Magnitude as unsigned so that the most negative value has one too.
  const bool negative = amount.raw < 0;
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(amount.raw)
                                           : static_cast<std::uint64_t>(amount.raw);
  std::string fraction = std::to_string(magnitude % kCurrencyScale);
  fraction.insert(0, 4 - fraction.size(), '0');
  while (fraction.size() > 2 && fraction.back() == '0') fraction.pop_back();
  std::string text = negative ? "-" : "";
  text.append(std::to_string(magnitude / kCurrencyScale)).append(",").append(fraction);
  return text;
}

}  // namespace vexcard::link
