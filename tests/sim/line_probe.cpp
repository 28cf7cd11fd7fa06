#include "sim/line_probe.h"

#include <algorithm>
#include <chrono>

namespace vexcard::simtest {

using namespace vexcard::comport;

LineProbe::LineProbe(SerialDevice& device) : device_(device) {
  CommTimeouts timeouts;
  timeouts.readInterval = 0xFFFFFFFFu;
  device_.setTimeouts(timeouts);
  device_.setEventMask(kEvRxChar | kEvCts);
  {
    std::lock_guard<std::mutex> g(mutex_);
    std::uint32_t status = 0;
    cts_ = device_.getModemStatus(status) && (status & kMsCtsOn) != 0;
  }
  thread_ = std::thread([this] { run(); });
}

LineProbe::~LineProbe() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    stopping_ = true;
  }
  device_.setEventMask(0);
  thread_.join();
}

void LineProbe::run() {
  for (;;) {
    std::uint32_t mask = 0;
    const EventWaitResult r = device_.waitEvent(mask);
    std::lock_guard<std::mutex> g(mutex_);
    if (stopping_ ||
        (r != EventWaitResult::kCompletedAtOnce && r != EventWaitResult::kCompletedAfterPending)) {
      return;
    }
    std::uint32_t status = 0;
    if (device_.getModemStatus(status)) cts_ = (status & kMsCtsOn) != 0;
    if (mask & kEvCts) ++ctsEvents_;
    pullLocked();
    changed_.notify_all();
  }
}

void LineProbe::pullLocked() {
  std::uint8_t buffer[256];
  while (const std::uint32_t n = device_.read(buffer, sizeof buffer)) {
    rx_.insert(rx_.end(), buffer, buffer + n);
  }
}

void LineProbe::write(const Bytes& bytes) {
  std::uint32_t written = 0;
  device_.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), written);
}

bool LineProbe::cts() {
  std::uint32_t status = 0;
  return device_.getModemStatus(status) && (status & kMsCtsOn) != 0;
}

bool LineProbe::waitForCts(bool level, std::uint32_t timeoutMs, std::uint64_t minEvents) {
  std::unique_lock<std::mutex> lk(mutex_);
  return changed_.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                           [&] { return cts_ == level && ctsEvents_ >= minEvents; });
}

std::uint64_t LineProbe::ctsEvents() {
  std::lock_guard<std::mutex> g(mutex_);
  return ctsEvents_;
}

std::optional<LineProbe::Bytes> LineProbe::readThrough(std::uint8_t last, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (!changed_.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                         [&] { return std::find(rx_.begin(), rx_.end(), last) != rx_.end(); })) {
    return std::nullopt;
  }
  const auto end = std::find(rx_.begin(), rx_.end(), last) + 1;
  Bytes out(rx_.begin(), end);
  rx_.erase(rx_.begin(), end);
  return out;
}

LineProbe::Bytes LineProbe::drain() {
  std::lock_guard<std::mutex> g(mutex_);
  pullLocked();
  Bytes out;
  out.swap(rx_);
  return out;
}

}  // namespace vexcard::simtest
