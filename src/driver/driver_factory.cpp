#include "driver/driver_factory.h"

namespace vexcard::driver {

std::unique_ptr<TSmartDriver> createDriver(std::uint8_t port) {
  return std::make_unique<TSmartDriver>(port);
}

}  // namespace vexcard::driver
