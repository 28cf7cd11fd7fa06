// The per-port device mapping: which device COM n stands for on this platform.
//
// In-process overrides (tests, the built-in simulator) come first. Otherwise, on POSIX,
// the environment variable VEXCARD_COM<n> names a device path or rfc2217://HOST:PORT;
// without it COM n is the platform default (see device_map_posix.cpp). On Windows COM n
// is "\\.\COM<n>" unless VEXCARD_COM<n> says rfc2217://HOST:PORT.
#pragma once

#include <functional>
#include <memory>

#include "comport/serial_device.h"

namespace vexcard::comport {

using DeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

// Opens COM port n exclusively. nullptr when it cannot be opened (missing, busy, no
// access); the port then raises its "Can't open COM%d" error.
std::unique_ptr<SerialDevice> openSerialDevice(unsigned port);

// Makes COM n open through factory (nullptr from the factory = cannot open). An empty
// factory removes the override. Thread-safe.
void setDeviceOverride(unsigned port, DeviceFactory factory);

}  // namespace vexcard::comport
