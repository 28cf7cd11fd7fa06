// The reply codes the exchange answers itself: 0x81 (shifts out of step), 0x8F (previous
// command still running) and a final 0x01 (accepted, still executing).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "integration/terminal_fixture.h"
#include "link/link_state.h"
#include "link/wire_values.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;
using sim::FaultKind;

constexpr std::uint8_t kReadCard[] = {0x0A};
constexpr std::uint8_t kReadCardCode = 0x0A;
const sim::Bytes kReadCardCommand{0x0A};
const sim::Bytes kResetCommand{0x00, 0x19};

class LinkUpkeepTest : public TerminalTest {
 protected:
  LinkUpkeepTest() {
    env.setClock([] { return kNow; });
  }

  // tsOpenShift as the re-synchronisation must send it.
  static sim::Bytes openShift(std::uint8_t shift, double shiftDate) {
    sim::Bytes c{0x03};
    for (auto b : link::PackDateTime(kNow)) c.push_back(b);
    for (auto b : link::PackDateTime(shiftDate)) c.push_back(b);
    c.push_back(shift);
    return c;
  }

  static inline const double kNow = platform::encodeOle({2007, 3, 5, 14, 7, 9, 0});
  static inline const double kShiftDate = platform::encodeOle({2007, 3, 5, 8, 0, 0, 0});
};

TEST_F(LinkUpkeepTest, ShiftInStepIsResumedAndTheRequestSentAgain) {
  terminal.replyCode(0x81, kReadCardCode, 1, /*terminal shift*/ 1);
  auto& d = startDriver();  // ShiftNo 1
  EXPECT_EQ(d.SendCommand(kReadCard, 1), 0);
  const auto reqs = terminal.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[1].command, sim::Bytes{0x05});
  EXPECT_EQ(reqs[1].packetIndex, reqs[0].packetIndex + 1);
  EXPECT_EQ(reqs[2].wire, reqs[0].wire);  // the same packet index again
}

TEST_F(LinkUpkeepTest, OtherTerminalShiftIsClosedAndOursOpened) {
  env.storeInt(link::kShiftNumberValue, 5);
  terminal.replyCode(0x81, kReadCardCode, 1, /*terminal shift*/ 3);
  auto& d = startDriver();
  d.ShiftDate.store(kShiftDate);
  EXPECT_EQ(d.SendCommand(kReadCard, 1), 0);
  const auto cmds = terminal.commands();
  ASSERT_EQ(cmds.size(), 4u);
  EXPECT_EQ(cmds[1], sim::Bytes{0x04});
  EXPECT_EQ(cmds[2], openShift(5, kShiftDate));
  EXPECT_EQ(cmds[3], kReadCardCommand);
  EXPECT_EQ(d.ShiftNo.load(), 5);
}

TEST_F(LinkUpkeepTest, NoTerminalShiftIsOpenedWithoutClosing) {
  env.storeInt(link::kShiftNumberValue, 2);
  terminal.replyCode(0x81, kReadCardCode, 1, /*terminal shift*/ 0);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), 0);
  const auto cmds = terminal.commands();
  ASSERT_EQ(cmds.size(), 3u);
  // ShiftDate is 0 until the host opens a shift: today's date goes out instead of 0 (30
  // December 1899), which the year byte cannot carry.
  EXPECT_EQ(cmds[1], openShift(2, kNow));
  EXPECT_EQ(cmds[2], kReadCardCommand);
}

// Commands the exchange issues itself answer the codes too; a terminal that answers
// every command with 0x81 is stopped by the bound on nested exchanges.
TEST_F(LinkUpkeepTest, TerminalThatKeepsAnsweringOutOfStepIsStoppedByTheNestingBound) {
  terminal.replyCode(0x81, std::nullopt, sim::kAlways, /*terminal shift*/ 3);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), link::kLinkInProgress);
  const auto cmds = terminal.commands();
  ASSERT_EQ(cmds.size(), 17u);  // tsReadCard, then 16 nested tsCloseShift
  for (std::size_t k = 1; k < cmds.size(); ++k) EXPECT_EQ(cmds[k], sim::Bytes{0x04});
  EXPECT_EQ(env.countLogPrefix(std::string("Слишком много вложенных"_w1251)), 1u);
  EXPECT_EQ(d.SendCommand(kReadCard, 1), link::kLinkInProgress);  // the bound is per exchange
  EXPECT_EQ(terminal.commands().size(), 34u);
}

// 0x8F: tsReset, then the caller's own frame again, whose reply is what SendCommand
// reports. Busy twice in a row, and a tsReset itself answered 0x8F, are chased too.
TEST_F(LinkUpkeepTest, BusyTerminalIsResetAndTheRequestSentAgain) {
  terminal.replyCode(0x8F, kReadCardCode, 2);
  terminal.replyCode(0x8F, 0x00, 1);
  auto& d = startDriver();
  static std::atomic<int> busyPauses{0};
  timing::setObserver([](Delay delay, std::uint32_t) { busyPauses += delay == Delay::kBusyPause; });
  EXPECT_EQ(d.SendCommand(kReadCard, 1), 0);
  timing::setObserver(nullptr);
  EXPECT_EQ(busyPauses.load(), 3);  // a pause before each of the three tsReset
  const auto reqs = terminal.requests();
  // 0A (0x8F), 00 (0x8F), 00, 00 again, 0A (0x8F), 00, 0A
  ASSERT_EQ(reqs.size(), 7u);
  for (std::size_t k : {1, 2, 3, 5}) EXPECT_EQ(reqs[k].command, kResetCommand);
  EXPECT_EQ(reqs[3].wire, reqs[1].wire);
  EXPECT_EQ(reqs[4].wire, reqs[0].wire);  // the same packet index again
  EXPECT_EQ(reqs[6].wire, reqs[0].wire);
  EXPECT_TRUE(std::equal(reqs[6].replyBody.begin(), reqs[6].replyBody.end(), d.ReplyData.begin()));
}

// Five 0x8F in a row: every attempt was answered busy, so the request fails.
TEST_F(LinkUpkeepTest, TerminalBusyOnEveryAttemptFailsTheRequest) {
  terminal.replyCode(0x8F, kReadCardCode, 5);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), link::kLinkInProgress);
  EXPECT_EQ(terminal.commands().size(), 10u);
}

// A final 0x01: the tsReset goes out, but how the command ended is unknown, so the
// exchange fails instead of passing the tsReset reply off as the command's.
TEST_F(LinkUpkeepTest, CommandStillExecutingIsResetAndFails) {
  terminal.replyCode(0x01, kReadCardCode);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), link::kLinkInProgress);
  const auto cmds = terminal.commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[1], kResetCommand);
  EXPECT_EQ(env.countLog(std::string(
                "Команда принята терминалом, но не завершена: ее результат неизвестен"_w1251)),
            1u);
}

// A poll queued on the lock behind an exchange stands down when that exchange ended
// after the poller's idle wait began.
TEST_F(LinkUpkeepTest, KeepAlivePollStandsDownAfterAnExchangeThatEndedWhileItWaited) {
  auto& d = startDriver();
  const auto waitBegan = std::chrono::steady_clock::now();
  d.tsReadCard();
  d.keepAlivePoll(waitBegan);
  EXPECT_EQ(terminal.commands().size(), 1u);
  d.keepAlivePoll(std::chrono::steady_clock::now());
  ASSERT_EQ(terminal.commands().size(), 2u);
  EXPECT_EQ(terminal.commands().back(), kResetCommand);
}

TEST_F(LinkUpkeepTest, FailedResetAfterStillExecutingLeavesTheExchangeAndFreesIt) {
  use({kQuickHandshakeRetry});
  terminal.replyCode(0x01, kReadCardCode);
  terminal.fault(FaultKind::kRefuse, 0x00, sim::kAlways);
  auto& d = startDriver();
  try {
    d.SendCommand(kReadCard, 1);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Ошибка обмена с ридером"_w1251);
  }
  EXPECT_EQ(terminal.commands().size(), 6u);  // tsReadCard, five attempts of tsReset
  EXPECT_EQ(d.linkState(), link::kLinkInProgress);
  bool lockFree = false;
  std::thread([&] {
    lockFree = d.ExchangeLock.try_lock();
    if (lockFree) d.ExchangeLock.unlock();
  }).join();
  EXPECT_TRUE(lockFree);
}

// Five time-outs after an earlier reply with code 0x01: the stale code still brings the
// tsReset, but the request that never got a reply is not reported as done.
TEST_F(LinkUpkeepTest, StaleStillExecutingCodeBringsAResetButNoSuccess) {
  use({kQuickHandshakeRetry, {Delay::kReplyWait, 200}});
  terminal.fault(FaultKind::kSilence, kReadCardCode, 5);
  auto& d = startDriver();
  d.Receiver.ReplyData[2] = 0x01;  // the code an earlier reply left in the receiver
  const std::size_t handled = terminal.sim->counters().handled;
  std::int32_t result = 0;
  std::thread exchange([&] { result = d.SendCommand(kReadCard, 1); });
  // Once the fifth attempt is out, the tsReset's reply is awaited at length (the fifth
  // wait itself runs out either way).
  ASSERT_TRUE(terminal.sim->waitForHandled(handled + 5, kHangGuardMs));
  use({kQuickHandshakeRetry, {Delay::kReplyWait, 2000}});
  exchange.join();
  EXPECT_EQ(result, link::kLinkReplyTimeout);
  const auto cmds = terminal.commands();
  ASSERT_GE(cmds.size(), 6u);
  for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(cmds[k], kReadCardCommand);
  EXPECT_EQ(cmds.back(), kResetCommand);
}

}  // namespace
}  // namespace vexcard::test
