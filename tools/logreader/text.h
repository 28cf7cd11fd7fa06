// Text helpers of the log reader and the tools: amounts, hex, dates, code pages.
//
// Everything here is pure and thread-safe. Results are UTF-8 (or ASCII).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "vexcard/currency.h"

namespace vexcard::logreader {

// An amount with a full stop, at least two and at most four decimals: "18.50", "0.0123".
std::string formatMoney(Currency amount);

// A double as text: up to 15 significant digits, trailing zeros dropped ("351.5", "5",
// "17.58"); the general number format of the driver's log lines, with a full stop.
std::string formatNumber(double value);

// Upper-case hex bytes separated by blanks: "60 02 06".
std::string hexBytes(std::span<const std::uint8_t> bytes);

// Upper-case hex bytes without separators: "600206".
std::string hexString(std::span<const std::uint8_t> bytes);

// Parses hex digits into bytes; blanks, colons and dashes between bytes are allowed.
// Empty optional when a character is not a hex digit or a byte is left half.
std::optional<std::string> parseHexBytes(std::string_view text);

// An OLE date-time as "YYYY-MM-DD HH:MM:SS"; "-" for values outside the calendar.
std::string oleDateText(double ole);

// The 6-byte terminal date (year - 2000, month, day, hour, minute, second) as
// "YYYY-MM-DD HH:MM:SS".
std::string wireDateText(std::span<const std::uint8_t, 6> date);

// Windows-1251 to UTF-8 (for the driver's texts).
std::string utf8(std::string_view cp1251);

// Code page 866 (product names as they go to the terminal) to UTF-8. NUL bytes end the
// text, as in the 12-byte name field of a request.
std::string cp866ToUtf8(std::string_view cp866);

// Parses a decimal number with a full stop or a comma ("18.5", "370", "0,25"). Empty
// optional for anything else (signs other than a leading minus, exponents, blanks).
std::optional<double> parseDecimal(std::string_view text);

// Parses an unsigned integer, decimal or hexadecimal after "0x", not above max.
std::optional<std::uint64_t> parseUnsigned(std::string_view text, std::uint64_t max);

}  // namespace vexcard::logreader
