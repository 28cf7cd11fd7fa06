// The virtual null-modem line.
#include "comport/device_virtual.h"

#include <gtest/gtest.h>

#include <thread>

namespace vexcard::comport {
namespace {

class VirtualLineTest : public ::testing::Test {
 protected:
  std::shared_ptr<VirtualSerialPair> line = NewVirtualSerialPair();
  std::unique_ptr<SerialDevice> a = line->open(0);
  std::unique_ptr<SerialDevice> b = line->open(1);
};

TEST_F(VirtualLineTest, EachEndHasOneOpenerAtATime) {
  EXPECT_EQ(line->open(0), nullptr);
  a.reset();
  EXPECT_TRUE(line->waitUntilClosed(0));
  EXPECT_NE(line->open(0), nullptr);
}

TEST_F(VirtualLineTest, BytesCrossInBothDirections) {
  std::uint32_t written = 0;
  const std::uint8_t out[] = {1, 2, 3};
  ASSERT_TRUE(a->write(out, 3, written));
  EXPECT_EQ(written, 3u);
  CommStatusRecord status;
  b->clearError(status);
  EXPECT_EQ(status.inQueue, 3u);
  std::uint8_t in[8] = {};
  EXPECT_EQ(b->read(in, 2), 2u);
  EXPECT_EQ(b->read(in + 2, 8), 1u);
  EXPECT_EQ(in[2], 3);
  EXPECT_EQ(b->read(in, 8), 0u);
  ASSERT_TRUE(b->write(out, 1, written));
  EXPECT_EQ(a->read(in, 8), 1u);
}

TEST_F(VirtualLineTest, ModemLinesCrossAndRaiseFarEvents) {
  b->setEventMask(kEvCts | kEvDsr | kEvRlsd);
  a->setRts(true);
  std::uint32_t status = 0, mask = 0;
  ASSERT_TRUE(b->getModemStatus(status));
  EXPECT_EQ(status, kMsCtsOn);
  EXPECT_EQ(b->waitEvent(mask), EventWaitResult::kCompletedAtOnce);  // recorded while idle
  EXPECT_EQ(mask, kEvCts);
  a->setDtr(true);
  ASSERT_TRUE(b->getModemStatus(status));
  EXPECT_EQ(status, kMsCtsOn | kMsDsrOn | kMsRlsdOn);
  EXPECT_EQ(b->waitEvent(mask), EventWaitResult::kCompletedAtOnce);
  EXPECT_EQ(mask, kEvDsr | kEvRlsd);
  a.reset();  // closing drops both lines
  EXPECT_EQ(b->waitEvent(mask), EventWaitResult::kCompletedAtOnce);
  EXPECT_EQ(mask, kEvCts | kEvDsr | kEvRlsd);
  ASSERT_TRUE(b->getModemStatus(status));
  EXPECT_EQ(status, 0u);
}

TEST_F(VirtualLineTest, EventsOutsideTheMaskAreNotRecorded) {
  b->setEventMask(kEvRxChar);
  a->setRts(true);
  const std::uint8_t byte = 7;
  std::uint32_t written = 0, mask = 0;
  a->write(&byte, 1, written);
  EXPECT_EQ(b->waitEvent(mask), EventWaitResult::kCompletedAtOnce);
  EXPECT_EQ(mask, kEvRxChar);
}

TEST_F(VirtualLineTest, PendingWaitCompletesOnAnEventOrWithZeroOnANewMask) {
  b->setEventMask(kEvRxChar);
  std::uint32_t mask = 99;
  EventWaitResult result{};
  std::thread waiter([&] { result = b->waitEvent(mask); });
  ASSERT_TRUE(line->waitUntilIdle(1));
  const std::uint8_t byte = 7;
  std::uint32_t written = 0;
  a->write(&byte, 1, written);
  waiter.join();
  EXPECT_EQ(result, EventWaitResult::kCompletedAfterPending);
  EXPECT_EQ(mask, kEvRxChar);

  std::thread stopper([&] { result = b->waitEvent(mask); });
  ASSERT_TRUE(line->waitUntilIdle(1));
  b->setEventMask(0);
  stopper.join();
  EXPECT_EQ(result, EventWaitResult::kCompletedAfterPending);
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(b->waitEvent(mask), EventWaitResult::kFailed);  // no mask, nothing to wait for
}

TEST_F(VirtualLineTest, RefusedDeviceSpecificBitFailsOnlyWhileTheMaskHoldsIt) {
  line->refuseDeviceSpecificEvent(1, true);
  b->setEventMask(0x21F9);
  std::uint32_t mask = 0;
  EXPECT_EQ(b->waitEvent(mask), EventWaitResult::kInvalidParameter);
  b->setEventMask(0x01F9);
  a->setRts(true);
  EXPECT_EQ(b->waitEvent(mask), EventWaitResult::kCompletedAtOnce);
}

TEST_F(VirtualLineTest, VanishedEndFailsEverythingAndEndsAPendingWait) {
  b->setEventMask(kEvRxChar);
  std::uint32_t mask = 0;
  EventWaitResult result{};
  std::thread waiter([&] { result = b->waitEvent(mask); });
  ASSERT_TRUE(line->waitUntilIdle(1));
  line->vanish(1);
  waiter.join();
  EXPECT_EQ(result, EventWaitResult::kResultFailed);
  std::uint32_t written = 0;
  const std::uint8_t byte = 1;
  EXPECT_FALSE(b->write(&byte, 1, written));
  EXPECT_FALSE(b->setRts(true));
  std::uint8_t in = 0;
  a->write(&byte, 1, written);
  EXPECT_EQ(b->read(&in, 1), 0u);
  b.reset();
  EXPECT_EQ(line->open(1), nullptr);  // gone for good until it comes back
  line->vanish(1, false);
  EXPECT_NE(line->open(1), nullptr);
}

TEST_F(VirtualLineTest, StalledWriteEndsByReleaseCancelOrTimeOut) {
  line->stallWrites(0, true);
  const std::uint8_t bytes[] = {1, 2};
  std::uint32_t written = 0;
  bool ok = false;
  std::thread w1([&] { ok = a->write(bytes, 2, written); });
  ASSERT_TRUE(line->waitForBlockedWrite(0));
  line->stallWrites(0, false);
  w1.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(line->pendingInput(1), 2u);

  line->stallWrites(0, true);
  std::thread w2([&] { ok = a->write(bytes, 2, written); });
  ASSERT_TRUE(line->waitForBlockedWrite(0));
  a->cancelWrite();
  w2.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(line->pendingInput(1), 2u);

  // A timed-out write counts as done and loses its bytes, as on the platform.
  CommTimeouts t;
  t.writeTotalConstant = 1;
  a->setTimeouts(t);
  EXPECT_TRUE(a->write(bytes, 2, written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(line->pendingInput(1), 2u);
}

TEST_F(VirtualLineTest, PacedWriteDeliversEveryByteInOrder) {
  auto paced = NewVirtualSerialPair(VirtualLineOptions{true});
  auto x = paced->open(0);
  auto y = paced->open(1);
  LineSettings s;
  s.baudRate = 115200;
  ASSERT_TRUE(x->setSettings(s));
  const std::uint8_t bytes[] = {9, 8, 7, 6};
  std::uint32_t written = 0;
  ASSERT_TRUE(x->write(bytes, 4, written));
  EXPECT_EQ(written, 4u);
  std::uint8_t in[4] = {};
  EXPECT_EQ(y->read(in, 4), 4u);
  EXPECT_EQ(in[3], 6);
}

TEST(VirtualLinePacing, CharacterTimesAreExactAtAnyCount) {
  using std::chrono::nanoseconds;
  EXPECT_EQ(characterTime(9600, 1), nanoseconds(1'041'666));  // not a rounded 1041 us step
  EXPECT_EQ(characterTime(9600, 3), nanoseconds(3'125'000));
  EXPECT_EQ(characterTime(9600, 96'000), std::chrono::seconds(100));
  EXPECT_EQ(characterTime(115200, 1152), std::chrono::milliseconds(100));
}

TEST_F(VirtualLineTest, SettingsOutsideTheDeviceRangeAreRefused) {
  LineSettings s;
  s.byteSize = 9;
  EXPECT_FALSE(a->setSettings(s));
  s.byteSize = 7;
  s.parity = 5;
  EXPECT_FALSE(a->setSettings(s));
  s.parity = 4;
  ASSERT_TRUE(a->setSettings(s));
  LineSettings back;
  ASSERT_TRUE(a->getSettings(back));
  EXPECT_EQ(back.byteSize, 7);
  EXPECT_EQ(back.parity, 4);
}

}  // namespace
}  // namespace vexcard::comport
