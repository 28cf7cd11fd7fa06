#include "logreader/text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "vexcard/runtime.h"

namespace vexcard::logreader {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Code page 866 byte -> Windows-1251 byte, built once by inverting the driver's own
// Windows-1251 to code page 866 conversion; 0 where code page 866 has a character that
// Windows-1251 lacks (box drawing and the like).
const std::array<unsigned char, 256>& cp866To1251() {
  static const std::array<unsigned char, 256> table = [] {
    std::array<unsigned char, 256> t{};
    for (int b = 0; b < 0x80; ++b) t[static_cast<std::size_t>(b)] = static_cast<unsigned char>(b);
    for (int b = 0x80; b < 0x100; ++b) {
      const char c = static_cast<char>(b);
      const std::string oem = cp1251ToCp866(std::string_view(&c, 1));
      if (oem.size() == 1 && oem[0] != '?') {
        t[static_cast<unsigned char>(oem[0])] = static_cast<unsigned char>(b);
      }
    }
    return t;
  }();
  return table;
}

}  // namespace

std::string formatMoney(Currency amount) {
  const bool negative = amount.raw < 0;
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(amount.raw)
                                           : static_cast<std::uint64_t>(amount.raw);
  std::string fraction = std::to_string(magnitude % 10000);
  fraction.insert(0, 4 - fraction.size(), '0');
  while (fraction.size() > 2 && fraction.back() == '0') fraction.pop_back();
  std::string text = negative ? "-" : "";
  return text + std::to_string(magnitude / 10000) + "." + fraction;
}

std::string formatNumber(double value) { return formatGeneral(value, '.'); }

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kHexDigits[b >> 4];
    text += kHexDigits[b & 0x0F];
  }
  return text;
}

std::string hexString(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text += kHexDigits[b >> 4];
    text += kHexDigits[b & 0x0F];
  }
  return text;
}

std::optional<std::string> parseHexBytes(std::string_view text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      if (high >= 0) return std::nullopt;  // a separator inside a byte
      continue;
    }
    const int v = hexValue(c);
    if (v < 0) return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out += static_cast<char>(high * 16 + v);
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

std::string oleDateText(double ole) {
  const platform::DateTimeParts p = platform::decodeOle(ole);
  if (p.year == 0) return "-";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                p.minute, p.second);
  return buf;
}

std::string wireDateText(std::span<const std::uint8_t, 6> d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + d[0], d[1], d[2], d[3],
                d[4], d[5]);
  return buf;
}

std::string utf8(std::string_view cp1251) { return cp1251ToUtf8(cp1251); }

std::string cp866ToUtf8(std::string_view cp866) {
  const auto& table = cp866To1251();
  std::string ansi;
  for (char c : cp866) {
    if (c == '\0') break;
    const unsigned char mapped = table[static_cast<unsigned char>(c)];
    ansi += mapped == 0 ? '?' : static_cast<char>(mapped);
  }
  return cp1251ToUtf8(ansi);
}

std::optional<double> parseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 40) return std::nullopt;
  std::string s(text);
  bool seenPoint = false, seenDigit = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char& c = s[i];
    if (c == ',') c = '.';
    if (c >= '0' && c <= '9') {
      seenDigit = true;
    } else if (c == '.' && !seenPoint) {
      seenPoint = true;
    } else if (!(c == '-' && i == 0)) {
      return std::nullopt;
    }
  }
  if (!seenDigit) return std::nullopt;
  double value = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), value);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint64_t> parseUnsigned(std::string_view text, std::uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || value > max) {
    return std::nullopt;
  }
  return value;
}

}  // namespace vexcard::logreader
