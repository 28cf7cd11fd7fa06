// Shared helpers of the serial port tests: a recording device wrapper, a port that records
// what its hooks receive, and a fixture that maps COM7 to one end of a virtual line.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

#include "comport/com_port.h"
#include "comport/device_map.h"
#include "comport/device_virtual.h"
#include "comport/device_wrapper.h"
#include "driver/env.h"
#include "platform/timing.h"

namespace vexcard::comport::test {

inline constexpr unsigned kPort = 7;
inline constexpr auto kGuard = std::chrono::seconds(10);  // hang guard, not a timing check

// What a RecordingDevice saw, and the faults it injects. Outlives the device (the port
// destroys its device when it closes).
struct DeviceLog {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::uint32_t> masks;    // setEventMask arguments
  std::vector<LineSettings> settings;  // accepted setSettings records
  std::vector<std::uint32_t> purges;   // purge flags
  std::vector<std::uint32_t> writes;   // write sizes, in call order
  std::vector<std::uint32_t> reads;    // read results (non-zero ones)
  std::vector<EventWaitResult> waits;  // waitEvent results
  std::vector<bool> writeResults;
  CommTimeouts timeouts;
  int cancels = 0;
  bool destroyed = false;
  // Faults.
  bool refuseQueues = false;
  bool refuseSettings = false;
  bool failWaits = false;           // every waitEvent fails at once (kFailed)
  std::uint32_t reportedFlags = 0;  // ORed into the flags getSettings reports

  template <class Pred>
  bool waitFor(Pred pred) {
    std::unique_lock<std::mutex> lk(mutex);
    return cv.wait_for(lk, kGuard, pred);
  }
};

class RecordingDevice : public SerialDeviceWrapper {
 public:
  RecordingDevice(std::unique_ptr<SerialDevice> target, std::shared_ptr<DeviceLog> log)
      : SerialDeviceWrapper(std::move(target)), log_(std::move(log)) {}
  ~RecordingDevice() override {
    note([&] { log_->destroyed = true; });
  }

  bool setupQueues(std::uint32_t in, std::uint32_t out) override {
    if (fault(&DeviceLog::refuseQueues)) return false;
    return SerialDeviceWrapper::setupQueues(in, out);
  }
  bool getSettings(LineSettings& out) override {
    const bool ok = SerialDeviceWrapper::getSettings(out);
    std::lock_guard<std::mutex> g(log_->mutex);
    out.flags |= log_->reportedFlags;
    return ok;
  }
  bool setSettings(const LineSettings& s) override {
    if (fault(&DeviceLog::refuseSettings)) return false;
    const bool ok = SerialDeviceWrapper::setSettings(s);
    if (ok) note([&] { log_->settings.push_back(s); });
    return ok;
  }
  bool setTimeouts(const CommTimeouts& t) override {
    note([&] { log_->timeouts = t; });
    return SerialDeviceWrapper::setTimeouts(t);
  }
  bool purge(std::uint32_t flags) override {
    note([&] { log_->purges.push_back(flags); });
    return SerialDeviceWrapper::purge(flags);
  }
  bool setEventMask(std::uint32_t mask) override {
    note([&] { log_->masks.push_back(mask); });
    return SerialDeviceWrapper::setEventMask(mask);
  }
  EventWaitResult waitEvent(std::uint32_t& mask) override {
    const EventWaitResult r = fault(&DeviceLog::failWaits) ? EventWaitResult::kFailed
                                                           : SerialDeviceWrapper::waitEvent(mask);
    note([&] { log_->waits.push_back(r); });
    return r;
  }
  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override {
    const std::uint32_t n = SerialDeviceWrapper::read(dst, count);
    if (n != 0) note([&] { log_->reads.push_back(n); });
    return n;
  }
  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override {
    note([&] { log_->writes.push_back(count); });
    const bool ok = SerialDeviceWrapper::write(src, count, written);
    note([&] { log_->writeResults.push_back(ok); });
    return ok;
  }
  void cancelWrite() override {
    note([&] { ++log_->cancels; });
    SerialDeviceWrapper::cancelWrite();
  }

 private:
  bool fault(bool DeviceLog::*flag) {
    std::lock_guard<std::mutex> g(log_->mutex);
    return (*log_).*flag;
  }
  template <class F>
  void note(F f) {
    std::lock_guard<std::mutex> g(log_->mutex);
    f();
    log_->cv.notify_all();
  }
  std::shared_ptr<DeviceLog> log_;
};

// A port that records the hooks' arguments; its DataReceived consumes nothing unless told.
class TestPort : public TComPort {
 public:
  explicit TestPort(std::uint16_t port) : TComPort(port) {}
  TestPort(std::uint16_t port, DeferOpen d) : TComPort(port, d) {}
  ~TestPort() override { Close(); }

  using TComPort::Open;
  // The stop request alone, as Close raises it first.
  void requestStop() { StopFlag.store(true); }

  void DataReceived(std::uint16_t count) override {
    std::lock_guard<std::mutex> g(mutex_);
    counts_.push_back(count);
    if (throwInHook_) {
      throwInHook_ = false;
      cv_.notify_all();
      throw std::runtime_error("hook failed");
    }
    cv_.notify_all();
  }

  std::vector<std::uint16_t> counts() {
    std::lock_guard<std::mutex> g(mutex_);
    return counts_;
  }
  std::uint32_t totalReceived() {
    const auto c = counts();
    return std::accumulate(c.begin(), c.end(), 0u);
  }
  bool waitForTotal(std::uint32_t total) {
    std::unique_lock<std::mutex> lk(mutex_);
    return cv_.wait_for(
        lk, kGuard, [&] { return std::accumulate(counts_.begin(), counts_.end(), 0u) >= total; });
  }
  void throwOnce() {
    std::lock_guard<std::mutex> g(mutex_);
    throwInHook_ = true;
  }

  // Ring state, read under PortLock.
  struct Ring {
    std::uint16_t head, tail;
    bool full, overflow;
  };
  Ring input() {
    platform::Guard<platform::RecursiveLock> g(PortLock);
    return {InputHead, InputTail, InputFull, InputOverflow};
  }
  Ring output() {
    platform::Guard<platform::RecursiveLock> g(PortLock);
    return {OutputHead, OutputTail, OutputFull, false};
  }
  std::uint32_t lineErrors() {
    platform::Guard<platform::RecursiveLock> g(PortLock);
    return LineErrors;
  }
  std::uint32_t lastWriteCount() {
    platform::Guard<platform::RecursiveLock> g(PortLock);
    return LastWriteCount;
  }
  std::string portName() {
    platform::Guard<platform::RecursiveLock> g(PortLock);
    return PortName;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::uint16_t> counts_;
  bool throwInHook_ = false;
};

// Records every OnModemStatus mask.
struct ModemLog {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::uint32_t> masks;

  void install(TComPort& port) {
    port.OnModemStatus = [this](std::uint32_t mask) {
      std::lock_guard<std::mutex> g(mutex);
      masks.push_back(mask);
      cv.notify_all();
    };
  }
  bool waitForMask(std::uint32_t bits) {
    std::unique_lock<std::mutex> lk(mutex);
    return cv.wait_for(lk, kGuard, [&] {
      for (std::uint32_t m : masks) {
        if (m & bits) return true;
      }
      return false;
    });
  }
  std::vector<std::uint32_t> all() {
    std::lock_guard<std::mutex> g(mutex);
    return masks;
  }
};

inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t first) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t k = 0; k < n; ++k) v[k] = static_cast<std::uint8_t>(first + k * 7);
  return v;
}

// COM7 opens end 0 of a fresh virtual line through a RecordingDevice; the test holds end
// 1 as the far side. The port's waits run on a scaled-down policy.
class PortFixture : public ::testing::Test {
 protected:
  PortFixture()
      : line(NewVirtualSerialPair()), log(std::make_shared<DeviceLog>()), far(line->open(1)) {
    env_.update([&](Env& e) { e.timing = timing::Policy::scaled(1, 10); });
    mapPort([line = line, log = log]() -> std::unique_ptr<SerialDevice> {
      auto end = line->open(0);
      if (!end) return nullptr;
      return std::make_unique<RecordingDevice>(std::move(end), log);
    });
    far->setEventMask(kEvRxChar);
  }

  // Makes COM7 open through factory.
  void mapPort(DeviceFactory factory) {
    env_.update([&](Env& e) { e.devices[kPort] = std::move(factory); });
  }

  void sendFromFar(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t written = 0;
    ASSERT_TRUE(far->write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), written));
  }
  // Collects n bytes arriving at the far end.
  std::vector<std::uint8_t> receiveAtFar(std::size_t n) {
    std::vector<std::uint8_t> got;
    std::uint8_t buf[1024];
    while (got.size() < n) {
      const std::uint32_t k = far->read(buf, sizeof buf);
      if (k != 0) {
        got.insert(got.end(), buf, buf + k);
        continue;
      }
      std::uint32_t mask = 0;
      if (far->waitEvent(mask) == EventWaitResult::kResultFailed) break;
    }
    return got;
  }
  std::vector<std::uint8_t> readAll(TComPort& port, std::size_t n) {
    std::vector<std::uint8_t> got;
    for (std::size_t k = 0; k < n; ++k) got.push_back(port.ReadByte());
    return got;
  }
  template <class T>
  std::vector<T> snapshot(std::vector<T> DeviceLog::*field) {
    std::lock_guard<std::mutex> g(log->mutex);
    return (*log).*field;
  }

 private:
  EnvScope env_;

 protected:
  std::shared_ptr<VirtualSerialPair> line;
  std::shared_ptr<DeviceLog> log;
  std::unique_ptr<SerialDevice> far;
};

}  // namespace vexcard::comport::test
