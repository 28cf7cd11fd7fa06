// The POSIX serial device: a termios terminal device (a serial port, a USB serial adapter
// or a pseudo-terminal), see device_posix.cpp.
#pragma once

#include <memory>
#include <string>

#include "comport/serial_device.h"

namespace vexcard::comport {

// Opens path exclusively (TIOCEXCL and an exclusive flock) in raw mode. nullptr when it
// cannot be opened, is not a terminal, or is held by another opener.
std::unique_ptr<SerialDevice> openPosixSerialDevice(const std::string& path);

}  // namespace vexcard::comport
