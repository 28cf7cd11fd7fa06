// TrafficTap: a device wrapper that lets a program watch the frames crossing the terminal's
// end of the line: every request text read (up to its ETX), every reply frame and every
// refusal "N" written. The simulator works through it unchanged.
//
// Thread-safety: read() and write() may run on different threads; each direction has its
// own lock, held while the callback runs. The callback must be thread-safe (both
// directions may call it at once) and must not call the device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "comport/device_wrapper.h"

namespace vexcard::sim {

struct TapEvent {
  enum class Kind : std::uint8_t {
    kRequest,  // text up to and with its ETX (or 512 bytes without one)
    kReply,    // a reply frame: "60", length, body, checksum and its terminator
    kRefusal,  // the single character "N"
  };
  Kind kind;
  std::vector<std::uint8_t> text;
};

class TrafficTap : public comport::SerialDeviceWrapper {
 public:
  using Callback = std::function<void(const TapEvent&)>;
  TrafficTap(std::unique_ptr<comport::SerialDevice> target, Callback callback);

  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override;
  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override;

 private:
  void feedReply(std::uint8_t b);  // caller holds outLock_

  Callback callback_;
  std::mutex inLock_;
  std::vector<std::uint8_t> in_;  // guarded by inLock_
  std::mutex outLock_;
  std::vector<std::uint8_t> out_;  // guarded by outLock_
};

}  // namespace vexcard::sim
