// The per-port device mapping on POSIX.
//
// COM n opens, in this order: the in-process override for n; the device named by the
// environment variable VEXCARD_COM<n> (a device path, or rfc2217://HOST:PORT for a
// network serial port); the default /dev/ttyS<n-1> (COM1 is /dev/ttyS0,
// the first serial port, as Windows numbers them from 1 and Linux from 0). COM0 has no
// default device and never opens unless an override maps it. An empty VEXCARD_COM<n>
// counts as unset.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "comport/device_map_platform.h"
#include "comport/device_posix.h"
#include "comport/device_rfc2217.h"

namespace vexcard::comport {

std::unique_ptr<SerialDevice> openPlatformDevice(unsigned port) {
  char name[32];
  std::snprintf(name, sizeof name, "VEXCARD_COM%u", port);
  if (const char* configured = std::getenv(name); configured != nullptr && *configured != 0) {
    const std::string target(configured);
    // rfc2217://HOST:PORT is a network serial port; anything else is a device path.
    if (target.rfind("rfc2217://", 0) == 0) return openRfc2217Device(target);
    return openPosixSerialDevice(target);
  }
  char path[32];
  std::snprintf(path, sizeof path, "/dev/ttyS%u", port - 1);
  return openPosixSerialDevice(path);
}

}  // namespace vexcard::comport
