// The host's view of a driver: the object GeTDriver returns and the operation table its
// first word points at (vexcard/host_interface.h gives the rules).
//
// Layout. A TSmartDriver is a C++ object whose first word is the compiler's own table
// pointer, which the host must never see. So the host gets a small object of its own,
// HostDriverObject: its first word points at slot 0 of the one constant HostVTable of the
// library (the destructor at index -1), its second is the driver. The table's slot
// functions take that object, hold the by-value arguments as the host convention asks
// (strings and variants referenced at entry and released at exit, open arrays copied) and
// call the driver's virtual operation of the same slot. The operations that forward to
// others (BonusSale, BonusSale2, CardQuantity) call the driver's own operation, never the
// table's slot: one host-boundary wrapper inside another would hand the inner one's error
// to the host while the outer operation's frames are still live.
//
// Thread-safety: the table is constant. A host object may be used as the driver it wraps
// (host_interface.h rule 10); it is freed by the destructor slot alone.
#pragma once

#include <memory>

#include "driver/smart_driver.h"
#include "vexcard/host_interface.h"

namespace vexcard::library {

struct HostDriverObject {
  HostObject host;  // first: the word the host reads the table from
  driver::TSmartDriver* driver;
};

// The library's operation table, destructor word first.
const HostVTable& hostTable() noexcept;

// Hands a driver to the host: wraps it in a new host object (which owns it from then on).
// Never returns null; throws std::bad_alloc, in
// which case the driver is destroyed.
HostObject* wrapDriver(std::unique_ptr<driver::TSmartDriver> driver);

// The driver behind a host object made by wrapDriver.
driver::TSmartDriver& driverOf(HostObject* object) noexcept;

}  // namespace vexcard::library
