// TSmartDriver: construction and destruction. Everything of the link (the port, the
// settings store, keep-alive polling) is built and released by TTerminalLink.
#include "driver/smart_driver.h"

namespace vexcard::driver {

TSmartDriver::TSmartDriver(std::uint8_t port) : link::TTerminalLink(port) {}

// The port's event thread and the keep-alive poller call into the link: they are stopped
// while this object is whole, before its destruction reaches the link.
TSmartDriver::~TSmartDriver() { shutDown(); }

}  // namespace vexcard::driver
