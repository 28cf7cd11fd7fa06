// Creates the driver for a COM port: the C++ form of the library's GeTDriver entry, for
// tests and tools that link the driver directly.
#pragma once

#include <cstdint>
#include <memory>

#include "driver/smart_driver.h"

namespace vexcard::driver {

// A new driver on COM `port`, opened and polling. Throws what construction throws
// ("Port COM0 not open" for port 0, "Can't open COM%d", ...), leaving nothing behind.
std::unique_ptr<TSmartDriver> createDriver(std::uint8_t port);

}  // namespace vexcard::driver
