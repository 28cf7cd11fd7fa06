// The platform's half of the per-port mapping: what COM n (n > 0) stands for when no
// in-process override maps it. device_map.cpp consults the overrides first.
#pragma once

#include <memory>

#include "comport/device_map.h"

namespace vexcard::comport {

std::unique_ptr<SerialDevice> openPlatformDevice(unsigned port);

}  // namespace vexcard::comport
