#include "platform/codepage.h"

namespace vexcard {
namespace {

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t cp1251CodePoint(unsigned char b) {
  if (b < 0x80) return b;
  if (b >= 0xC0) return 0x0410 + (b - 0xC0);
  const char32_t cp = codepage_detail::kCp1251High[b - 0x80];
  return cp == 0 ? 0xFFFD : cp;
}

// Code page 866 byte of a code point; '?' when it has none. Covers what Windows-1251 text
// can hold and code page 866 can show: ASCII, the Russian alphabet, Ё/ё, Є/є, Ї/ї, Ў/ў,
// the degree sign, the middle dot, No. sign, currency sign and non-breaking space.
unsigned char cp866Byte(char32_t cp) {
  if (cp < 0x80) return static_cast<unsigned char>(cp);
  if (cp >= 0x0410 && cp <= 0x043F) return static_cast<unsigned char>(0x80 + (cp - 0x0410));
  if (cp >= 0x0440 && cp <= 0x044F) return static_cast<unsigned char>(0xE0 + (cp - 0x0440));
  switch (cp) {
    case 0x0401: return 0xF0;  // Ё
    case 0x0451: return 0xF1;  // ё
    case 0x0404: return 0xF2;  // Є
    case 0x0454: return 0xF3;  // є
    case 0x0407: return 0xF4;  // Ї
    case 0x0457: return 0xF5;  // ї
    case 0x040E: return 0xF6;  // Ў
    case 0x045E: return 0xF7;  // ў
    case 0x00B0: return 0xF8;  // °
    case 0x00B7: return 0xFA;  // ·
    case 0x2116: return 0xFC;  // №
    case 0x00A4: return 0xFD;  // ¤
    case 0x00A0: return 0xFF;  // no-break space
    default: return '?';
  }
}

}  // namespace

std::string cp1251ToUtf8(std::string_view cp1251) {
  std::string out;
  out.reserve(cp1251.size() * 2);
  for (char c : cp1251) appendUtf8(out, cp1251CodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string utf8ToCp1251(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t before = i;
    const char32_t cp = codepage_detail::decodeUtf8(utf8.data(), utf8.size(), i);
    if (cp == 0xFFFFFFFF) {
      out += '?';
      i = before + 1;
      continue;
    }
    const int b = codepage_detail::cp1251Byte(cp);
    out += b < 0 ? '?' : static_cast<char>(static_cast<unsigned char>(b));
  }
  return out;
}

std::string cp1251ToCp866(std::string_view cp1251) {
  std::string out;
  out.reserve(cp1251.size());
  for (char c : cp1251) {
    out += static_cast<char>(cp866Byte(cp1251CodePoint(static_cast<unsigned char>(c))));
  }
  return out;
}

}  // namespace vexcard
