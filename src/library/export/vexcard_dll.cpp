// The library's one export: GeTDriver(port), stdcall, under its undecorated name
// (src/library/export/VexCard.def on Windows).
#include <cstdint>

#include "driver/driver_factory.h"
#include "library/host_boundary.h"
#include "library/host_table.h"
#include "vexcard/host_interface.h"

// Creates the driver for COM `port` and hands it to the host. Construction errors (the
// port's "Port COM0 not open", "Can't open COM%d", ...) leave with nothing left behind,
// in the form the host can catch (vexcard/host_interface.h, rule 8).
extern "C" vexcard::HostObject* VEXCARD_STDCALL GeTDriver(std::uint8_t port) {
  return vexcard::library::atHostBoundary(
      nullptr, [&] { return vexcard::library::wrapDriver(vexcard::driver::createDriver(port)); });
}
