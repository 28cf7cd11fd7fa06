// The virtual serial line: an in-process null-modem cable with two ends.
//
// Bytes written on one end arrive in the other end's receive queue (with a receive-char
// event there). RTS of one end is CTS of the other; DTR of one end is DSR and carrier
// (RLSD) of the other; each change raises the matching modem-status event on the far end.
// Events follow the Win32 rules the port expects: an end records the events of its current
// mask while no wait is pending, and a wait then completes at once with them; otherwise
// the wait pends until an event comes (or the mask changes: the pending wait completes
// with the mask 0). Receive queues are unbounded: the line never loses a byte. Bytes
// written while the far end is not open are dropped, like on a cable to a closed port.
// Closing an end drops its RTS and DTR.
//
// Each end is handed to one opener at a time (an exclusive device); when that device is
// destroyed the end can be opened again. The pair stays alive while its handle or an open
// end exists. Every member is thread-safe; all waits block on one condition variable.
//
// Fault switches, per end: refuse the device-specific event bit (a wait fails with
// kInvalidParameter while the mask holds 0x2000), vanish (waits end with kResultFailed,
// writes fail, reads return 0, every other call fails), stall writes (a write blocks until
// released, cancelled or the device write time-out has passed; on the time-out the bytes
// are lost and the write counts as done, as a timed-out Win32 write does).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "comport/device_map.h"
#include "comport/serial_device.h"

namespace vexcard::comport {

struct VirtualLineOptions {
  // Each byte takes 10 bit times at the writing end's baud rate to cross the line; the
  // write returns when its last byte has arrived.
  bool paced = false;
};

// The time `characters` characters of 10 bits take on a line of baudRate (not 0), counted
// from the first character's start bit: a paced write delivers its k-th byte at
// characterTime(baud, k) after it began, so that long writes do not drift from the line rate
// (at 9600 baud a character takes 1041.67 microseconds).
std::chrono::nanoseconds characterTime(std::uint32_t baudRate, std::uint64_t characters);

class VirtualSerialPair {
 public:
  struct State;
  explicit VirtualSerialPair(const VirtualLineOptions& options);
  ~VirtualSerialPair();
  VirtualSerialPair(const VirtualSerialPair&) = delete;
  VirtualSerialPair& operator=(const VirtualSerialPair&) = delete;

  // Opens end 0 or 1; nullptr while that end is open elsewhere.
  std::unique_ptr<SerialDevice> open(int end);
  // A factory opening end (for a device map). It keeps the pair alive.
  DeviceFactory factory(int end);

  // Fault switches of an end.
  void refuseDeviceSpecificEvent(int end, bool on);
  void vanish(int end, bool on = true);  // a vanished end cannot be opened either
  void stallWrites(int end, bool on);    // off lets blocked writes go through

  // Raises line errors (Win32 CE_* bits, reported by clearError) with the given events.
  void injectLineError(int end, std::uint32_t errorBits, std::uint32_t events);

  // Test synchronisation; each returns false when the condition did not come about within
  // a generous bound (a hang guard, not a timing assertion).
  // An event wait of end is pending with nothing left to report: everything that reached
  // the end so far has been taken by its waiter.
  bool waitUntilIdle(int end);
  // A write of end is blocked by the stall switch.
  bool waitForBlockedWrite(int end);
  // end has been closed (its device destroyed) since it was last opened.
  bool waitUntilClosed(int end);

  // Bytes waiting in end's receive queue.
  std::size_t pendingInput(int end);

 private:
  std::shared_ptr<State> state_;
};

std::shared_ptr<VirtualSerialPair> NewVirtualSerialPair(const VirtualLineOptions& options = {});

}  // namespace vexcard::comport
