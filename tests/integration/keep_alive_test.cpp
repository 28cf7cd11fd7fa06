// Keep-alive polling: tsReset after an idle period, restarted by every exchange; one poller
// for all drivers of the library, safe to stop under a poll and with a second driver.
#include "link/keep_alive.h"

#include <gtest/gtest.h>

#include <string>

#include "integration/terminal_fixture.h"
#include "platform/codepage.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;
using sim::Bytes;

const Bytes kResetCommand{0x00, 0x19};

class KeepAliveTest : public TerminalTest {
 protected:
  static bool polled(const SimulatedTerminal& t, std::size_t requests) {
    return t.sim->waitForRequests(requests, kHangGuardMs);
  }
};

TEST_F(KeepAliveTest, IdleTerminalIsPolledWithReset) {
  use({{Delay::kKeepAliveIdle, 100}});
  startDriver();
  ASSERT_TRUE(polled(terminal, 1));
  EXPECT_EQ(terminal.commands().front(), kResetCommand);
}

// The idle period is long against the host's few quick commands: each of them restarts
// it, so the poll comes only after the last.
TEST_F(KeepAliveTest, HostActivityRestartsTheIdleCount) {
  use({{Delay::kKeepAliveIdle, 2000}});
  auto& d = startDriver();
  for (int k = 0; k < 5; ++k) d.tsReadCard();
  ASSERT_TRUE(polled(terminal, 6));
  const auto cmds = terminal.commands();
  for (int k = 0; k < 5; ++k) EXPECT_EQ(cmds[k], Bytes{0x0A});
  EXPECT_EQ(cmds[5], kResetCommand);
}

TEST_F(KeepAliveTest, FailedPollIsSwallowedAndPollingGoesOn) {
  use({{Delay::kKeepAliveIdle, 50}, {Delay::kCtsAnswer, 20}, {Delay::kHandshakeRetry, 5}});
  terminal.fault(sim::FaultKind::kNoCtsAnswer, std::nullopt, 16);  // one poll, and one more try
  startDriver();
  ASSERT_TRUE(polled(terminal, 1));  // the second poll got through
  EXPECT_EQ(terminal.commands().front(), kResetCommand);
  EXPECT_EQ(env.countLog(std::string("Не удалось связаться с терминалом"_w1251)), 5u);
}

TEST_F(KeepAliveTest, DestroyingTheDriverWaitsForAPollInProgress) {
  use({{Delay::kKeepAliveIdle, 50}, {Delay::kCtsAnswer, 20}, {Delay::kHandshakeRetry, 5}});
  terminal.fault(sim::FaultKind::kNoCtsAnswer, std::nullopt, sim::kAlways);
  startDriver();
  ASSERT_TRUE(terminal.sim->waitFor([](const auto& c) { return c.handshakesIgnored >= 1; },
                                    kHangGuardMs));
  driver.reset();  // a poll is in its hand-shake
  // Every poll that started ran to its end: five failed attempts each.
  const std::size_t failures =
      env.countLog(std::string("Не удалось связаться с терминалом"_w1251));
  EXPECT_GT(failures, 0u);
  EXPECT_EQ(failures % 5, 0u);
  EXPECT_FALSE(link::KeepAlive::running());
}

// A second driver takes polling over; destroying either one leaves the other polled and
// working, and nothing it uses is closed under it.
TEST_F(KeepAliveTest, SecondDriverTakesPollingOverAndEitherMayGoFirst) {
  use({{Delay::kKeepAliveIdle, 100}});
  SimulatedTerminal second(env, 2);
  {
    auto first = driver::createDriver(1);
    auto newer = driver::createDriver(2);
    ASSERT_TRUE(polled(second, 1));
    first.reset();
    EXPECT_TRUE(link::KeepAlive::running());
    const std::size_t seen = second.sim->counters().frames;
    ASSERT_TRUE(polled(second, seen + 1));
    EXPECT_NO_THROW(newer->tsReadCard());
  }
  EXPECT_FALSE(link::KeepAlive::running());

  auto first = driver::createDriver(1);
  auto newer = driver::createDriver(2);
  newer.reset();
  const std::size_t seen = terminal.sim->counters().frames;
  ASSERT_TRUE(polled(terminal, seen + 1));  // polling came back to the first driver
  EXPECT_EQ(terminal.commands().back(), kResetCommand);
  EXPECT_NO_THROW(first->tsReadCard());
  first.reset();
  EXPECT_FALSE(link::KeepAlive::running());
}

}  // namespace
}  // namespace vexcard::test
