// The rfc2217:// url of a network serial port: whatever the text, parsing either refuses
// it (leaving host and port untouched) or gives a host and a port that, written back as a
// url, parse to the same host and port.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "comport/device_rfc2217.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzzcheck::check;
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  std::string host = "untouched";
  std::uint16_t port = 7;
  if (!vexcard::comport::parseRfc2217Url(url, host, port)) {
    check(host == "untouched" && port == 7);
    return 0;
  }
  check(!host.empty() && port != 0);
  const bool v6 = host.find(':') != std::string::npos;
  const std::string again =
      "rfc2217://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  std::string host2;
  std::uint16_t port2 = 0;
  check(vexcard::comport::parseRfc2217Url(again, host2, port2));
  check(host2 == host && port2 == port);
  return 0;
}
