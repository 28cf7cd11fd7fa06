// One request and its attempts, against the simulated terminal: what goes on the wire,
// what is logged, and the result of each way an attempt can fail.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "integration/host_fixture.h"
#include "integration/terminal_fixture.h"
#include "link/link_state.h"
#include "link/status_texts.h"
#include "platform/codepage.h"
#include "support/reply_wait_steer.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;
using sim::FaultKind;

constexpr std::uint8_t kReadCard[] = {0x0A};
constexpr std::uint8_t kReadCardCode = 0x0A;

class ExchangeTest : public TerminalTest {
 protected:
  bool lockFree() {
    bool free = false;
    std::thread([&] {
      free = driver->ExchangeLock.try_lock();
      if (free) driver->ExchangeLock.unlock();
    }).join();
    return free;
  }
  // Every request so far was the same text (one request, several attempts).
  void expectAttemptsOfOneRequest(std::size_t attempts) {
    const auto reqs = terminal.requests();
    ASSERT_EQ(reqs.size(), attempts);
    for (const auto& r : reqs) EXPECT_EQ(r.wire, reqs.front().wire);
    EXPECT_EQ(env.countLogPrefix("[COM1]:  Send:"), attempts);
  }
};

TEST_F(ExchangeTest, GoodReplyOnTheFirstAttemptIsSentAndLoggedOnce) {
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), 0);

  const auto reqs = terminal.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(env.countLog("[COM1]:  Send: " + sim::hexDump(reqs[0].wire)), 1u);
  // The terminal has no card: reply code 0x87 in a well-formed reply.
  const std::string replyLine =
      "[COM1]:  " + link::ReplyCodeText(0x87) + ":  " + sim::hexDump(reqs[0].replyBody);
  EXPECT_EQ(env.countLog(replyLine), 1u);
  EXPECT_EQ(env.countLogPrefix("[COM1]:  "), 2u);
  EXPECT_EQ(d.ReplyLength, reqs[0].replyBody.size());
  EXPECT_TRUE(std::equal(reqs[0].replyBody.begin(), reqs[0].replyBody.end(), d.ReplyData.begin()));
  EXPECT_EQ(d.linkState(), link::kLinkInProgress);
  EXPECT_TRUE(lockFree());
}

TEST_F(ExchangeTest, GoodReplyWithCodeZeroIsLabelledCommandDone) {
  auto& d = startDriver();
  d.tsReset();
  const auto reqs = terminal.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(env.countLog(std::string("[COM1]:  Команда выполнена:  "_w1251) +
                         sim::hexDump(reqs[0].replyBody)),
            1u);
}

TEST_F(ExchangeTest, WorkedFramesGoOutByteForByte) {
  env.storeInt(link::kPacketCounterValue, 4);
  auto& d = startDriver();
  d.tsReset();       // packet index 5
  d.tsCloseShift();  // packet index 6
  const auto reqs = terminal.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].wire, wire("60030500197F"));
  EXPECT_EQ(reqs[1].wire, wire("6002060460"));
  EXPECT_EQ(env.storedInt(link::kPacketCounterValue), 6);
}

TEST_F(ExchangeTest, RefusalIsRetriedWithTheSamePacketIndex) {
  use({kQuickHandshakeRetry});
  terminal.fault(FaultKind::kRefuse, kReadCardCode);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), 0);
  expectAttemptsOfOneRequest(2);
  EXPECT_EQ(env.countLog(std::string("[COM1]:  Ридер не готов к приему команды"_w1251)), 1u);
}

TEST_F(ExchangeTest, WrongTerminatorIsRetriedAndReportedAfterFiveAttempts) {
  use({kQuickHandshakeRetry});
  terminal.fault(FaultKind::kWrongTerminator, kReadCardCode, sim::kAlways);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), link::kLinkBadTerminator);
  expectAttemptsOfOneRequest(5);
  EXPECT_EQ(env.countLogPrefix(std::string("[COM1]:  Прием:Ошибка завершения пакета"_w1251)), 5u);
}

TEST_F(ExchangeTest, SilenceEndsEachAttemptWithTheTimeOut) {
  use({kQuickHandshakeRetry, {Delay::kReplyWait, 200}});
  terminal.fault(FaultKind::kSilence, kReadCardCode, sim::kAlways);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), link::kLinkReplyTimeout);
  expectAttemptsOfOneRequest(5);
  // Nothing was decoded: the time-out text stands alone.
  EXPECT_EQ(env.countLog(std::string("[COM1]:  Прием:Ошибка таймаута подтверждения"_w1251)), 5u);
}

TEST_F(ExchangeTest, BadChecksumIsSwallowedAndEndsInTheTimeOut) {
  use({kQuickHandshakeRetry, {Delay::kReplyWait, 200}});
  terminal.fault(FaultKind::kBadChecksum, kReadCardCode, sim::kAlways);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), link::kLinkReplyTimeout);
  expectAttemptsOfOneRequest(5);
}

// A reply that is lost once: the first attempt's wait is short and runs out; once the
// terminal has the request the wait is made long again, so the retry's reply is awaited
// at length whatever the moment the driver reads the policy.
TEST_F(ExchangeTest, LostReplyIsRecoveredByTheNextAttempt) {
  for (FaultKind kind : {FaultKind::kSilence, FaultKind::kBadChecksum}) {
    use({kQuickHandshakeRetry, {Delay::kReplyWait, 200}});
    terminal.sim->clearRecords();
    terminal.fault(kind, kReadCardCode);
    auto& d = startDriver();
    const std::size_t handled = terminal.sim->counters().handled;
    auto result = std::async(std::launch::async, [&] { return d.SendCommand(kReadCard, 1); });
    ASSERT_TRUE(terminal.sim->waitForHandled(handled + 1, kHangGuardMs));
    use({kQuickHandshakeRetry, {Delay::kReplyWait, 2000}});
    EXPECT_EQ(result.get(), 0) << sim::faultKindName(kind);
    const auto reqs = terminal.requests();
    ASSERT_GE(reqs.size(), 2u);
    for (const auto& r : reqs) EXPECT_EQ(r.wire, reqs.front().wire);
    driver.reset();
  }
}

TEST_F(ExchangeTest, UnansweredHandShakeFailsEveryAttemptWithoutSending) {
  use({{Delay::kCtsAnswer, 20}});
  terminal.fault(FaultKind::kNoCtsAnswer, std::nullopt, sim::kAlways);
  auto& d = startDriver();
  EXPECT_EQ(d.SendCommand(kReadCard, 1), link::kLinkInProgress);
  EXPECT_EQ(terminal.sim->counters().frames, 0u);
  EXPECT_EQ(env.countLog(std::string("Не удалось связаться с терминалом"_w1251)), 5u);
  EXPECT_EQ(env.countLogPrefix("[COM1]:  Send:"), 0u);
  // Each attempt made three tries, each raising and dropping the lines.
  EXPECT_EQ(env.countLog("RTS_ON"), 15u);
  EXPECT_EQ(env.countLog("RTS_OFF"), 15u);
  EXPECT_EQ(d.linkState(), link::kLinkInProgress);
}

// The terminal answers attempt 1 only after the reply wait, and is deaf to the hand-shakes
// meanwhile; its late reply comes during the last attempt's hand-shake. That frame is no
// reply to any attempt: the request fails with 100, and its outcome is unknown.
struct LateFrameSteer {
  static inline sim::TerminalSimulator* terminal = nullptr;
  static inline driver::TSmartDriver* link = nullptr;
  static inline std::atomic<int> ctsWaits{0};
  static void observe(timing::Delay d, std::uint32_t) {
    // Attempt 1 waits once for CTS, attempts 2 to 4 three times each: the 11th wait is the
    // first of attempt 5. The late frame is released and decoded before it begins.
    if (d != timing::Delay::kCtsAnswer || ++ctsWaits != 11) return;
    terminal->injectFault(sim::FaultRule::of(FaultKind::kNoCtsAnswer).times(sim::kAlways));
    terminal->releaseLateReply();
    terminal->waitFor([](const sim::SimulatorCounters& c) { return c.replies >= 1; }, 60000);
    link->ReplyEvent.wait(60000);  // set once the receiver has decoded the frame
  }
};

TEST_F(ExchangeTest, LateFrameDuringAFailedHandShakeIsNoReply) {
  use({{Delay::kCtsAnswer, 20}, {Delay::kReplyWait, 50}});
  sim::FaultRule late = sim::FaultRule::of(FaultKind::kLateReply).on(kReadCardCode);
  late.lateMs = 0;  // held until released
  terminal.sim->injectFault(late);
  auto& d = startDriver();
  LateFrameSteer::terminal = terminal.sim.get();
  LateFrameSteer::link = &d;
  timing::setObserver(&LateFrameSteer::observe);
  const std::int32_t result = d.SendCommand(kReadCard, 1);
  timing::setObserver(nullptr);
  EXPECT_EQ(LateFrameSteer::ctsWaits.load(), 13);
  EXPECT_EQ(result, link::kLinkInProgress);
  EXPECT_EQ(d.LastOutcome, link::RequestOutcome::kUnknown);
}

// A held late reply is released at a chosen CTS wait (the count since start, or the next
// one once armed) and decoded by the driver before that wait goes on.
struct LateReleaseSteer {
  static inline sim::TerminalSimulator* terminal = nullptr;
  static inline driver::TSmartDriver* link = nullptr;
  static inline std::atomic<int> ctsWaits{0};
  static inline std::atomic<int> releaseAt{0};
  static inline std::atomic<bool> armed{false};
  static void observe(timing::Delay d, std::uint32_t) {
    if (d != timing::Delay::kCtsAnswer) return;
    if (++ctsWaits != releaseAt && !armed.exchange(false)) return;
    const std::size_t replies = terminal->counters().replies;
    const std::uint32_t strays = link->Receiver.Strays;
    terminal->releaseLateReply();
    terminal->waitFor([&](const sim::SimulatorCounters& c) { return c.replies > replies; }, 60000);
    // Taken (the event) or dropped as a stray.
    for (int k = 0; k < 60000 && link->Receiver.Strays == strays && !link->ReplyEvent.wait(1);
         ++k) {
    }
  }
};

constexpr std::uint8_t kSaleCode = 0x08;

void sell(driver::TSmartDriver& d) {
  d.tsSale(1, 1, 92, "Аи-92"_w1251, Currency::fromRaw(185000), Currency::fromRaw(200000), 0);
}

// The tsReset the exchange sends after 0x8F gets its reply only during the hand-shake of
// the caller's frame sent again: that reply cannot answer the frame, which gets its own.
TEST_F(ExchangeTest, LateReplyOfTheExchangesOwnResetIsNotTheCallersReply) {
  use({kQuickHandshakeRetry});
  terminal.replyCode(0x8F, kSaleCode);
  sim::FaultRule late = sim::FaultRule::of(FaultKind::kLateReply).on(0x00);
  late.lateMs = 0;
  terminal.sim->injectFault(late);
  auto& d = startDriver();
  LateReleaseSteer::terminal = terminal.sim.get();
  LateReleaseSteer::link = &d;
  // tsReadCard, tsSale 1, tsReset's five attempts (1 + 4 x 3), then tsSale's second.
  LateReleaseSteer::releaseAt = 16;
  ReplyWaitSteer::start(*terminal.sim, 50, 5000, &LateReleaseSteer::observe);
  d.tsReadCard();
  sell(d);
  ReplyWaitSteer::stop();
  EXPECT_EQ(LateReleaseSteer::ctsWaits.load(), 16);
  // The reply the terminal gave the frame sent again (0x87: the terminal has no card).
  const sim::Bytes own = terminal.requests().back().replyBody;
  ASSERT_EQ(d.ReplyLength, own.size());
  EXPECT_TRUE(std::equal(own.begin(), own.end(), d.ReplyData.begin()));
  EXPECT_EQ(d.ReplyData[1], kSaleCode);
  EXPECT_EQ(d.LastOutcome, link::RequestOutcome::kRefused);
}

// A sale's reply held back past all its attempts comes while the next command, here after
// a restart of the driver too, shakes hands: each gets its own reply, from a terminal that
// echoes the request in its reply and from one that does not.
TEST_F(ExchangeTest, LateReplyOfAnEarlierRequestNeverAnswersTheNextCommand) {
  use({kQuickHandshakeRetry});
  sim::FaultRule late = sim::FaultRule::of(FaultKind::kLateReply).on(kSaleCode).times(2);
  late.lateMs = 0;
  terminal.sim->injectFault(late);
  terminal.sim->addCard(simCard("bonus", 0x00, 0x01));
  terminal.sim->insertCard("bonus");
  auto* d = &startDriver();
  LateReleaseSteer::terminal = terminal.sim.get();
  ReplyWaitSteer::start(*terminal.sim, 50, 5000, &LateReleaseSteer::observe);
  for (bool restart : {false, true}) {
    // Whether the terminal echoes the request or not.
    terminal.sim->setEcho(!restart);
    EXPECT_THROW(sell(*d), Exception);
    EXPECT_EQ(d->LastOutcome, link::RequestOutcome::kUnknown);
    if (restart) {
      driver.reset();
      d = &startDriver();
    }
    LateReleaseSteer::link = d;
    LateReleaseSteer::armed = true;
    d->tsReadCard();
    EXPECT_EQ(d->ReplyLength, link::kTsReadCard.replySize) << restart;  // a sale's is 102
    EXPECT_EQ(d->ReplyData[1], restart ? 0 : kReadCardCode);
  }
  ReplyWaitSteer::stop();
}

TEST_F(ExchangeTest, FailedExchangeRaisesTheExchangeErrorFromEveryCommand) {
  use({kQuickHandshakeRetry});
  terminal.fault(FaultKind::kWrongTerminator, std::nullopt, sim::kAlways);
  auto& d = startDriver();
  try {
    d.tsReadCard();
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Ошибка обмена с ридером"_w1251);
    EXPECT_EQ(e.lineFault(), LineFault::kSpoiled);
  }
  EXPECT_EQ(d.linkState(), link::kLinkInProgress);
  EXPECT_TRUE(lockFree());
}

// The exchange error tells a dead line (no hand-shake answered) from a mute terminal.
TEST_F(ExchangeTest, ExchangeErrorNamesTheLinesFault) {
  use({kQuickHandshakeRetry, {Delay::kCtsAnswer, 20}, {Delay::kReplyWait, 100}});
  terminal.fault(FaultKind::kNoCtsAnswer, std::nullopt, sim::kAlways);
  auto& d = startDriver();
  const auto faultOf = [&] {
    try {
      d.tsReset();
    } catch (const Exception& e) {
      return e.lineFault();
    }
    return LineFault::kNone;
  };
  EXPECT_EQ(faultOf(), LineFault::kNoAnswer);
  terminal.sim->clearFaults();
  terminal.fault(FaultKind::kSilence, std::nullopt, sim::kAlways);
  EXPECT_EQ(faultOf(), LineFault::kNoReply);
}

}  // namespace
}  // namespace vexcard::test
