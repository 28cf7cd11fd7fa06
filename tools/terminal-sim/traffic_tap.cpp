#include "terminal-sim/traffic_tap.h"

#include <utility>

namespace vexcard::sim {

namespace {

constexpr std::uint8_t kEtxByte = 0x03;
constexpr std::size_t kMaxText = 512;

int hexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

TrafficTap::TrafficTap(std::unique_ptr<comport::SerialDevice> target, Callback callback)
    : SerialDeviceWrapper(std::move(target)), callback_(std::move(callback)) {}

std::uint32_t TrafficTap::read(std::uint8_t* dst, std::uint32_t count) {
  const std::uint32_t n = SerialDeviceWrapper::read(dst, count);
  std::lock_guard<std::mutex> g(inLock_);
  for (std::uint32_t i = 0; i < n; ++i) {
    in_.push_back(dst[i]);
    if (dst[i] == kEtxByte || in_.size() >= kMaxText) {
      callback_(TapEvent{TapEvent::Kind::kRequest, std::move(in_)});
      in_.clear();
    }
  }
  return n;
}

bool TrafficTap::write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) {
  const bool ok = SerialDeviceWrapper::write(src, count, written);
  std::lock_guard<std::mutex> g(outLock_);
  for (std::uint32_t i = 0; i < written && i < count; ++i) feedReply(src[i]);
  return ok;
}

void TrafficTap::feedReply(std::uint8_t b) {
  if (out_.empty()) {
    if (b == 'N') {
      callback_(TapEvent{TapEvent::Kind::kRefusal, {b}});
    } else if (b == '6') {
      out_.push_back(b);
    }  // anything else is line noise before a frame
    return;
  }
  out_.push_back(b);
  if (out_.size() == 2 && b != '0') {
    out_.clear();
    return;
  }
  if (out_.size() < 4) return;
  const int hi = hexValue(out_[2]), lo = hexValue(out_[3]);
  if (hi < 0 || lo < 0) {
    out_.clear();
    return;
  }
  // "60", two length characters, the body, two checksum characters, the terminator.
  const std::size_t total = 4 + 2 * static_cast<std::size_t>(hi * 16 + lo) + 2 + 1;
  if (out_.size() == total) {
    callback_(TapEvent{TapEvent::Kind::kReply, std::move(out_)});
    out_.clear();
  }
}

}  // namespace vexcard::sim
