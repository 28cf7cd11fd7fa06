// The terminal link without a terminal: construction from the settings store, the packet
// counter, the CTS watch and the receiver hook, each driven through a virtual line.
#include "link/terminal_link.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "comport/serial_errors.h"
#include "link/keep_alive.h"
#include "link/link_state.h"
#include "platform/codepage.h"
#include "support/driver_env.h"

namespace vexcard::link {
namespace {

using namespace vexcard::literals;
using test::DriverEnv;

class TerminalLinkTest : public ::testing::Test {
 protected:
  TerminalLinkTest() {
    line = env.line(1);
    terminal = line->open(DriverEnv::kTerminalEnd);
  }

  std::unique_ptr<TTerminalLink> make() { return std::make_unique<TTerminalLink>(1); }

  // Writes bytes from the terminal's end and returns once the driver's event thread has
  // handed all of them to DataReceived and gone back to waiting.
  void feed(std::string_view bytes) {
    std::uint32_t written = 0;
    ASSERT_TRUE(terminal->write(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                static_cast<std::uint32_t>(bytes.size()), written));
    ASSERT_TRUE(line->waitUntilIdle(DriverEnv::kDriverEnd));
  }
  bool driverRtsUp() {
    std::uint32_t status = 0;
    EXPECT_TRUE(terminal->getModemStatus(status));
    return (status & comport::kMsCtsOn) != 0;
  }
  std::uint8_t nextIndex(TTerminalLink& d) {
    platform::Guard<platform::RecursiveLock> hold(d.ExchangeLock);
    return d.NextPacketIndex();
  }

  DriverEnv env;
  std::shared_ptr<comport::VirtualSerialPair> line;
  std::unique_ptr<comport::SerialDevice> terminal;
};

TEST(NormaliseShift, CountsOneToSixWithTheRemainderOfTruncatingDivision) {
  EXPECT_EQ(normaliseShift(0), 0);
  for (int v = 1; v <= 6; ++v) EXPECT_EQ(normaliseShift(v), v);
  EXPECT_EQ(normaliseShift(7), 1);
  EXPECT_EQ(normaliseShift(12), 6);
  EXPECT_EQ(normaliseShift(13), 1);
  EXPECT_EQ(normaliseShift(255), 3);
  EXPECT_EQ(normaliseShift(std::numeric_limits<std::int32_t>::min()),
            static_cast<std::uint8_t>((std::int64_t{INT32_MIN} - 1) % 6 + 1));
}

TEST_F(TerminalLinkTest, StartsIdleWithDefaultsWhenTheStoreIsEmpty) {
  auto d = make();
  EXPECT_EQ(d->PacketCounter, 1);
  EXPECT_EQ(d->ShiftNo.load(), 1);
  EXPECT_EQ(d->Receiver.RxState, link::ReplyReceiver::kIdle);
  EXPECT_EQ(d->linkState(), kLinkOk);
  EXPECT_EQ(d->BaudRate, 9600u);
  EXPECT_TRUE(KeepAlive::running());
  // The first frame carries index 2: the default 1 is advanced before use.
  EXPECT_EQ(nextIndex(*d), 2);
  EXPECT_EQ(env.storedInt(kPacketCounterValue), 2);
  // The Env placed the store and the log.
  EXPECT_TRUE(std::filesystem::exists(env.folder() / "ZUR" / kPacketCounterValue));
  EXPECT_EQ(logging::LogPath(), (env.folder() / "log" / "VexCard.log").string());
  d.reset();
  EXPECT_FALSE(KeepAlive::running());
}

TEST_F(TerminalLinkTest, ShiftNumberIsNormalisedFromTheStore) {
  for (auto [stored, expected] : {std::pair{0, 0}, {13, 1}, {5, 5}, {12, 6}}) {
    env.storeInt(kShiftNumberValue, stored);
    EXPECT_EQ(make()->ShiftNo.load(), expected) << stored;
  }
}

TEST_F(TerminalLinkTest, PacketCounterWrapsAfter9999AndIsStoredEveryTime) {
  env.storeInt(kPacketCounterValue, 9998);
  auto d = make();
  EXPECT_EQ(nextIndex(*d), 9999 % 256);  // 9999 is used before the wrap
  EXPECT_EQ(env.storedInt(kPacketCounterValue), 9999);
  EXPECT_EQ(nextIndex(*d), 0x01);
  EXPECT_EQ(env.storedInt(kPacketCounterValue), 1);
  EXPECT_EQ(nextIndex(*d), 0x02);
  EXPECT_EQ(env.storedInt(kPacketCounterValue), 2);
}

TEST_F(TerminalLinkTest, IndexByteIsTheCounterModulo256) {
  env.storeInt(kPacketCounterValue, 255);
  auto d = make();
  EXPECT_EQ(nextIndex(*d), 0x00);
  EXPECT_EQ(env.storedInt(kPacketCounterValue), 256);
}

TEST_F(TerminalLinkTest, StoredValuesOutOfRangeAreUsedUnchanged) {
  env.storeInt(kPacketCounterValue, -5);
  EXPECT_EQ(nextIndex(*make()), 0xFC);
  EXPECT_EQ(env.storedInt(kPacketCounterValue), -4);
  env.storeInt(kPacketCounterValue, 0);
  EXPECT_EQ(nextIndex(*make()), 0x01);
  env.storeInt(kPacketCounterValue, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(nextIndex(*make()), 0x01);
  EXPECT_EQ(env.storedInt(kPacketCounterValue), 1);
}

TEST_F(TerminalLinkTest, StoreFailureLeavesTheCounterAdvancedAndNothingSent) {
  env.breakSettingsStore();
  auto d = make();
  EXPECT_EQ(d->PacketCounter, 1);
  const std::uint8_t reset[] = {0x00, 0x19};
  EXPECT_THROW(d->SendCommand(reset, 2), Exception);
  EXPECT_EQ(d->PacketCounter, 2);
  EXPECT_EQ(d->linkState(), kLinkInProgress);
  EXPECT_EQ(env.countLogPrefix("[COM1]:  Send:"), 0u);
  bool lockFree = false;
  std::thread([&] {
    lockFree = d->ExchangeLock.try_lock();
    if (lockFree) d->ExchangeLock.unlock();
  }).join();
  EXPECT_TRUE(lockFree);
}

TEST_F(TerminalLinkTest, RefusedCommandLengthUsesNoPacketIndex) {
  auto d = make();
  const std::uint8_t bytes[124] = {};
  EXPECT_THROW(d->SendCommand(bytes, 0), Exception);
  EXPECT_THROW(d->SendCommand(bytes, 124), Exception);
  EXPECT_EQ(d->PacketCounter, 1);
}

TEST_F(TerminalLinkTest, PortZeroFailsAndLeavesNothingBehind) {
  try {
    TTerminalLink link(0);
    FAIL() << "no error";
  } catch (const comport::EPortNotOpen& e) {
    EXPECT_EQ(e.message(), "Port COM0 not open");
  }
  EXPECT_FALSE(KeepAlive::running());
  env.setDevice(7, [] { return std::unique_ptr<comport::SerialDevice>(); });
  EXPECT_THROW(TTerminalLink(7), comport::EOpenPortFail);
  env.setDevice(7, nullptr);
  EXPECT_FALSE(KeepAlive::running());
}

TEST_F(TerminalLinkTest, CtsWatchSignalsOnlyCtsGoingLow) {
  auto d = make();
  terminal->setRts(true);  // the driver sees CTS high
  ASSERT_TRUE(line->waitUntilIdle(DriverEnv::kDriverEnd));
  EXPECT_FALSE(d->CtsEvent.wait(0));
  EXPECT_EQ(env.countLog("CTS_ON"), 1u);
  EXPECT_EQ(env.countLog("CTS_OFF"), 0u);

  terminal->setRts(false);  // CTS low: the terminal's answer to the hand-shake
  ASSERT_TRUE(line->waitUntilIdle(DriverEnv::kDriverEnd));
  EXPECT_TRUE(d->CtsEvent.wait(0));
  EXPECT_EQ(env.countLog("CTS_OFF"), 1u);

  // A mask without the CTS-change bit is not looked at, although CTS is low.
  d->ModemStatusChanged(comport::kEvRxChar | comport::kEvDsr);
  EXPECT_FALSE(d->CtsEvent.wait(0));
  EXPECT_EQ(env.countLog("CTS_OFF"), 1u);
  d->ModemStatusChanged(comport::kEvCts);
  EXPECT_TRUE(d->CtsEvent.wait(0));
  EXPECT_EQ(env.countLog("CTS_OFF"), 2u);
}

class ReceiverHookTest : public TerminalLinkTest {
 protected:
  ReceiverHookTest() {
    d = make();
    d->SetLines(true);
    d->ResetReceiver();
  }
  std::unique_ptr<TTerminalLink> d;
};

TEST_F(ReceiverHookTest, GoodReplyDropsTheLinesAndSetsTheEvent) {
  feed("600305000066\x03");
  EXPECT_EQ(d->linkState(), kLinkOk);
  EXPECT_EQ(d->Receiver.ReplyLength, 3);
  EXPECT_EQ(d->Receiver.ReplyData[0], 0x05);
  EXPECT_TRUE(d->ReplyEvent.wait(0));
  EXPECT_FALSE(driverRtsUp());
  EXPECT_EQ(env.countLog("RTS_OFF"), 1u);
}

TEST_F(ReceiverHookTest, ReplyInPiecesIsAssembledAsIfWhole) {
  feed("6003");
  feed("0500");
  EXPECT_FALSE(d->ReplyEvent.wait(0));
  feed("0066\x03");
  EXPECT_EQ(d->linkState(), kLinkOk);
  EXPECT_TRUE(d->ReplyEvent.wait(0));
}

TEST_F(ReceiverHookTest, BadChecksumSwallowsTheReplyWithoutAVerdict) {
  feed("600305000067\x03");
  EXPECT_EQ(d->Receiver.RxState, link::ReplyReceiver::kChecksumFailed);
  EXPECT_EQ(d->linkState(), kLinkInProgress);
  EXPECT_FALSE(d->ReplyEvent.wait(0));
  EXPECT_TRUE(driverRtsUp());
}

TEST_F(ReceiverHookTest, WrongTerminatorIsReportedWithTheLinesStillUp) {
  feed("600305000066\x0D");
  EXPECT_EQ(d->linkState(), kLinkBadTerminator);
  EXPECT_TRUE(d->ReplyEvent.wait(0));
  EXPECT_TRUE(driverRtsUp());
}

TEST_F(ReceiverHookTest, RefusalThenGoodFrameInOneBatchEndsGood) {
  feed("N600305000066\x03");
  EXPECT_EQ(d->linkState(), kLinkOk);
  EXPECT_TRUE(d->ReplyEvent.wait(0));
}

}  // namespace
}  // namespace vexcard::link
