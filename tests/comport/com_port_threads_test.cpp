// TComPort's worker threads: start and stop, the event mask fallback, failing devices.
#include <gtest/gtest.h>

#include "comport/com_port.h"
#include "port_fixture.h"
#include "support/env_with.h"

namespace vexcard::comport::test {
namespace {

using ComPortThreadsTest = PortFixture;
using timing::Delay;

TEST_F(ComPortThreadsTest, IdlePortStopsThroughTheZeroMaskAndReportsItLast) {
  ModemLog modem;
  {
    TestPort port(kPort);
    modem.install(port);
    ASSERT_TRUE(line->waitUntilIdle(0));
  }
  EXPECT_EQ(modem.all(), (std::vector<std::uint32_t>{0}));
  // The stopper repeats the zero mask only when the acknowledgement is late.
  const auto masks = snapshot(&DeviceLog::masks);
  ASSERT_GE(masks.size(), 2u);
  EXPECT_EQ(masks[0], 0x21F9u);
  for (std::size_t k = 1; k < masks.size(); ++k) EXPECT_EQ(masks[k], 0u);
  EXPECT_TRUE(log->destroyed);
  EXPECT_EQ(log->timeouts.readInterval, 0xFFFFFFFFu);
  EXPECT_EQ(log->timeouts.readTotalConstant, 0u);
  EXPECT_EQ(log->timeouts.writeTotalConstant, timing::ms(Delay::kDeviceWriteTimeout));
  EXPECT_TRUE(line->waitUntilClosed(0));
}

TEST_F(ComPortThreadsTest, PendingEventsReachOnModemStatusWithTheirMask) {
  ModemLog modem;
  TestPort port(kPort);
  modem.install(port);
  ASSERT_TRUE(line->waitUntilIdle(0));
  far->setRts(true);
  ASSERT_TRUE(modem.waitForMask(kEvCts));
  ASSERT_TRUE(line->waitUntilIdle(0));
  far->setDtr(true);
  ASSERT_TRUE(modem.waitForMask(kEvDsr));
  EXPECT_EQ(modem.all(), (std::vector<std::uint32_t>{kEvCts, kEvDsr | kEvRlsd}));
}

TEST_F(ComPortThreadsTest, RefusedDeviceSpecificBitFallsBackAndStillDeliversEvents) {
  line->refuseDeviceSpecificEvent(0, true);
  ModemLog modem;
  TestPort port(kPort);
  modem.install(port);
  ASSERT_TRUE(line->waitUntilIdle(0));
  EXPECT_EQ(snapshot(&DeviceLog::masks), (std::vector<std::uint32_t>{0x21F9, 0x01F9}));
  EXPECT_EQ(snapshot(&DeviceLog::waits).at(0), EventWaitResult::kInvalidParameter);
  far->setRts(true);
  ASSERT_TRUE(modem.waitForMask(kEvCts));
  const auto bytes = pattern(3, 20);
  sendFromFar(bytes);
  ASSERT_TRUE(port.waitForTotal(3));
  EXPECT_EQ(readAll(port, 3), bytes);
}

TEST_F(ComPortThreadsTest, VanishedDeviceEndsReceivingAndCloseStillCompletes) {
  EnvScope slowRetry(envWith({{Delay::kPortRetryPause, 600000}}));
  {
    TestPort port(kPort);
    ASSERT_TRUE(line->waitUntilIdle(0));
    line->vanish(0);
    ASSERT_TRUE(log->waitFor([&] {
      return !log->waits.empty() && log->waits.back() == EventWaitResult::kResultFailed;
    }));
    const std::uint8_t byte = 0x42;
    port.PutBlock(&byte, 1);
    ASSERT_TRUE(log->waitFor([&] { return !log->writeResults.empty(); }));
  }
  // One failed write, then a paced retry that the stop cut short: no second attempt.
  EXPECT_EQ(snapshot(&DeviceLog::writeResults), (std::vector<bool>{false}));
  EXPECT_EQ(snapshot(&DeviceLog::waits).back(), EventWaitResult::kResultFailed);
}

TEST_F(ComPortThreadsTest, FailingEventWaitIsPacedAndStopped) {
  EnvScope slowRetry(envWith({{Delay::kPortRetryPause, 600000}}));
  log->failWaits = true;
  {
    TestPort port(kPort);
    ASSERT_TRUE(log->waitFor([&] { return !log->waits.empty(); }));
  }
  EXPECT_EQ(snapshot(&DeviceLog::waits), (std::vector<EventWaitResult>{EventWaitResult::kFailed}));
}

TEST_F(ComPortThreadsTest, StalledWriteIsCancelledSoCloseCompletes) {
  // The write would only end by its own time-out after ten minutes: the cancel ends it.
  EnvScope longWrites(envWith({{Delay::kDeviceWriteTimeout, 600000}}));
  line->stallWrites(0, true);
  {
    TestPort port(kPort);
    const auto bytes = pattern(64, 21);
    port.PutBlock(bytes.data(), 64);
    ASSERT_TRUE(line->waitForBlockedWrite(0));
  }
  EXPECT_GE(log->cancels, 1);
  EXPECT_EQ(snapshot(&DeviceLog::writeResults), (std::vector<bool>{false}));
  EXPECT_EQ(line->pendingInput(1), 0u);
}

// A stop request that comes while the first part of a wrapped block is being written does
// not drop the second part.
TEST_F(ComPortThreadsTest, StopDuringAWrappedBlockStillWritesItsSecondPart) {
  TestPort port(kPort);
  const auto head = pattern(4000, 1), wrapped = pattern(200, 5);
  port.PutBlock(head.data(), 4000);
  ASSERT_TRUE(log->waitFor([&] { return log->writeResults.size() == 1; }));
  line->stallWrites(0, true);
  port.PutBlock(wrapped.data(), 200);  // 96 bytes to the ring's end, 104 from its start
  ASSERT_TRUE(line->waitForBlockedWrite(0));
  port.requestStop();
  line->stallWrites(0, false);
  ASSERT_TRUE(log->waitFor([&] { return log->writeResults.size() == 3; }));
  EXPECT_EQ(snapshot(&DeviceLog::writes), (std::vector<std::uint32_t>{4000, 96, 104}));
  EXPECT_EQ(receiveAtFar(4200).size(), 4200u);
}

TEST_F(ComPortThreadsTest, HookErrorsAreContainedAndReceivingGoesOn) {
  TestPort port(kPort);
  port.throwOnce();
  sendFromFar(pattern(2, 22));
  ASSERT_TRUE(port.waitForTotal(2));
  ASSERT_TRUE(line->waitUntilIdle(0));
  sendFromFar(pattern(3, 23));
  ASSERT_TRUE(port.waitForTotal(5));
  EXPECT_EQ(port.counts(), (std::vector<std::uint16_t>{2, 3}));
}

TEST_F(ComPortThreadsTest, DataReceivedMayConsumeOnTheEventThread) {
  // The driver's way: the hook takes exactly the reported bytes with ReadByte.
  struct Consumer : TestPort {
    using TestPort::TestPort;
    std::vector<std::uint8_t> got;
    std::mutex m;
    void DataReceived(std::uint16_t count) override {
      {
        std::lock_guard<std::mutex> g(m);
        for (std::uint16_t k = 0; k < count; ++k) got.push_back(ReadByte());
      }
      TestPort::DataReceived(count);
    }
  };
  Consumer port(kPort);
  std::vector<std::uint8_t> sent;
  for (int round = 0; round < 5; ++round) {  // 15000 bytes through the 8192-byte ring
    const auto chunk = pattern(3000, static_cast<std::uint8_t>(round));
    sendFromFar(chunk);
    sent.insert(sent.end(), chunk.begin(), chunk.end());
    ASSERT_TRUE(port.waitForTotal(3000 * (round + 1)));
  }
  std::lock_guard<std::mutex> g(port.m);
  EXPECT_EQ(port.got, sent);
}

TEST_F(ComPortThreadsTest, CtsChangeWhileTheEventThreadIsBusyStillReachesTheHook) {
  // The hook holds the event thread while CTS rises; the next wait then completes at once
  // with the change recorded, and the change must not be lost.
  struct Blocking : TestPort {
    using TestPort::TestPort;
    platform::Event entered{platform::EventReset::kManual};
    platform::Event release{platform::EventReset::kManual};
    void DataReceived(std::uint16_t count) override {
      entered.set();
      (void)release.wait(platform::kInfinite);
      TestPort::DataReceived(count);
    }
  };
  ModemLog modem;
  Blocking port(kPort);
  modem.install(port);
  sendFromFar(pattern(1, 1));
  ASSERT_TRUE(port.entered.wait(platform::kInfinite));
  far->setRts(true);
  port.release.set();
  ASSERT_TRUE(modem.waitForMask(kEvCts));
}

TEST_F(ComPortThreadsTest, ReopenedPortStartsFresh) {
  for (int k = 0; k < 3; ++k) {
    TestPort port(kPort);
    const auto bytes = pattern(5, static_cast<std::uint8_t>(k));
    sendFromFar(bytes);
    ASSERT_TRUE(port.waitForTotal(5));
    EXPECT_EQ(readAll(port, 5), bytes);
    port.PutBlock(bytes.data(), 5);
    EXPECT_EQ(receiveAtFar(5), bytes);
  }
}

}  // namespace
}  // namespace vexcard::comport::test
