#include "comport/device_win32.h"
#include "terminal-sim/device_path.h"

namespace vexcard::sim {

std::unique_ptr<comport::SerialDevice> openDevicePath(const std::string& path) {
  // "COM12" is reachable only as "\\.\COM12"; a full device path is taken as it is.
  if (path.rfind("\\\\.\\", 0) == 0) return comport::openWin32SerialDevice(path);
  return comport::openWin32SerialDevice("\\\\.\\" + path);
}

bool isPseudoTerminal(const std::string&) { return false; }  // Windows has none

}  // namespace vexcard::sim
