// TComPort: opening, settings, the callers' side of both rings and the errors.
#include "comport/com_port.h"

#include <gtest/gtest.h>

#include "comport/serial_errors.h"
#include "port_fixture.h"

namespace vexcard::comport::test {
namespace {

template <class E, class F>
std::string errorOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "(no error)";
}

using ComPortTest = PortFixture;

TEST_F(ComPortTest, PortZeroStaysClosedAndOnlyStoresSettings) {
  TestPort port(0);
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(errorOf<EPortNotOpen>([&] { port.PurgeInput(); }), "Port COM0 not open");
  EXPECT_EQ(errorOf<EPortNotOpen>([&] { port.ReadByte(); }), "Port COM0 not open");
  const std::uint8_t byte = 1;
  EXPECT_EQ(errorOf<EPortNotOpen>([&] { port.PutBlock(&byte, 1); }), "Port COM0 not open");
  EXPECT_EQ(errorOf<EPortNotOpen>([&] { port.PutBlock(&byte, 0); }), "Port COM0 not open");
  port.SetBaudRate(9600);
  port.SetParity(2);
  port.SetDataBits(7);
  port.SetStopBits(2);
  EXPECT_EQ(port.BaudRate, 9600u);
  EXPECT_EQ(port.Parity, 2);
  EXPECT_EQ(port.DataBits, 7);
  EXPECT_EQ(port.StopBits, 2);
  port.SetLines(true);  // no device: refused quietly, never a crash
  EXPECT_TRUE(snapshot(&DeviceLog::settings).empty());
}

TEST_F(ComPortTest, OpenFailuresReleaseEverything) {
  mapPort([] { return std::unique_ptr<SerialDevice>(); });
  EXPECT_EQ(errorOf<EOpenPortFail>([] { TestPort p(kPort); }), "Can't open COM7");

  mapPort([line = line, log = log]() -> std::unique_ptr<SerialDevice> {
    return std::make_unique<RecordingDevice>(line->open(0), log);
  });
  log->refuseQueues = true;
  EXPECT_EQ(errorOf<ENotSupported>([] { TestPort p(kPort); }),
            "Setup parameter not supported for COM7");
  EXPECT_TRUE(log->destroyed);
  log->refuseQueues = false;
  log->refuseSettings = true;
  log->destroyed = false;
  EXPECT_EQ(errorOf<ENotSupported>([] { TestPort p(kPort); }), "Parameter not supported for COM7");
  EXPECT_TRUE(log->destroyed);
  EXPECT_TRUE(snapshot(&DeviceLog::masks).empty());  // no worker was started

  log->refuseSettings = false;
  TestPort port(kPort);  // the end was released: it opens again
  EXPECT_TRUE(port.isOpen());
  EXPECT_EQ(port.portName(), "COM7");
}

TEST_F(ComPortTest, OpenAppliesDefaultsAndMasksTheLineControlFlags) {
  log->reportedFlags = 0xFFFFFFFFu;
  TestPort port(kPort);
  const auto s = snapshot(&DeviceLog::settings);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].baudRate, 5760u);
  EXPECT_EQ(s[0].byteSize, 8);
  EXPECT_EQ(s[0].parity, 0);
  EXPECT_EQ(s[0].stopBits, 0);
  EXPECT_EQ(s[0].flags, 0xCFEFu);
}

TEST_F(ComPortTest, SettersMapStopCodesAndKeepSentinels) {
  TestPort port(kPort);
  port.SetBaudRate(9600);
  port.SetParity(2);
  port.SetDataBits(7);
  const auto stopOf = [&](std::uint8_t code) {
    port.SetStopBits(code);
    return snapshot(&DeviceLog::settings).back().stopBits;
  };
  EXPECT_EQ(stopOf(2), 2);
  EXPECT_EQ(stopOf(0), 0);
  EXPECT_EQ(stopOf(200), 2);
  EXPECT_EQ(stopOf(3), 2);  // unchanged
  EXPECT_EQ(port.StopBits, 3);

  port.SetBaudRate(0);
  port.SetParity(5);
  port.SetDataBits(9);
  const LineSettings last = snapshot(&DeviceLog::settings).back();
  EXPECT_EQ(last.baudRate, 9600u);
  EXPECT_EQ(last.parity, 2);
  EXPECT_EQ(last.byteSize, 7);
  EXPECT_EQ(port.BaudRate, 0u);
  EXPECT_EQ(port.Parity, 5);
  EXPECT_EQ(port.DataBits, 9);
}

TEST_F(ComPortTest, RefusedSetterKeepsPortOpenWithDeviceSettings) {
  TestPort port(kPort);
  const std::size_t before = snapshot(&DeviceLog::settings).size();
  log->refuseSettings = true;
  EXPECT_EQ(errorOf<ENotSupported>([&] { port.SetBaudRate(1200); }),
            "Parameter not supported for COM7");
  EXPECT_TRUE(port.isOpen());
  EXPECT_EQ(port.BaudRate, 1200u);
  EXPECT_EQ(snapshot(&DeviceLog::settings).size(), before);
}

TEST_F(ComPortTest, SentinelsAtOpenLeaveTheDeviceSettings) {
  TestPort port(kPort, TComPort::DeferOpen{});
  port.SetBaudRate(0);
  port.SetParity(5);
  port.SetDataBits(9);
  port.SetStopBits(3);
  EXPECT_TRUE(snapshot(&DeviceLog::settings).empty());  // closed: fields only
  port.Open();
  const LineSettings s = snapshot(&DeviceLog::settings).at(0);
  const LineSettings device;  // what the virtual end starts with
  EXPECT_EQ(s.baudRate, device.baudRate);
  EXPECT_EQ(s.parity, device.parity);
  EXPECT_EQ(s.byteSize, device.byteSize);
  EXPECT_EQ(s.stopBits, device.stopBits);
}

TEST_F(ComPortTest, PutBlockFillsTheRingExactlyAndRefusesOneMore) {
  TestPort port(kPort);
  line->stallWrites(0, true);  // the writer holds its chunk; nothing leaves the ring
  const auto first = pattern(100, 1);
  const auto rest = pattern(3996, 2);
  port.PutBlock(first.data(), 100);
  port.PutBlock(rest.data(), 3996);
  EXPECT_TRUE(port.output().full);
  EXPECT_EQ(port.lastWriteCount(), 3996u);
  CommStatusRecord status;
  port.ReadStatus(status);
  EXPECT_EQ(status.outQueue, 4096u);

  const std::uint8_t one = 0x55;
  EXPECT_EQ(errorOf<EOutputBufferTooSmall>([&] { port.PutBlock(&one, 1); }),
            "Buffer too small for port COM7");
  port.PutBlock(&one, 0);  // nothing, no error
  EXPECT_EQ(port.output().head, 0);

  line->stallWrites(0, false);
  auto expected = first;
  expected.insert(expected.end(), rest.begin(), rest.end());
  EXPECT_EQ(receiveAtFar(4096), expected);
}

TEST_F(ComPortTest, WrappedBlockIsWrittenTailPartFirst) {
  TestPort port(kPort);
  const auto a = pattern(4000, 3);
  port.PutBlock(a.data(), 4000);
  EXPECT_EQ(receiveAtFar(4000), a);
  const auto b = pattern(200, 4);
  port.PutBlock(b.data(), 200);
  EXPECT_EQ(receiveAtFar(200), b);
  EXPECT_EQ(snapshot(&DeviceLog::writes), (std::vector<std::uint32_t>{4000, 96, 104}));
}

TEST_F(ComPortTest, FullRingIsWrittenFromTheTailToTheEndThenFromTheStart) {
  TestPort port(kPort);
  const auto a = pattern(1000, 5);
  port.PutBlock(a.data(), 1000);
  EXPECT_EQ(receiveAtFar(1000), a);
  line->stallWrites(0, true);
  const auto b = pattern(4096, 6);
  port.PutBlock(b.data(), 4096);
  const auto o = port.output();
  EXPECT_TRUE(o.full);
  EXPECT_EQ(o.head, 1000);
  EXPECT_EQ(o.tail, 1000);
  line->stallWrites(0, false);
  EXPECT_EQ(receiveAtFar(4096), b);
  EXPECT_EQ(snapshot(&DeviceLog::writes), (std::vector<std::uint32_t>{1000, 3096, 1000}));
}

TEST_F(ComPortTest, ReadByteOnAnEmptyRingLeavesTheIndices) {
  TestPort port(kPort);
  const auto a = pattern(10, 7);
  sendFromFar(a);
  ASSERT_TRUE(port.waitForTotal(10));
  EXPECT_EQ(readAll(port, 10), a);
  EXPECT_EQ(errorOf<EBufferIsEmpty>([&] { port.ReadByte(); }), "Buffer is empty for port COM7");
  const auto r = port.input();
  EXPECT_EQ(r.head, 10);
  EXPECT_EQ(r.tail, 10);
  EXPECT_FALSE(r.full);
  std::uint8_t b = 0;
  EXPECT_THROW(port.PeekInput(b, 0), EBufferIsEmpty);
}

TEST_F(ComPortTest, TransferAcrossTheRingEndIsReadInTwoPieces) {
  TestPort port(kPort);
  const auto a = pattern(8000, 8);
  sendFromFar(a);
  ASSERT_TRUE(port.waitForTotal(8000));
  EXPECT_EQ(readAll(port, 8000), a);
  const auto b = pattern(500, 9);
  sendFromFar(b);
  ASSERT_TRUE(port.waitForTotal(8500));
  EXPECT_EQ(port.counts().back(), 500);
  const auto reads = snapshot(&DeviceLog::reads);
  EXPECT_EQ(std::vector<std::uint32_t>(reads.end() - 2, reads.end()),
            (std::vector<std::uint32_t>{192, 308}));
  std::uint8_t peeked = 0;
  port.PeekInput(peeked, 193);
  EXPECT_EQ(peeked, b[192]);
  EXPECT_EQ(readAll(port, 500), b);
}

TEST_F(ComPortTest, FullInputRingTakesNothingUntilRoomAndANewEvent) {
  TestPort port(kPort);
  const auto a = pattern(8000, 10);
  sendFromFar(a);
  ASSERT_TRUE(port.waitForTotal(8000));
  readAll(port, 8000);
  const auto full = pattern(8192, 11);
  sendFromFar(full);  // wraps: 192 bytes to the end, 8000 from the start
  ASSERT_TRUE(port.waitForTotal(8000 + 8192));
  EXPECT_TRUE(port.input().full);
  EXPECT_EQ(port.input().head, 8000);

  const auto more = pattern(5, 12);
  sendFromFar(more);
  ASSERT_TRUE(line->waitUntilIdle(0));
  EXPECT_EQ(port.counts().size(), 2u);  // the receive event read nothing
  EXPECT_EQ(line->pendingInput(0), 5u);

  EXPECT_EQ(port.ReadByte(), full[0]);  // room for one byte, but no new event yet
  ASSERT_TRUE(line->waitUntilIdle(0));
  EXPECT_EQ(port.counts().size(), 2u);

  sendFromFar({0xEE});
  ASSERT_TRUE(port.waitForTotal(8000 + 8192 + 1));
  EXPECT_EQ(port.counts().back(), 1);
  EXPECT_TRUE(port.input().full);
  EXPECT_TRUE(port.input().overflow);
  auto expected = std::vector<std::uint8_t>(full.begin() + 1, full.end());
  expected.push_back(more[0]);
  EXPECT_EQ(readAll(port, 8192), expected);
}

TEST_F(ComPortTest, PurgeEmptiesAFullRingAndTheDeviceQueue) {
  TestPort port(kPort);
  sendFromFar(pattern(8192, 13));
  ASSERT_TRUE(port.waitForTotal(8192));
  sendFromFar(pattern(3, 14));
  ASSERT_TRUE(line->waitUntilIdle(0));
  ASSERT_TRUE(port.input().full);
  port.PurgeInput();
  EXPECT_FALSE(port.input().full);
  EXPECT_EQ(line->pendingInput(0), 0u);
  EXPECT_EQ(snapshot(&DeviceLog::purges), (std::vector<std::uint32_t>{0x0A}));
  EXPECT_THROW(port.ReadByte(), EBufferIsEmpty);
}

TEST_F(ComPortTest, LineErrorsAccumulateAndPutBlockReplacesThem) {
  TestPort port(kPort);
  line->injectLineError(0, kCeFrame | 0x100, kEvErr);
  ASSERT_TRUE(line->waitUntilIdle(0));
  EXPECT_EQ(port.lineErrors(), kCeFrame);  // only the five line error bits
  line->injectLineError(0, kCeBreak, kEvBreak);
  ASSERT_TRUE(line->waitUntilIdle(0));
  EXPECT_EQ(port.lineErrors(), kCeFrame | kCeBreak);
  line->injectLineError(0, 0x100, 0);
  const std::uint8_t byte = 1;
  port.PutBlock(&byte, 1);
  EXPECT_EQ(port.lineErrors(), 0x100u);  // the whole word, not ORed
}

TEST_F(ComPortTest, SetLinesDrivesTheFarEndsModemInputs) {
  TestPort port(kPort);
  std::uint32_t status = 0;
  port.SetLines(true);
  ASSERT_TRUE(far->getModemStatus(status));
  EXPECT_EQ(status, kMsCtsOn | kMsDsrOn | kMsRlsdOn);
  port.SetLines(false);
  ASSERT_TRUE(far->getModemStatus(status));
  EXPECT_EQ(status, 0u);
}

}  // namespace
}  // namespace vexcard::comport::test
