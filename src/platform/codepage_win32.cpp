// ANSI to OEM on Windows: the system's own conversion, which on the Russian-language
// systems the product table is written for turns Windows-1251 into code page 866.
#include <windows.h>

#include <algorithm>
#include <limits>
#include <string>

#include "platform/codepage.h"

namespace vexcard {

std::string ansiToOem(std::string_view cp1251) {
  std::string out(cp1251);
  // CharToOemBuffA converts in place, byte for byte; a text too long for one call is
  // converted in pieces.
  constexpr std::size_t kChunk = std::numeric_limits<DWORD>::max() / 2;
  for (std::size_t at = 0; at < out.size(); at += kChunk) {
    const auto n = static_cast<DWORD>(std::min(kChunk, out.size() - at));
    ::CharToOemBuffA(out.data() + at, out.data() + at, n);
  }
  return out;
}

}  // namespace vexcard
