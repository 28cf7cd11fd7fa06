// The rfc2217:// url of a network serial port.
#include "comport/device_rfc2217.h"

namespace vexcard::comport {
namespace {

bool alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A host name or IPv4 address: letters, digits, '.', '-' and '_'.
bool plainHost(std::string_view name) {
  for (char c : name) {
    if (!alnum(c) && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

// An IPv6 address, with a zone after '%' (fe80::1%eth0): it holds a ':', and nothing but
// hex digits, ':' and '.' before the zone, letters, digits, '.', '-' and '_' in it.
bool ipv6Host(std::string_view name) {
  const std::size_t zone = name.find('%');
  const std::string_view address = name.substr(0, zone);
  if (address.find(':') == std::string_view::npos) return false;
  for (char c : address) {
    if (!alnum(c) && c != ':' && c != '.') return false;
    if (alnum(c) && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return zone == std::string_view::npos ||
         (zone + 1 < name.size() && plainHost(name.substr(zone + 1)));
}

}  // namespace

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
    if (!ipv6Host(name)) return false;
  } else {
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return false;
    name = rest.substr(0, colon);
    rest = rest.substr(colon + 1);
    if (!plainHost(name)) return false;
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
