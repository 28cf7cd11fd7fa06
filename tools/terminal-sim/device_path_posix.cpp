#include "comport/device_posix.h"
#include "terminal-sim/device_path.h"

namespace vexcard::sim {

std::unique_ptr<comport::SerialDevice> openDevicePath(const std::string& path) {
  return comport::openPosixSerialDevice(path);
}

}  // namespace vexcard::sim
