// The per-port device mapping: which device COM n stands for on this platform.
//
// In-process overrides (an Env's device map, the built-in simulator) come first.
// Otherwise, on POSIX, the environment variable VEXCARD_COM<n> names a device path or
// rfc2217://HOST:PORT; without it COM n is the platform default (see device_map_posix.cpp).
// On Windows COM n is "\\.\COM<n>" unless VEXCARD_COM<n> says rfc2217://HOST:PORT.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "comport/serial_device.h"

namespace vexcard::comport {

using DeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

// Opens COM port n exclusively. nullptr when it cannot be opened (missing, busy, no
// access); the port then raises its "Can't open COM%d" error. Why it failed is left for
// openFailure().
std::unique_ptr<SerialDevice> openSerialDevice(unsigned port);

// Why the latest openSerialDevice on the calling thread found no device: the device path
// (or url), a colon and the system's error text. Empty after a success, and when nothing
// told why (an override's factory).
std::string openFailure();
// Records the reason for openFailure(); the platform's openers call it when they fail.
void setOpenFailure(std::string reason);

// Makes COM n open through factory (nullptr from the factory = cannot open). An empty
// factory removes the override. Thread-safe. The built-in simulator of the tools uses it;
// tests map their ports through vexcard::Env (driver/env.h).
void setDeviceOverride(unsigned port, DeviceFactory factory);

// Replaces every override by those of overrides (an empty factory in it counts as none).
// Thread-safe. vexcard::installEnv (driver/env.h) calls it with the Env's device map.
void setDeviceOverrides(const std::map<unsigned, DeviceFactory>& overrides);

}  // namespace vexcard::comport
