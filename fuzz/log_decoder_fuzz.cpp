// The log reader: any log text (Windows-1251 as the driver writes it, or anything else)
// decodes without failing, into valid UTF-8, whole and line by line; and its card masking
// (which keeps the length), comparable lines, replay script and summary take it too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "logreader/card_mask.h"
#include "logreader/log_compare.h"
#include "logreader/log_decoder.h"
#include "logreader/log_summary.h"
#include "logreader/replay_script.h"

namespace {

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates, nothing
// above U+10FFFF.
bool validUtf8(std::string_view s) {
  for (std::size_t k = 0; k < s.size();) {
    const auto b = static_cast<unsigned char>(s[k]);
    std::size_t n;
    std::uint32_t cp;
    if (b < 0x80) {
      ++k;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (k + n >= s.size()) return false;
    for (std::size_t j = 1; j <= n; ++j) {
      const auto c = static_cast<unsigned char>(s[k + j]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    k += n + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzzcheck::check;
  const std::string_view log(reinterpret_cast<const char*>(data), size);
  check(validUtf8(vexcard::logreader::decodeLog(log)));

  vexcard::logreader::LogDecoder decoder;
  for (std::size_t at = 0; at <= log.size();) {
    std::size_t end = log.find('\n', at);
    if (end == std::string_view::npos) end = log.size();
    for (const std::string& line : decoder.feed(log.substr(at, end - at))) {
      check(validUtf8(line));
    }
    at = end + 1;
  }

  check(vexcard::logreader::maskCards(log).size() == log.size());
  for (const std::string& line : vexcard::logreader::comparableLines(log)) check(validUtf8(line));
  const auto script = vexcard::logreader::readReplayScript(log);
  for (const auto& e : script.exchanges) {
    (void)vexcard::logreader::compareRequest(e.request, script.exchanges.front().request);
  }
  (void)vexcard::logreader::summarizeLog(log, true);
  return 0;
}
