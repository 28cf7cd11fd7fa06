// Keep-alive polling: tsReset after an idle period, restarted by every exchange; one poller
// for all drivers of the library, safe to stop under a poll and with a second driver.
#include "link/keep_alive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "integration/terminal_fixture.h"
#include "platform/codepage.h"
#include "platform/sync.h"

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

// The poller's wait began while the host's exchange was under way (woken by its start) and
// runs out after that exchange ended: the poll stands down and the poller waits only what
// is left of the idle period counted from the exchange's end, here nothing, since its whole
// wait came after that end. The steer holds the host's reply wait until the poller has
// begun its wait, and the poller until the exchange is over.
struct IdleSteer {
  static inline std::thread::id host;
  static inline std::atomic<int> phase{0};
  static inline platform::Event pollerWaits{platform::EventReset::kManual};
  static inline platform::Event exchangeOver{platform::EventReset::kManual};
  static inline platform::Event firstWait{platform::EventReset::kManual};
  static inline std::mutex mutex;
  static inline std::vector<std::uint32_t> idleWaits;
  static void observe(timing::Delay d, std::uint32_t ms) {
    if (d == timing::Delay::kKeepAliveIdle) {
      std::size_t n;
      {
        std::lock_guard<std::mutex> g(mutex);
        idleWaits.push_back(ms);
        n = idleWaits.size();
      }
      if (n == 1) {
        firstWait.set();
        return;
      }
      int expected = 1;
      if (phase.compare_exchange_strong(expected, 2)) {
        pollerWaits.set();
        exchangeOver.wait(60000);
      }
    } else if (d == timing::Delay::kReplyWait && std::this_thread::get_id() == host) {
      if (phase.load() == 1) pollerWaits.wait(60000);
    }
  }
};

TEST_F(KeepAliveTest, PollComesAnIdlePeriodAfterTheLastExchangeEnded) {
  use({{Delay::kKeepAliveIdle, 200}});
  IdleSteer::host = std::this_thread::get_id();
  timing::setObserver(&IdleSteer::observe);
  auto& d = startDriver();
  IdleSteer::firstWait.wait(kHangGuardMs);  // the poller is in its first wait
  IdleSteer::phase = 1;
  d.tsReadCard();
  IdleSteer::exchangeOver.set();
  const std::size_t seen = terminal.sim->counters().frames;
  ASSERT_TRUE(polled(terminal, seen + 1));
  timing::setObserver(nullptr);
  EXPECT_EQ(terminal.commands().back(), kResetCommand);
  std::lock_guard<std::mutex> g(IdleSteer::mutex);
  EXPECT_EQ(std::count(IdleSteer::idleWaits.begin(), IdleSteer::idleWaits.end(), 0u), 1)
      << "no wait for the rest of the period";
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
  ASSERT_TRUE(
      terminal.sim->waitFor([](const auto& c) { return c.handshakesIgnored >= 1; }, kHangGuardMs));
  driver.reset();  // a poll is in its hand-shake
  // Every poll that started ran to its end: five failed attempts each.
  const std::size_t failures = env.countLog(std::string("Не удалось связаться с терминалом"_w1251));
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
