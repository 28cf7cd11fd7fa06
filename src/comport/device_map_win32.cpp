// The per-port device mapping on Windows.
//
// COM n opens, in this order: the in-process override for n; the network serial port
// named by the environment variable VEXCARD_COM<n> when it holds rfc2217://HOST:PORT; the
// device "\\.\COM<n>". Any other value of VEXCARD_COM<n> is ignored. COM0 has no device
// and never opens unless an override maps it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "comport/device_map_platform.h"
#include "comport/device_win32.h"

#if __has_include("comport/device_rfc2217.h")
#include "comport/device_rfc2217.h"
#define VEXCARD_HAVE_RFC2217 1
#endif

namespace vexcard::comport {

namespace {

// The value of VEXCARD_COM<n> from the process's environment (as the host may have set
// it with SetEnvironmentVariable); empty when it is not set.
std::string configuredTarget(unsigned port) {
  char name[32];
  std::snprintf(name, sizeof name, "VEXCARD_COM%u", port);
  char value[512];
  const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

bool isNetworkTarget(std::string_view target) {
  constexpr std::string_view kScheme = "rfc2217://";
  if (target.size() < kScheme.size()) return false;
  for (std::size_t k = 0; k < kScheme.size(); ++k) {
    if ((target[k] | 0x20) != kScheme[k]) return false;  // the scheme is ASCII letters
  }
  return true;
}

std::unique_ptr<SerialDevice> openNetworkDevice(const std::string& url) {
#ifdef VEXCARD_HAVE_RFC2217
  return openRfc2217Device(url);
#else
  (void)url;
  return nullptr;  // no network serial port in this build: the port cannot be opened
#endif
}

}  // namespace

std::unique_ptr<SerialDevice> openPlatformDevice(unsigned port) {
  if (const std::string target = configuredTarget(port); isNetworkTarget(target)) {
    return openNetworkDevice(target);
  }
  char path[32];
  std::snprintf(path, sizeof path, "\\\\.\\COM%u", port);
  return openWin32SerialDevice(path);
}

}  // namespace vexcard::comport
