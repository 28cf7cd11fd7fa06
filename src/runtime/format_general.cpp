// The general number format of log lines (rules in runtime.h).
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "vexcard/runtime.h"

namespace vexcard {
namespace {

constexpr int kDigits = 15;
constexpr int kLowestFixedExponent = -5;   // 0.00001
constexpr int kHighestFixedExponent = 14;  // 15 integer digits

}  // namespace

std::string formatGeneral(double value, char decimalSeparator) {
  // Exact: every double is a long double, and the digits are rounded from the exact value.
  return formatGeneral(static_cast<long double>(value), decimalSeparator);
}

std::string formatGeneral(long double value, char decimalSeparator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";  // negative zero too

  // Round to 15 significant digits: "d.dddddddddddddde±x", locale-independent.
  char buf[40];
  const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value),
                                 std::chars_format::scientific, kDigits - 1);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t ePos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, ePos)) {
    if (c != '.') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int exponent = std::atoi(std::string(sci.substr(ePos + 1)).c_str());

  std::string out;
  if (value < 0) out.push_back('-');
  const int count = static_cast<int>(digits.size());
  if (exponent < kLowestFixedExponent || exponent > kHighestFixedExponent) {
    out.push_back(digits[0]);
    if (count > 1) {
      out.push_back(decimalSeparator);
      out.append(digits, 1, std::string::npos);
    }
    out.push_back('E');
    out += std::to_string(exponent);
  } else if (exponent < 0) {
    out.push_back('0');
    out.push_back(decimalSeparator);
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    const int intDigits = exponent + 1;
    if (count <= intDigits) {
      out += digits;
      out.append(static_cast<std::size_t>(intDigits - count), '0');
    } else {
      out.append(digits, 0, static_cast<std::size_t>(intDigits));
      out.push_back(decimalSeparator);
      out.append(digits, static_cast<std::size_t>(intDigits), std::string::npos);
    }
  }
  return out;
}

}  // namespace vexcard
