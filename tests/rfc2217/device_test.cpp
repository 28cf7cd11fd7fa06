// The RFC 2217 device against a scripted server.
#include <gtest/gtest.h>

#include <thread>

#include "comport/device_rfc2217.h"
#include "platform/socket.h"
#include "platform/timing.h"
#include "rfc2217/test_util.h"
#include "support/env_with.h"

namespace vexcard::rfc2217_test {
namespace {

namespace tn = comport::telnet;
using namespace comport;
using timing::Delay;

TEST(Rfc2217Url, TakesHostAndPortAndNothingElse) {
  std::string host;
  std::uint16_t port = 0;
  ASSERT_TRUE(parseRfc2217Url("rfc2217://10.0.0.5:2217", host, port));
  EXPECT_EQ(host, "10.0.0.5");
  EXPECT_EQ(port, 2217);
  ASSERT_TRUE(parseRfc2217Url("RFC2217://[::1]:7000", host, port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 7000);
  for (const char* bad :
       {"rfc2217://host", "rfc2217://host:", "rfc2217://:80", "tcp://h:1", "rfc2217://h:0",
        "rfc2217://h:65536", "rfc2217://h:80x", "rfc2217://h:80/", "rfc2217://[::1]80",
        "rfc2217://a/b:80", "rfc2217://[fe 80::1]:80", "rfc2217://[abc]:80", "rfc2217://h\x01:80",
        "rfc2217://[::1%]:80"}) {
    EXPECT_FALSE(parseRfc2217Url(bad, host, port)) << bad;
  }
  // A NUL would cut the name handed to the resolver.
  EXPECT_FALSE(parseRfc2217Url(std::string_view("rfc2217://[::1\0x]:80", 20), host, port));
  EXPECT_FALSE(parseRfc2217Url(std::string_view("rfc2217://h\0x:80", 16), host, port));
  ASSERT_TRUE(parseRfc2217Url("rfc2217://[fe80::1%eth0]:7000", host, port));
  EXPECT_EQ(host, "fe80::1%eth0");
}

TEST(Rfc2217Open, FailsWithoutAnRfc2217Server) {
  EXPECT_EQ(openRfc2217Device("rfc2217://127.0.0.1"), nullptr);
  std::uint16_t closedPort;
  {
    auto listener = platform::TcpListener::listen("127.0.0.1", 0);
    closedPort = listener->port();
  }
  EXPECT_EQ(openRfc2217Device("rfc2217://127.0.0.1:" + std::to_string(closedPort)), nullptr);

  FakePeer refusing(FakePeer::Options{.agree = false});
  EXPECT_EQ(openRfc2217Device(refusing.url()), nullptr);

  // A listener that never answers: the agreement wait runs out.
  EnvScope policy(envWith({{Delay::kNetworkReply, 50}}));
  auto silent = platform::TcpListener::listen("127.0.0.1", 0);
  EXPECT_EQ(openRfc2217Device("rfc2217://127.0.0.1:" + std::to_string(silent->port())), nullptr);
}

class Rfc2217DeviceTest : public ::testing::Test {
 protected:
  explicit Rfc2217DeviceTest(FakePeer::Options options = {}) : peer_(options) {
    device_ = openRfc2217Device(peer_.url());
  }
  void SetUp() override { ASSERT_NE(device_, nullptr); }

  FakePeer peer_;
  std::unique_ptr<SerialDevice> device_;
};

TEST_F(Rfc2217DeviceTest, AsksForEveryModemChangeAndForLineErrors) {
  Bytes mask;
  ASSERT_TRUE(peer_.waitCommand(tn::kSetModemStateMask, &mask));
  EXPECT_EQ(mask, Bytes{0xFF});
  ASSERT_TRUE(peer_.waitCommand(tn::kSetLineStateMask, &mask));
  EXPECT_EQ(mask, Bytes{0x1E});
}

TEST_F(Rfc2217DeviceTest, SettingsTravelAsRfc2217Codes) {
  LineSettings s;
  ASSERT_TRUE(device_->getSettings(s));
  EXPECT_EQ(s.baudRate, 9600u);
  LineSettings bad = s;
  bad.byteSize = 9;
  EXPECT_FALSE(device_->setSettings(bad));  // refused before anything is sent
  s.baudRate = 19200;
  s.byteSize = 7;
  s.parity = 2;
  s.stopBits = 1;
  ASSERT_TRUE(device_->setSettings(s));
  Bytes v;
  ASSERT_TRUE(peer_.waitCommand(tn::kSetBaudRate, &v));
  EXPECT_EQ(v, (Bytes{0, 0, 0x4B, 0x00}));
  ASSERT_TRUE(peer_.waitCommand(tn::kSetDataSize, &v));
  EXPECT_EQ(v, Bytes{7});
  ASSERT_TRUE(peer_.waitCommand(tn::kSetParity, &v));
  EXPECT_EQ(v, Bytes{3});
  ASSERT_TRUE(peer_.waitCommand(tn::kSetStopSize, &v));
  EXPECT_EQ(v, Bytes{3});
  LineSettings back;
  ASSERT_TRUE(device_->getSettings(back));
  EXPECT_EQ(back.baudRate, 19200u);
  EXPECT_EQ(back.byteSize, 7);
  EXPECT_EQ(back.stopBits, 1);
}

class Rfc2217RefusingBaud : public Rfc2217DeviceTest {
 protected:
  Rfc2217RefusingBaud() : Rfc2217DeviceTest(FakePeer::Options{.answerBaud = 9600}) {}
};

TEST_F(Rfc2217RefusingBaud, ARefusedSettingIsRolledBack) {
  LineSettings s;
  s.baudRate = 57600;
  EXPECT_FALSE(device_->setSettings(s));
  LineSettings back;
  ASSERT_TRUE(device_->getSettings(back));
  EXPECT_EQ(back.baudRate, 9600u);
  Bytes v;
  ASSERT_TRUE(peer_.waitCommand(tn::kSetBaudRate, &v));
  EXPECT_EQ(v, (Bytes{0, 0, 0xE1, 0x00}));
  ASSERT_TRUE(peer_.waitCommand(tn::kSetBaudRate, &v));  // the old rate again
  EXPECT_EQ(v, (Bytes{0, 0, 0x25, 0x80}));
}

TEST_F(Rfc2217DeviceTest, RtsAndDtrBecomeSetControl) {
  ASSERT_TRUE(device_->setRts(true));
  ASSERT_TRUE(device_->setDtr(true));
  ASSERT_TRUE(device_->setRts(false));
  ASSERT_TRUE(device_->setDtr(false));
  for (std::uint8_t expected : {11, 8, 12, 9}) {
    Bytes v;
    ASSERT_TRUE(peer_.waitCommand(tn::kSetControl, &v));
    EXPECT_EQ(v, Bytes{expected});
  }
}

TEST_F(Rfc2217DeviceTest, ModemStateNotificationsBecomeEventsAndStatus) {
  EventCollector events(*device_);
  std::uint32_t status = 1;
  ASSERT_TRUE(device_->getModemStatus(status));
  EXPECT_EQ(status, 0u);
  peer_.sendComPort(107, {0x11});  // CTS on, with its delta bit
  ASSERT_TRUE(events.waitEvent(kEvCts));
  ASSERT_TRUE(device_->getModemStatus(status));
  EXPECT_EQ(status, kMsCtsOn);
  peer_.sendComPort(107, {0x30});  // DSR came on, told by the state alone
  ASSERT_TRUE(events.waitEvent(kEvDsr));
  peer_.sendComPort(107, {0xC0 | 0x08 | 0x04});  // ring and carrier; CTS and DSR off
  ASSERT_TRUE(events.waitEvent(kEvRing));
  ASSERT_TRUE(events.waitEvent(kEvRlsd));
  ASSERT_TRUE(events.waitEvent(kEvCts));
  ASSERT_TRUE(device_->getModemStatus(status));
  EXPECT_EQ(status, kMsRingOn | kMsRlsdOn);
}

TEST_F(Rfc2217DeviceTest, LineStateNotificationsBecomeErrors) {
  EventCollector events(*device_);
  peer_.sendComPort(106, {0x02 | 0x08 | 0x40});  // overrun, framing, and a status bit
  ASSERT_TRUE(events.waitEvent(kEvErr));
  CommStatusRecord st;
  EXPECT_EQ(device_->clearError(st), kCeOverrun | kCeFrame);
  EXPECT_EQ(device_->clearError(st), 0u);
  peer_.sendComPort(106, {0x10 | 0x04});
  ASSERT_TRUE(events.waitEvent(kEvBreak));
  ASSERT_TRUE(events.waitEvent(kEvErr));
  EXPECT_EQ(device_->clearError(st), kCeBreak | kCeRxParity);
}

TEST_F(Rfc2217DeviceTest, DataWithIacTravelsEscapedBothWays) {
  EventCollector events(*device_);
  const Bytes out = {0x01, 0xFF, 0x02, 0xFF, 0xFF, 0xF0};
  std::uint32_t written = 0;
  ASSERT_TRUE(device_->write(out.data(), static_cast<std::uint32_t>(out.size()), written));
  EXPECT_EQ(written, out.size());
  ASSERT_TRUE(peer_.waitData(out.size()));
  EXPECT_EQ(peer_.data(), out);
  peer_.send({0x41, 0xFF, 0xFF, 0x42, 0xFF, 0xF1, 0x43});  // with a NOP among them
  ASSERT_TRUE(events.waitData(4));
  EXPECT_EQ(events.data(), (Bytes{0x41, 0xFF, 0x42, 0x43}));
}

TEST_F(Rfc2217DeviceTest, AFullReceiveQueueDropsAndReportsOverflow) {
  ASSERT_TRUE(device_->setupQueues(16, 16));
  ASSERT_TRUE(device_->setEventMask(kEvRxChar | kEvBreak));
  peer_.send(Bytes(20, 0x33));
  peer_.sendComPort(106, {0x10});  // processed after the data: a marker
  std::uint32_t seen = 0;
  while (!(seen & kEvBreak)) {
    std::uint32_t mask = 0;
    ASSERT_EQ(device_->waitEvent(mask), EventWaitResult::kCompletedAfterPending);
    seen |= mask;
  }
  CommStatusRecord st;
  EXPECT_EQ(device_->clearError(st), kCeRxOver | kCeBreak);
  EXPECT_EQ(st.inQueue, 16u);
  Bytes in(32);
  EXPECT_EQ(device_->read(in.data(), 32), 16u);
  EXPECT_EQ(device_->read(in.data(), 32), 0u);
}

class Rfc2217SlowPurge : public Rfc2217DeviceTest {
 protected:
  Rfc2217SlowPurge() : Rfc2217DeviceTest(FakePeer::Options{.answerPurge = false}) {}
};

TEST_F(Rfc2217SlowPurge, DataSentBeforeThePurgeAnswerIsDropped) {
  EventCollector events(*device_);
  bool purged = false;
  std::thread purger([&] { purged = device_->purge(kPurgeRxAbort | kPurgeRxClear); });
  Bytes v;
  ASSERT_TRUE(peer_.waitCommand(tn::kPurgeData, &v));
  EXPECT_EQ(v, Bytes{1});
  peer_.send({'o', 'l', 'd'});
  peer_.sendComPort(112, {1});
  peer_.send({'n', 'e', 'w'});
  purger.join();
  EXPECT_TRUE(purged);
  ASSERT_TRUE(events.waitData(3));
  EXPECT_EQ(events.data(), (Bytes{'n', 'e', 'w'}));
}

TEST_F(Rfc2217DeviceTest, AnEventMaskOfZeroEndsAWait) {
  ASSERT_TRUE(device_->setEventMask(kEvCts));
  std::uint32_t mask = 1;
  EventWaitResult r = EventWaitResult::kResultFailed;
  std::thread waiter([&] { r = device_->waitEvent(mask); });
  device_->setEventMask(0);
  waiter.join();
  // Pending when the mask changed, or started after it: either way it ends, with no event.
  EXPECT_TRUE(r == EventWaitResult::kCompletedAfterPending || r == EventWaitResult::kFailed);
  EXPECT_EQ(mask, 0u);
}

TEST_F(Rfc2217DeviceTest, ALostConnectionIsLoggedOnceAndTriedAgainAfterABackOff) {
  // The peer serves one client: a new connection is taken by its listener but never agreed.
  EnvScope policy(envWith({{Delay::kNetworkReply, 50},
                           {Delay::kNetworkRetryFirst, 60000},
                           {Delay::kNetworkRetryMax, 60000}}));
  LogWatch log;
  EventCollector events(*device_);
  peer_.send({1, 2, 3});
  ASSERT_TRUE(events.waitData(3));  // received before the loss: still delivered
  peer_.disconnect();
  const std::string lost = peer_.url() + ": connection lost: ";
  ASSERT_TRUE(log.waitFor(lost));
  std::uint32_t written = 7, status = 0;
  const std::uint8_t b = 0;
  EXPECT_TRUE(device_->write(&b, 1, written));  // lost with the line, never sent later
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(device_->getModemStatus(status));
  EXPECT_FALSE(device_->setRts(true));          // the first try, at once: not agreed
  EXPECT_FALSE(device_->purge(kPurgeRxClear));  // within the back-off: no try
  EXPECT_EQ(log.count(lost), 1u);
  EXPECT_EQ(log.count(peer_.url() + ": connection made again"), 0u);
}

// Writes all-IAC blocks to a server that reads nothing until one write ends short;
// returns the data bytes the device took.
std::size_t fillUntilAWriteEndsShort(SerialDevice& device) {
  const Bytes block(65536, 0xFF);
  std::size_t total = 0;
  for (int k = 0; k < 4096; ++k) {
    std::uint32_t written = 0;
    EXPECT_TRUE(device.write(block.data(), static_cast<std::uint32_t>(block.size()), written));
    total += written;
    if (written < block.size()) return total;
  }
  ADD_FAILURE() << "the buffers never filled";
  return total;
}

TEST_F(Rfc2217DeviceTest, AWriteTheServerDoesNotTakeEndsAtTheWriteTimeoutAndCanBeCancelled) {
  peer_.pauseReading(true);
  std::size_t total;
  {
    EnvScope policy(envWith({{Delay::kDeviceWriteTimeout, 100}}));
    total = fillUntilAWriteEndsShort(*device_);
  }
  // With the long time-out back, writes go on into the full buffers until one is
  // cancelled: the one waiting when cancelWrite() comes, or else the next one.
  std::size_t more = 0;
  std::thread writer([&] {
    const Bytes block(4096, 0xFF);
    for (;;) {
      std::uint32_t written = 0;
      const bool ok =
          device_->write(block.data(), static_cast<std::uint32_t>(block.size()), written);
      more += written;
      if (!ok) return;
    }
  });
  device_->cancelWrite();
  writer.join();
  total += more;
  ASSERT_TRUE(device_->setRts(true));
  // The server gets exactly the bytes the device said it took, and the command after
  // them: no IAC pair was cut.
  peer_.pauseReading(false);
  ASSERT_TRUE(peer_.waitCommand(tn::kSetControl));
  const Bytes got = peer_.data();
  EXPECT_EQ(got.size(), total);
  EXPECT_EQ(std::count(got.begin(), got.end(), 0xFF), static_cast<long>(got.size()));
}

}  // namespace
}  // namespace vexcard::rfc2217_test
