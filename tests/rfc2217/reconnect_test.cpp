// A driver on a network serial port whose server restarts: the simulated terminal on a
// virtual line, the simulator's RFC 2217 server on the line's other end, the driver on
// COM1 mapped to the server's url.
#include <gtest/gtest.h>

#include <string>

#include "comport/device_map.h"
#include "comport/device_rfc2217.h"
#include "comport/device_virtual.h"
#include "driver/driver_factory.h"
#include "driver/smart_driver.h"
#include "platform/timing.h"
#include "rfc2217/test_util.h"
#include "support/driver_env.h"
#include "terminal-sim/rfc2217_server.h"
#include "terminal-sim/terminal_simulator.h"

namespace vexcard::rfc2217_test {
namespace {

using timing::Delay;

// Pacing pauses cut short; the CTS answer and the reply are awaited long (the simulator
// ends those waits); the reconnection pauses are short beside the CTS wait, so a try of
// the hand-shake that finds the server back always reconnects within the operation.
timing::Policy policy(std::uint32_t ctsAnswer) {
  timing::Policy p = timing::Policy::production();
  for (Delay d : {Delay::kHandshakeRetry, Delay::kPace500, Delay::kPace400, Delay::kPace300}) {
    p.set(d, 10);
  }
  return p.set(Delay::kCtsAnswer, ctsAnswer)
      .set(Delay::kReplyWait, 5000)
      .set(Delay::kNetworkRetryFirst, 20)
      .set(Delay::kNetworkRetryMax, 80);
}

TEST(Rfc2217Reconnect, ADriverWorksAgainWhenItsServerComesBack) {
  test::DriverEnv env;
  env.setTiming(policy(1000));
  auto line = comport::NewVirtualSerialPair();
  sim::TerminalSimulator terminal(line->open(1), {});
  terminal.setReplyDelay(1);
  terminal.start();
  auto serverEnd = line->open(0);
  sim::Rfc2217Server server(*serverEnd);
  ASSERT_TRUE(server.start());
  const std::uint16_t port = server.port();
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
  env.setDevice(1, [url] { return comport::openRfc2217Device(url); });
  LogWatch log;
  {
    auto driver = driver::createDriver(1);
    driver->tsReset();

    server.stop();
    ASSERT_TRUE(log.waitFor(url + ": connection lost: "));
    env.setTiming(policy(20));                   // every try runs out: keep them short
    EXPECT_THROW(driver->tsReset(), Exception);  // as on a lost device
    EXPECT_EQ(driver->linkState(), 100);

    ASSERT_TRUE(server.start("127.0.0.1", port));
    env.setTiming(policy(1000));
    driver->tsReset();
    EXPECT_EQ(driver->linkState(), 100);
  }
  env.setDevice(1, nullptr);
  terminal.stop();
  EXPECT_EQ(log.count(url + ": connection lost: "), 1u);
  EXPECT_EQ(log.count(url + ": connection made again"), 1u);
  EXPECT_EQ(env.countLogPrefix(url + ": connection made again"), 1u);  // in the driver's log
}

}  // namespace
}  // namespace vexcard::rfc2217_test
