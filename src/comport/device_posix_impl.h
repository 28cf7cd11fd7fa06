// PosixSerialDevice: the class behind openPosixSerialDevice (device_posix.cpp: opening,
// settings, status and line control; device_posix_events.cpp: event waits, modem watch,
// reads and writes). Internal to those two files.
#pragma once

#include <sys/ioctl.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <cstdint>
#include <mutex>
#include <string>

#include "comport/interruptible_loop_posix.h"
#include "comport/serial_device.h"

namespace vexcard::comport::posix_detail {

// Empties a non-blocking pipe.
inline void drainPipe(int fd) {
  char buf[64];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

// Writes one wake-up byte; a full pipe already holds one.
inline void poke(int fd) {
  const char byte = 1;
  (void)!::write(fd, &byte, 1);
}

// Thread-safety: as SerialDevice requires. mutex_ guards the event state (mask, history,
// generation, vanished), the time-outs and the error counters; the descriptors are fixed
// between open() and destruction.
class PosixSerialDevice final : public SerialDevice {
 public:
  explicit PosixSerialDevice(std::string path) : path_(std::move(path)) {}
  ~PosixSerialDevice() override;

  // Opens, locks and prepares the device; false when any step fails.
  bool open();

  bool setupQueues(std::uint32_t, std::uint32_t) override { return !isVanished(); }
  bool getSettings(LineSettings& out) override;
  bool setSettings(const LineSettings& s) override;
  bool setTimeouts(const CommTimeouts& timeouts) override;
  std::uint32_t clearError(CommStatusRecord& status) override;
  bool purge(std::uint32_t flags) override;
  bool setRts(bool on) override { return setLine(TIOCM_RTS, on); }
  bool setDtr(bool on) override { return setLine(TIOCM_DTR, on); }
  bool getModemStatus(std::uint32_t& status) override;
  bool setEventMask(std::uint32_t mask) override;
  EventWaitResult waitEvent(std::uint32_t& mask) override;
  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override;
  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override;
  void cancelWrite() override { poke(cancel_[1]); }

 private:
  bool isVanished() {
    std::lock_guard<std::mutex> g(mutex_);
    return vanished_;
  }

  void markVanished() {
    std::lock_guard<std::mutex> g(mutex_);
    vanished_ = true;
    poke(wake_[1]);
  }

  bool setLine(int line, bool on) {
    if (!modemLines_) return false;
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
  }

  // Starts the TIOCMIWAIT helper on devices that answer modem-line calls (at open).
  void startModemWatch();
  // Records modem events of the current mask and wakes the waiter.
  void postModemEvents(std::uint32_t events) {
    std::lock_guard<std::mutex> g(mutex_);
    history_ |= events & mask_;
    if (history_ != 0) poke(wake_[1]);
  }

  const std::string path_;
  int fd_ = -1;
  int epoll_ = -1;
  int wake_[2] = {-1, -1};    // wakes a pending event wait
  int cancel_[2] = {-1, -1};  // ends a write
  bool modemLines_ = false;   // the device answers modem-line calls (set at open)
  InterruptibleLoop modemWatch_;

  std::mutex mutex_;
  std::uint32_t mask_ = 0;
  std::uint32_t history_ = 0;  // events of the mask not yet reported
  std::uint64_t maskGeneration_ = 0;
  bool vanished_ = false;
  CommTimeouts timeouts_;
#if defined(TIOCGICOUNT)
  bool errorCountsSupported_ = true;
  bool haveErrorCounts_ = false;
  serial_icounter_struct errorCounts_{};
#endif
};

}  // namespace vexcard::comport::posix_detail
