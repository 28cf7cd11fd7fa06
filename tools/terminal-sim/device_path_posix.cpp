#include <stdlib.h>

#include <string>

#include "comport/device_posix.h"
#include "terminal-sim/device_path.h"

namespace vexcard::sim {

std::unique_ptr<comport::SerialDevice> openDevicePath(const std::string& path) {
  return comport::openPosixSerialDevice(path);
}

bool isPseudoTerminal(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return false;
  const std::string target = real;
  ::free(real);
  return target.rfind("/dev/pts/", 0) == 0 || target == "/dev/ptmx";
}

}  // namespace vexcard::sim
