#include "logreader/log_file.h"

namespace vexcard::logreader {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<int> digitsAt(std::string_view text, std::size_t at, std::size_t n) {
  if (at + n > text.size()) return std::nullopt;
  int v = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const char c = text[at + k];
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

std::vector<std::string_view> splitLines(std::string_view log) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string_view::npos) end = log.size();
    std::string_view line = log.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::optional<PortLine> findPortLine(std::string_view line) {
  std::size_t at = 0;
  while ((at = line.find("[COM", at)) != std::string_view::npos) {
    std::size_t i = at + 4;
    unsigned port = 0;
    const std::size_t digitsFrom = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9' && i - digitsFrom < 5) {
      port = port * 10 + static_cast<unsigned>(line[i] - '0');
      ++i;
    }
    if (i > digitsFrom && line.substr(i, 4) == "]:  ") return PortLine{port, line.substr(i + 4)};
    at += 4;
  }
  return std::nullopt;
}

std::optional<LogLine> parseLogLine(std::string_view line) {
  // "+ " then "dd.mm hh:mm:ss" and the milliseconds after a full stop.
  if (line.size() < 16 || line[1] != ' ') return std::nullopt;
  const std::string_view s = line.substr(2);
  const auto day = digitsAt(s, 0, 2), month = digitsAt(s, 3, 2), hour = digitsAt(s, 6, 2),
             minute = digitsAt(s, 9, 2), second = digitsAt(s, 12, 2);
  if (!day || !month || !hour || !minute || !second || s[2] != '.' || s[5] != ' ' || s[8] != ':' ||
      s[11] != ':') {
    return std::nullopt;
  }
  LogLine out;
  out.type = line[0];
  out.ms = ((((*month * 31.0 + *day) * 24 + *hour) * 60 + *minute) * 60 + *second) * 1000;
  std::size_t length = 14;
  if (length < s.size() && s[length] == '.') {
    double scale = 100;
    for (++length; length < s.size() && s[length] >= '0' && s[length] <= '9'; ++length) {
      out.ms += (s[length] - '0') * scale;
      scale /= 10;
    }
  }
  out.stamp = s.substr(0, length);
  std::string_view text = s.substr(length);
  if (!text.empty() && text[0] == ' ') text.remove_prefix(1);
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find("] ");
    if (close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  out.text = text;
  out.port = findPortLine(text);
  return out;
}

std::optional<std::vector<std::uint8_t>> dumpBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || hexValue(text[i]) < 0 || hexValue(text[i + 1]) < 0 ||
        (i + 2 < text.size() && text[i + 2] != ' ')) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(hexValue(text[i]) * 16 + hexValue(text[i + 1])));
    i += 2;
  }
  return bytes;
}

std::size_t trailingDumpStart(std::string_view text) {
  std::size_t n = text.size();
  while (n >= 3 && text[n - 3] == ' ' && hexValue(text[n - 2]) >= 0 && hexValue(text[n - 1]) >= 0) {
    n -= 3;
  }
  return n;
}

std::string dumpText(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::uint8_t b : bytes) {
    out += ' ';
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace vexcard::logreader
