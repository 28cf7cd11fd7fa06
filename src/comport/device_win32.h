// The Win32 serial device: a COM device opened for overlapped I/O, see device_win32.cpp.
#pragma once

#include <memory>
#include <string>

#include "comport/serial_device.h"

namespace vexcard::comport {

// Opens the device path (for example "\\.\COM1") exclusively for overlapped I/O. nullptr
// when it cannot be opened (missing, busy, no access).
std::unique_ptr<SerialDevice> openWin32SerialDevice(const std::string& path);

}  // namespace vexcard::comport
