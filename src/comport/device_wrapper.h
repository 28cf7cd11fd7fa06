// SerialDeviceWrapper: forwards every call to a wrapped device.
//
// Tests and tools derive from it to record calls or to inject faults in single calls
// while the wrapped device does the real work. Thread-safety is the wrapped device's.
#pragma once

#include <memory>
#include <utility>

#include "comport/serial_device.h"

namespace vexcard::comport {

class SerialDeviceWrapper : public SerialDevice {
 public:
  explicit SerialDeviceWrapper(std::unique_ptr<SerialDevice> target) : target_(std::move(target)) {}

  bool setupQueues(std::uint32_t inQueue, std::uint32_t outQueue) override {
    return target_->setupQueues(inQueue, outQueue);
  }
  bool getSettings(LineSettings& out) override { return target_->getSettings(out); }
  bool setSettings(const LineSettings& settings) override { return target_->setSettings(settings); }
  bool setTimeouts(const CommTimeouts& timeouts) override { return target_->setTimeouts(timeouts); }
  std::uint32_t clearError(CommStatusRecord& status) override {
    return target_->clearError(status);
  }
  bool purge(std::uint32_t flags) override { return target_->purge(flags); }
  bool setRts(bool on) override { return target_->setRts(on); }
  bool setDtr(bool on) override { return target_->setDtr(on); }
  bool getModemStatus(std::uint32_t& status) override { return target_->getModemStatus(status); }
  bool setEventMask(std::uint32_t mask) override { return target_->setEventMask(mask); }
  EventWaitResult waitEvent(std::uint32_t& mask) override { return target_->waitEvent(mask); }
  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override {
    return target_->read(dst, count);
  }
  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override {
    return target_->write(src, count, written);
  }
  void cancelWrite() override { target_->cancelWrite(); }

 protected:
  SerialDevice& target() { return *target_; }

 private:
  std::unique_ptr<SerialDevice> target_;
};

}  // namespace vexcard::comport
