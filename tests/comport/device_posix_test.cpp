// The POSIX serial device, the device mapping and the port on pseudo-terminals. Only
// pseudo-terminals the test creates itself are opened.
#include "comport/device_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "comport/device_map.h"
#include "comport/interruptible_loop_posix.h"
#include "driver/env.h"
#include "port_fixture.h"

namespace vexcard::comport::test {
namespace {

// A pseudo-terminal pair: the test keeps the master, the device opens the slave path.
class PtyTest : public ::testing::Test {
 protected:
  PtyTest() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      path_ = ptsname(master_);
    }
  }
  ~PtyTest() override {
    if (master_ >= 0) close(master_);
  }
  void SetUp() override { ASSERT_FALSE(path_.empty()) << "no pseudo-terminal"; }

  void sendFromMaster(const std::string& text) {
    ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  std::string readAtMaster(std::size_t n) {
    std::string got;
    while (got.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10000) != 1) break;  // hang guard
      char buf[256];
      const ssize_t k = ::read(master_, buf, sizeof buf);
      if (k <= 0) break;
      got.append(buf, static_cast<std::size_t>(k));
    }
    return got;
  }
  void closeMaster() {
    close(master_);
    master_ = -1;
  }

  int master_ = -1;
  std::string path_;
};

TEST_F(PtyTest, OpensExclusivelyInRawMode) {
  auto dev = openPosixSerialDevice(path_);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(openPosixSerialDevice(path_), nullptr);  // held
  dev.reset();
  EXPECT_NE(openPosixSerialDevice(path_), nullptr);
  EXPECT_EQ(openPosixSerialDevice("/nonexistent/tty"), nullptr);
  EXPECT_EQ(openPosixSerialDevice("/dev/null"), nullptr);  // not a terminal
}

TEST_F(PtyTest, DataCrossesUntranslatedAndEventsFollowArrivals) {
  auto dev = openPosixSerialDevice(path_);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(dev->setEventMask(kEvRxChar | kEvCts));
  std::uint32_t mask = 0;
  EventWaitResult result{};
  std::thread waiter([&] { result = dev->waitEvent(mask); });
  sendFromMaster("a\r\n\x03");
  waiter.join();
  EXPECT_NE(result, EventWaitResult::kFailed);
  EXPECT_EQ(mask, kEvRxChar);
  CommStatusRecord status;
  dev->clearError(status);
  EXPECT_EQ(status.inQueue, 4u);
  std::uint8_t in[8];
  ASSERT_EQ(dev->read(in, 8), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 4), "a\r\n\x03");
  EXPECT_EQ(dev->read(in, 8), 0u);

  const std::uint8_t out[] = {'\n', 0x7F, 0x00};
  std::uint32_t written = 0;
  ASSERT_TRUE(dev->write(out, 3, written));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(readAtMaster(3), std::string("\n\x7F\0", 3));
}

TEST_F(PtyTest, BytesLeftInTheDeviceAreNotReportedAgain) {
  auto dev = openPosixSerialDevice(path_);
  ASSERT_NE(dev, nullptr);
  dev->setEventMask(kEvRxChar);
  sendFromMaster("xyz");
  std::uint32_t mask = 0;
  ASSERT_NE(dev->waitEvent(mask), EventWaitResult::kFailed);
  ASSERT_EQ(mask, kEvRxChar);
  // Nothing read: a second wait pends until new bytes or a new mask come. A new mask set
  // before the wait has begun is simply taken by it, so it is set until the wait ends.
  auto second = std::async(std::launch::async, [&] {
    std::uint32_t m = 99;
    const EventWaitResult r = dev->waitEvent(m);
    return std::make_pair(r, m);
  });
  while (second.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    dev->setEventMask(kEvRxChar);
  }
  const auto [result, seen] = second.get();
  EXPECT_EQ(result, EventWaitResult::kCompletedAfterPending);
  EXPECT_EQ(seen, 0u);
}

TEST_F(PtyTest, SettingsRoundTripAndRefusalsKeepThePrevious) {
  auto dev = openPosixSerialDevice(path_);
  ASSERT_NE(dev, nullptr);
  LineSettings s;
  ASSERT_TRUE(dev->getSettings(s));
  s.baudRate = 5760;  // not a standard rate
  s.byteSize = 8;
  s.parity = 0;
  s.stopBits = 2;
  ASSERT_TRUE(dev->setSettings(s));
  LineSettings back;
  ASSERT_TRUE(dev->getSettings(back));
  EXPECT_EQ(back.baudRate, 5760u);
  EXPECT_EQ(back.stopBits, 2);
  EXPECT_EQ(back.byteSize, 8);

  LineSettings even = back;
  even.parity = 2;  // a pseudo-terminal keeps 8N only
  even.baudRate = 9600;
  EXPECT_FALSE(dev->setSettings(even));
  ASSERT_TRUE(dev->getSettings(back));
  EXPECT_EQ(back.baudRate, 5760u);
  EXPECT_EQ(back.parity, 0);

  LineSettings bad = back;
  bad.stopBits = 1;  // one and a half
  EXPECT_FALSE(dev->setSettings(bad));
  bad.stopBits = 0;
  bad.byteSize = 9;
  EXPECT_FALSE(dev->setSettings(bad));
}

TEST_F(PtyTest, PurgeDropsReceivedBytesAndModemCallsAreRefused) {
  auto dev = openPosixSerialDevice(path_);
  ASSERT_NE(dev, nullptr);
  dev->setEventMask(kEvRxChar);
  sendFromMaster("junk");
  std::uint32_t mask = 0;
  dev->waitEvent(mask);
  EXPECT_TRUE(dev->purge(kPurgeRxAbort | kPurgeRxClear));
  CommStatusRecord status;
  dev->clearError(status);
  EXPECT_EQ(status.inQueue, 0u);
  std::uint32_t lines = 0;
  EXPECT_FALSE(dev->setRts(true));
  EXPECT_FALSE(dev->getModemStatus(lines));
}

TEST_F(PtyTest, HangUpEndsAPendingWaitAsVanished) {
  auto dev = openPosixSerialDevice(path_);
  ASSERT_NE(dev, nullptr);
  dev->setEventMask(kEvRxChar);
  std::uint32_t mask = 0;
  EventWaitResult result{};
  std::thread waiter([&] { result = dev->waitEvent(mask); });
  closeMaster();
  waiter.join();
  EXPECT_EQ(result, EventWaitResult::kResultFailed);
  std::uint32_t written = 0;
  const std::uint8_t byte = 1;
  EXPECT_FALSE(dev->write(&byte, 1, written));
}

// Fills the pseudo-terminal until a write has to wait for room that never comes.
TEST_F(PtyTest, BlockedWriteEndsByCancelOrByItsTimeOut) {
  auto dev = openPosixSerialDevice(path_);
  ASSERT_NE(dev, nullptr);
  const std::vector<std::uint8_t> block(1 << 20, 0x55);
  std::uint32_t written = 0;
  bool ok = true;
  std::thread writer([&] { ok = dev->write(block.data(), block.size(), written); });
  // The cancel may come before or during the wait: either way the write ends with false.
  dev->cancelWrite();
  writer.join();
  EXPECT_FALSE(ok);

  CommTimeouts t;
  t.writeTotalConstant = 50;
  dev->setTimeouts(t);
  EXPECT_TRUE(dev->write(block.data(), block.size(), written));
  EXPECT_LT(written, block.size());  // the rest is lost, as with a timed-out write
}

TEST_F(PtyTest, MappingTakesOverridesThenTheEnvironment) {
  setenv("VEXCARD_COM42", path_.c_str(), 1);
  auto viaEnv = openSerialDevice(42);
  EXPECT_NE(viaEnv, nullptr);
  viaEnv.reset();
  {
    Env env = currentEnv();
    env.devices[42] = [] { return std::unique_ptr<SerialDevice>(); };
    EnvScope mapped(env);
    EXPECT_EQ(openSerialDevice(42), nullptr);  // the Env's device wins
  }
  EXPECT_NE(openSerialDevice(42), nullptr);
  unsetenv("VEXCARD_COM42");
  EXPECT_EQ(openSerialDevice(0), nullptr);
}

TEST_F(PtyTest, PortRunsOverAPseudoTerminal) {
  setenv("VEXCARD_COM43", path_.c_str(), 1);
  {
    TestPort port(43);
    unsetenv("VEXCARD_COM43");
    port.SetBaudRate(9600);
    sendFromMaster("ping");
    ASSERT_TRUE(port.waitForTotal(4));
    std::string got;
    for (int k = 0; k < 4; ++k) got += static_cast<char>(port.ReadByte());
    EXPECT_EQ(got, "ping");
    const std::uint8_t reply[] = {'p', 'o', 'n', 'g'};
    port.PutBlock(reply, 4);
    EXPECT_EQ(readAtMaster(4), "pong");
    port.SetLines(true);  // refused by the pseudo-terminal: a warning, no error
  }
  EXPECT_NE(openPosixSerialDevice(path_), nullptr);  // closed and released
}

TEST(InterruptibleLoop, StopEndsACallBlockedInTheKernel) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::promise<void> entered;
  std::atomic<bool> first{true};
  InterruptibleLoop loop;
  ASSERT_TRUE(loop.start([&] {
    if (first.exchange(false)) entered.set_value();
    char c;
    const ssize_t n = ::read(fds[0], &c, 1);  // blocks: nothing is ever written
    return n > 0 || (n < 0 && errno == EINTR);
  }));
  entered.get_future().wait();
  loop.stop();  // returns: the blocked read was interrupted
  EXPECT_TRUE(loop.stopping());
  close(fds[0]);
  close(fds[1]);
}

TEST(InterruptibleLoop, BodyMayEndTheLoopItself) {
  int rounds = 0;
  std::promise<void> done;
  InterruptibleLoop loop;
  ASSERT_TRUE(loop.start([&] {
    if (++rounds < 3) return true;
    done.set_value();
    return false;
  }));
  done.get_future().wait();
  loop.stop();
  EXPECT_EQ(rounds, 3);
}

}  // namespace
}  // namespace vexcard::comport::test
