// The rfc2217:// url of a network serial port.
#include "comport/device_rfc2217.h"

namespace vexcard::comport {

bool parseRfc2217Url(std::string_view url, std::string& host, std::uint16_t& port) {
  constexpr std::string_view kScheme = "rfc2217://";
  if (url.size() <= kScheme.size()) return false;
  for (std::size_t k = 0; k < kScheme.size(); ++k) {
    const char c = url[k];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[k]) return false;
  }
  std::string_view rest = url.substr(kScheme.size());
  std::string_view name;
  if (rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return false;
    }
    name = rest.substr(1, close - 1);
    rest = rest.substr(close + 2);
  } else {
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return false;
    name = rest.substr(0, colon);
    rest = rest.substr(colon + 1);
    if (name.find_first_of("/?@ ") != std::string_view::npos) return false;
  }
  if (name.empty() || rest.empty() || rest.size() > 5) return false;
  std::uint32_t value = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  host.assign(name);
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace vexcard::comport
