// Code pages.
//
// Texts of the system are written in the source as readable UTF-8 and turned into
// Windows-1251 bytes at compile time with the _w1251 literal:
//
//   constexpr std::string_view kText = "Норма"_w1251;
//
// A character that Windows-1251 cannot hold stops the compilation. At run time the
// driver converts Windows-1251 product names to code page 866 (the OEM code page of
// the Russian-language systems the product table is written for) and Windows-1251 texts
// to UTF-8 for display.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexcard {

namespace codepage_detail {

// Unicode code points of Windows-1251 bytes 0x80..0xBF (0 = unassigned).
inline constexpr char32_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

// Decodes one UTF-8 sequence at s[i], advancing i. Returns 0xFFFFFFFF on a malformed one.
constexpr char32_t decodeUtf8(const char* s, std::size_t n, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra = (b0 & 0xE0) == 0xC0 ? 1 : (b0 & 0xF0) == 0xE0 ? 2 : (b0 & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0 || i + static_cast<std::size_t>(extra) >= n) return 0xFFFFFFFF;
  char32_t cp = b0 & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0xFFFFFFFF;
    cp = (cp << 6) | (b & 0x3F);
  }
  i += static_cast<std::size_t>(extra) + 1;
  return cp;
}

// The Windows-1251 byte of a code point; -1 when it has none.
constexpr int cp1251Byte(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(cp - 0x0410 + 0xC0);
  for (int k = 0; k < 64; ++k) {
    if (kCp1251High[k] != 0 && kCp1251High[k] == cp) return 0x80 + k;
  }
  return -1;
}

template <std::size_t N>
struct Utf8Literal {
  char text[N]{};
  consteval Utf8Literal(const char (&s)[N]) {  // NOLINT: implicit by design
    for (std::size_t k = 0; k < N; ++k) text[k] = s[k];
  }
  consteval std::size_t cp1251Length() const {
    std::size_t count = 0;
    for (std::size_t i = 0; i + 1 < N;) {
      if (decodeUtf8(text, N - 1, i) == 0xFFFFFFFF) throw "malformed UTF-8 in a text literal";
      ++count;
    }
    return count;
  }
};

template <Utf8Literal S>
consteval auto toCp1251() {
  std::array<char, S.cp1251Length() + 1> out{};
  std::size_t o = 0;
  for (std::size_t i = 0; i + 1 < sizeof(S.text);) {
    const int b = cp1251Byte(decodeUtf8(S.text, sizeof(S.text) - 1, i));
    if (b < 0) throw "a text literal holds a character that Windows-1251 cannot represent";
    out[o++] = static_cast<char>(static_cast<unsigned char>(b));
  }
  out[o] = '\0';
  return out;
}

template <Utf8Literal S>
inline constexpr auto kCp1251Storage = toCp1251<S>();

}  // namespace codepage_detail

inline namespace literals {
// "Текст"_w1251: the Windows-1251 bytes of a UTF-8 literal, computed at compile time,
// as a string_view over static storage (NUL-terminated).
template <codepage_detail::Utf8Literal S>
constexpr std::string_view operator""_w1251() {
  return std::string_view(codepage_detail::kCp1251Storage<S>.data(),
                          codepage_detail::kCp1251Storage<S>.size() - 1);
}
}  // namespace literals

// Windows-1251 to UTF-8, for display (the command-line tool, test messages). Never fails;
// the one unassigned byte 0x98 becomes U+FFFD.
std::string cp1251ToUtf8(std::string_view cp1251);

// UTF-8 to Windows-1251, for texts typed by a user. Characters without a Windows-1251
// form become '?'.
std::string utf8ToCp1251(std::string_view utf8);

// Windows-1251 to code page 866. Characters without a code page 866 form become '?'.
std::string cp1251ToCp866(std::string_view cp1251);

// The platform's ANSI-to-OEM conversion of a product name. On POSIX it is cp1251ToCp866;
// on Windows the system's own conversion (which gives the same bytes on the
// Russian-language systems the product table is written for).
std::string ansiToOem(std::string_view cp1251);

}  // namespace vexcard
