// Helpers of the network serial port tests: an event collector that runs a device's event
// waits as the port's event thread does, a scripted RFC 2217 peer, and an in-test serial
// device whose CTS follows its RTS and whose received data is what was written to it.
//
// Every wait here is bounded (kPatience) and ends as soon as its condition holds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "comport/serial_device.h"
#include "comport/telnet.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace vexcard::rfc2217_test {

using Bytes = std::vector<std::uint8_t>;
inline constexpr auto kPatience = std::chrono::seconds(20);

// Waits on cv (with lk held) until pred holds or kPatience has passed.
template <class Pred>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, Pred pred) {
  return cv.wait_for(lk, kPatience, pred);
}

class EventCollector {
 public:
  explicit EventCollector(comport::SerialDevice& device, std::uint32_t mask = 0x01F9);
  ~EventCollector();  // ends the waits with an event mask of 0

  // Waits until an event with one of bits has been seen, and forgets those bits.
  bool waitEvent(std::uint32_t bits);
  // Waits until count bytes have been received.
  bool waitData(std::size_t count);
  Bytes data();

 private:
  void run();
  comport::SerialDevice& device_;
  platform::Thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::uint32_t seen_ = 0;
  Bytes data_;
  bool vanished_ = false;
  bool stop_ = false;
};

// Sees every log line while it lives (one at a time): waits for a line and counts lines.
class LogWatch {
 public:
  LogWatch();
  ~LogWatch();
  // Waits until a line beginning with prefix has been written.
  bool waitFor(std::string_view prefix);
  std::size_t count(std::string_view prefix);
};

// A scripted RFC 2217 server for one client: agrees to the options (or refuses
// COM-PORT-OPTION), answers SET-* and PURGE-DATA like a server (the answers can be
// altered), records what the client sends, and sends what a test asks.
class FakePeer {
 public:
  struct Options {
    bool agree = true;             // answer WILL COM-PORT-OPTION with DO
    bool answerPurge = true;       // answer PURGE-DATA
    std::uint32_t answerBaud = 0;  // answer SET-BAUDRATE with this rate (0: as asked)
  };
  explicit FakePeer(Options options);
  FakePeer() : FakePeer(Options{}) {}
  ~FakePeer();

  std::string url() const;
  // Raw bytes to the client (escaping is the caller's).
  void send(const Bytes& raw);
  void sendComPort(std::uint8_t code, std::initializer_list<std::uint8_t> value);
  // Waits for a COM-PORT-OPTION command from the client and returns its value (consumed).
  bool waitCommand(std::uint8_t code, Bytes* value = nullptr);
  bool waitData(std::size_t count);
  Bytes data();
  // Stops reading from the client (its sends then fill the buffers) and resumes.
  void pauseReading(bool paused);
  // Drops the connection.
  void disconnect();

 private:
  struct Sink;
  void run();
  Options options_;
  std::unique_ptr<platform::TcpListener> listener_;
  std::unique_ptr<platform::TcpSocket> client_;
  platform::Thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::multimap<std::uint8_t, Bytes> commands_;
  Bytes data_;
  bool paused_ = false;
  bool stop_ = false;
  bool disconnect_ = false;
};

// An in-test serial device (a port looped back on itself): written bytes are received,
// CTS follows RTS, DSR follows DTR; settings with a baud rate above maxBaud are refused.
class LoopbackDevice final : public comport::SerialDevice {
 public:
  std::uint32_t maxBaud = 115200;

  bool setupQueues(std::uint32_t, std::uint32_t) override { return true; }
  bool getSettings(comport::LineSettings& out) override;
  bool setSettings(const comport::LineSettings& s) override;
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

  // Line errors (kCe* bits) as the line would report them.
  void injectErrors(std::uint32_t errors);
  // The device disappears: waits end with kResultFailed.
  void vanish();
  comport::LineSettings settings();
  bool rts();
  bool dtr();

 private:
  void raise(std::uint32_t events);
  std::mutex mu_;
  std::condition_variable cv_;
  comport::LineSettings settings_;
  Bytes rx_;
  bool rts_ = false, dtr_ = false, vanished_ = false;
  std::uint32_t mask_ = 0, pending_ = 0, errors_ = 0;
  std::uint64_t maskChanges_ = 0;
};

}  // namespace vexcard::rfc2217_test
