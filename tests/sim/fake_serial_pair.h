// A pair of connected in-memory SerialDevice ends for the simulator's own tests: bytes
// written on one end arrive at the other with kEvRxChar; RTS drives the far CTS, DTR the far
// DSR and carrier, each change raising the far end's event. Events are latched until a wait
// takes them; setEventMask() ends a pending wait with mask 0, and a wait on mask 0 fails
// with kInvalidParameter, as on Win32.
//
// Thread-safe: one mutex per pair guards both ends.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "comport/serial_device.h"

namespace vexcard::simtest {

struct FakeLine;

class FakeSerialEnd : public comport::SerialDevice {
 public:
  FakeSerialEnd(std::shared_ptr<FakeLine> line, int side);

  bool setupQueues(std::uint32_t, std::uint32_t) override { return true; }
  bool getSettings(comport::LineSettings& out) override;
  bool setSettings(const comport::LineSettings&) override { return true; }
  bool setTimeouts(const comport::CommTimeouts&) override { return true; }
  std::uint32_t clearError(comport::CommStatusRecord& status) override;
  bool purge(std::uint32_t flags) override;
  bool setRts(bool on) override;
  bool setDtr(bool on) override;
  bool getModemStatus(std::uint32_t& status) override;
  bool setEventMask(std::uint32_t mask) override;
  comport::EventWaitResult waitEvent(std::uint32_t& mask) override;
  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override;
  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override;
  void cancelWrite() override {}

  // Test helpers.
  // While held, the far end's event waits do not return (events stay latched); lets a test
  // make several line changes that the far end then sees at once.
  void holdPeerEvents(bool hold);
  // The sizes of the writes the far end has made, in order.
  std::vector<std::uint32_t> peerWriteSizes() const;

 private:
  std::shared_ptr<FakeLine> line_;
  int side_;
};

std::pair<std::unique_ptr<FakeSerialEnd>, std::unique_ptr<FakeSerialEnd>> newFakeSerialPair();

}  // namespace vexcard::simtest
