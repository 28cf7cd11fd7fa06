// Value encodings between the host's values and the terminal's byte forms: currency
// conversions, the 4-byte wire money value, the 6-byte date and BCD digits.
//
// Pure functions, thread-safe. Errors are vexcard::Exception with a Windows-1251 message;
// nothing is half-built when one is thrown.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "vexcard/currency.h"

namespace vexcard::link {

// The largest amount a wire money value can carry, in hundredths (167 772.15).
inline constexpr std::uint32_t kMaxWireHundredths = 0xFFFFFF;

// A double from the host to currency: × 10 000 in extended precision, rounded to the
// nearest integer, ties to even. NaN, infinities and values outside the 64-bit range
// throw.
Currency currencyFromDouble(double value);

// Currency to a double for the host: the stored integer / 10 000.
double toDouble(Currency amount);

// An amount as a wire money value: exponent -2 (0xFE) in the low byte, the count of
// hundredths (rounded, ties to even) in the upper 24 bits; on the wire FE, low, middle,
// high byte. Amounts below zero or of 167 772.16 and above do not fit the 24-bit
// mantissa and throw, so that no wrapped amount ever reaches the terminal.
std::uint32_t EncodeMoney(Currency amount);

// A wire money value from the terminal (any exponent) to currency: mantissa × 10^e
// rounded to four decimals, ties to even, in extended precision. A value beyond the
// 64-bit currency range (only possible for exponents above 7) throws.
Currency DecodeMoney(std::uint32_t wire);

// An OLE date-time to the 6-byte date: year - 2000, month, day, hour, minute, second;
// milliseconds are dropped. NaN, infinities and dates outside the years 2000..2255 (which
// the year byte cannot carry) throw "Неверная дата: ...".
std::array<std::uint8_t, 6> PackDateTime(double oleDate);

// One BCD byte as two characters "0" + high nibble, "0" + low nibble. No digit check:
// nibbles 10..15 give ":" ";" "<" "=" ">" "?".
std::string BcdToDigits(std::uint8_t b);

// An amount as text for messages: decimal comma, two to four decimals ("167772,16").
std::string currencyText(Currency amount);

}  // namespace vexcard::link
