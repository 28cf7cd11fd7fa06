// Opening a serial device by its platform path, for the vexcard-terminal program: a POSIX
// terminal device ("/dev/ttyUSB0", a pseudo-terminal) or a Windows COM device ("COM3",
// "\\.\COM12").
#pragma once

#include <memory>
#include <string>

#include "comport/serial_device.h"

namespace vexcard::sim {

// Opens path exclusively; nullptr when it cannot be opened.
std::unique_ptr<comport::SerialDevice> openDevicePath(const std::string& path);

// Whether path (after following links) is a pseudo-terminal, which carries data but no
// modem lines (RTS, DTR, CTS): the driver's hand-shake cannot work over one.
bool isPseudoTerminal(const std::string& path);

}  // namespace vexcard::sim
