// LineProbe: the driver's side of a serial line, reduced to what the simulator's tests need.
// It runs a thread on any SerialDevice end that waits for receive and CTS events, collects
// the bytes and follows CTS; the test thread raises RTS, writes and waits (bounded) for
// what it expects. Thread-safe: mutex_ guards the collected bytes and the CTS level; the
// probe thread and drain() read the device under it, so bytes are never reordered.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "comport/serial_device.h"

namespace vexcard::simtest {

class LineProbe {
 public:
  using Bytes = std::vector<std::uint8_t>;

  explicit LineProbe(comport::SerialDevice& device);
  ~LineProbe();  // ends the thread through setEventMask(0)
  LineProbe(const LineProbe&) = delete;
  LineProbe& operator=(const LineProbe&) = delete;

  void setRts(bool on) { device_.setRts(on); }
  void write(const Bytes& bytes);

  bool cts();
  // Waits until CTS is at level, as last seen by the probe thread, and at least minEvents
  // CTS events have been seen in all (a way to wait for a change, not a cached level).
  bool waitForCts(bool level, std::uint32_t timeoutMs, std::uint64_t minEvents = 0);
  std::uint64_t ctsEvents();
  // Waits until `last` has arrived and takes everything up to and including it.
  std::optional<Bytes> readThrough(std::uint8_t last, std::uint32_t timeoutMs);
  // Takes what the device holds now, without waiting: the bytes of every write that has
  // completed on the far end.
  Bytes drain();

 private:
  void run();
  void pullLocked();  // caller holds mutex_

  comport::SerialDevice& device_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Bytes rx_;
  bool cts_ = false;
  std::uint64_t ctsEvents_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vexcard::simtest
