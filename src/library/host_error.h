// An error as a host without our C++ runtime learns of it (vexcard/host_interface.h,
// rule 8b): its class, its serial kind, the operation's Status, the money outcome and the
// message, the latter copied into a buffer of the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vexcard/host_interface.h"

namespace vexcard::library {

struct HostError {
  HostErrorClass errorClass = HostErrorClass::kGeneral;
  SerialErrorKind serialKind = SerialErrorKind::kNotSerial;
  std::uint32_t status = 0xFF;
  const char* message = "";  // the calling thread's buffer, NUL-terminated
  std::size_t length = 0;
  MoneyOutcome outcome = MoneyOutcome::kNone;  // kNone for errors that are not vexcard's
  LineFault lineFault = LineFault::kNone;      // kNone but for the exchange error
};

// Describes the exception being handled; call it only inside a catch block. `status` is
// the operation's result record (its first byte is Status) or null for operations without
// one. Copies the message, cut to kHostMessageCapacity - 1 bytes, into the calling
// thread's buffer, which the next call on the same thread overwrites. Allocates nothing.
HostError describeCurrentError(const std::uint8_t* status) noexcept;

}  // namespace vexcard::library
