#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_requests.h"
#include "sim/simulator_fixture.h"
#include "vexcard/exception.h"

namespace vexcard::sim {
namespace {

TEST_F(SimulatorTest, AnswersRtsByTakingCtsLow) {
  EXPECT_TRUE(driver_->cts());  // RTS raised from the start
  driver_->setRts(true);
  ASSERT_TRUE(driver_->waitForCts(false, kWait));
  driver_->setRts(false);
  ASSERT_TRUE(driver_->waitForCts(true, kWait));
  ASSERT_TRUE(sim_->waitFor([](const SimulatorCounters& c) { return c.lineEvents >= 4; }, kWait));
  EXPECT_EQ(sim_->lineEvents(),
            (std::vector<LineEvent>{LineEvent::kCtsRose, LineEvent::kRtsDropped,
                                    LineEvent::kCtsFell, LineEvent::kRtsRaised}));
  EXPECT_EQ(sim_->counters().handshakes, 1u);
}

TEST_F(SimulatorTest, AnswersARequestAndRecordsIt) {
  const Bytes text = request(0x21, {0x0A});
  const Bytes reply = exchange(text);
  const Bytes b = body(reply);
  ASSERT_EQ(b.size(), 35u);
  EXPECT_EQ(b[0], 0x21);
  EXPECT_EQ(b[1], 0x0A);
  EXPECT_EQ(b[2], 0x00);
  EXPECT_EQ(b[4], 2);

  ASSERT_TRUE(sim_->waitForHandled(1, kWait));
  const auto records = sim_->requests();
  ASSERT_EQ(records.size(), 1u);
  const RequestRecord& r = records[0];
  EXPECT_TRUE(r.valid());
  EXPECT_EQ(r.wire, text);
  EXPECT_EQ(r.packetIndex, 0x21);
  EXPECT_EQ(r.command, Bytes{0x0A});
  EXPECT_TRUE(r.handshaken);
  EXPECT_FALSE(r.fault);
  EXPECT_EQ(r.replyBody, b);
  EXPECT_EQ(r.replyWire, reply);
  const SimulatorCounters c = sim_->counters();
  EXPECT_EQ(c.requests, 1u);
  EXPECT_EQ(c.replies, 1u);
  EXPECT_EQ(c.malformed, 0u);
}

// The observer of a live display sees each step in the order of the line.
TEST_F(SimulatorTest, ObserverSeesTheLineInOrder) {
  std::mutex m;
  std::vector<std::string> seen;
  const auto note = [&](std::string s) {
    std::lock_guard<std::mutex> g(m);
    seen.push_back(std::move(s));
  };
  SimulatorObserver o;
  o.request = [&](const RequestRecord& r) { note("request " + std::to_string(r.commandCode())); };
  o.answer = [&](const Bytes& wire, bool ok) {
    note("answer " + std::to_string(ok ? wire.size() : 0));
  };
  o.line = [&](LineEvent e) { note("line " + std::to_string(static_cast<int>(e))); };
  sim_->setObserver(o);
  const Bytes reply = exchange(request(0x21, {0x0A}));
  ASSERT_TRUE(sim_->waitFor([](const SimulatorCounters& c) { return c.lineEvents >= 4; }, kWait));
  sim_->setObserver({});
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(seen, (std::vector<std::string>{"line 0", "line 2", "request 10",
                                            "answer " + std::to_string(reply.size()), "line 1",
                                            "line 3"}));
}

TEST_F(SimulatorTest, IgnoresMalformedRequests) {
  Bytes badSum = request(1, {0x0A});
  badSum[badSum.size() - 2] ^= 0x01;
  Bytes tooLong(kMaxRequestText, 'A');
  handshakeAndSend(badSum);
  send(tooLong);
  ASSERT_TRUE(sim_->waitForHandled(2, kWait));
  EXPECT_TRUE(driver_->drain().empty());  // nothing answered
  finish();
  const auto records = sim_->requests();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].error, FrameError::kBadChecksum);
  EXPECT_EQ(records[1].error, FrameError::kTooLong);
  EXPECT_EQ(sim_->counters().malformed, 2u);
  EXPECT_EQ(body(exchange(request(2, {0x0A})))[0], 2);  // the next request is answered
}

TEST_F(SimulatorTest, RetryOfARequestGetsTheStoredReplyWithoutARepeatedSale) {
  sim_->injectFault(FaultRule::of(FaultKind::kBadChecksum).on(cmd::tsSale));
  const Bytes sale = request(9, simtest::saleCmd(1, 92, 1000, 100));
  const Bytes first = exchange(sale);
  EXPECT_EQ(decodeFrameText(first).error, FrameError::kBadChecksum);
  const Bytes second = exchange(sale);
  ASSERT_EQ(body(second).size(), 102u);
  EXPECT_EQ(sim_->sales().size(), 1u);
  EXPECT_EQ(sim_->card("bonus")->balance, 100000 - 1000);
  ASSERT_TRUE(sim_->waitForHandled(2, kWait));
  EXPECT_TRUE(sim_->requests()[1].replayed);
  EXPECT_EQ(sim_->counters().replayed, 1u);
}

TEST_F(SimulatorTest, NoCtsAnswerFault) {
  sim_->injectFault(FaultRule::of(FaultKind::kNoCtsAnswer));
  driver_->setRts(true);
  ASSERT_TRUE(
      sim_->waitFor([](const SimulatorCounters& c) { return c.handshakesIgnored == 1; }, kWait));
  EXPECT_TRUE(driver_->cts());
  driver_->setRts(false);
  ASSERT_TRUE(sim_->waitFor([](const SimulatorCounters& c) { return c.lineEvents == 3; }, kWait));
  EXPECT_EQ(sim_->lineEvents(),
            (std::vector<LineEvent>{LineEvent::kCtsRose, LineEvent::kHandshakeIgnored,
                                    LineEvent::kCtsFell}));
  EXPECT_EQ(body(exchange(request(1, {0x0A})))[2], 0);  // once, then the terminal behaves
  EXPECT_EQ(sim_->pendingFaults(), 0u);
}

TEST_F(SimulatorTest, RefusalAndSilenceLeaveTheCommandUndone) {
  sim_->injectFault(FaultRule::of(FaultKind::kRefuse).on(cmd::tsSale));
  sim_->injectFault(FaultRule::of(FaultKind::kSilence).on(cmd::tsSale));
  EXPECT_EQ(body(exchange(request(1, {0x0A})))[0], 1);  // other commands are not touched
  EXPECT_EQ(exchange(request(2, simtest::saleCmd(1, 92, 100, 100)), 'N'), Bytes{'N'});

  handshakeAndSend(request(3, simtest::saleCmd(1, 92, 100, 100)));
  ASSERT_TRUE(sim_->waitForHandled(3, kWait));
  EXPECT_TRUE(driver_->drain().empty());
  finish();
  EXPECT_TRUE(sim_->sales().empty());
  EXPECT_EQ(body(exchange(request(4, simtest::saleCmd(1, 92, 100, 100))))[0], 4);
  EXPECT_EQ(sim_->sales().size(), 1u);

  const SimulatorCounters c = sim_->counters();
  EXPECT_EQ(c.refusals, 1u);
  EXPECT_EQ(c.silenced, 1u);
  EXPECT_EQ(c.faults, 2u);
  const auto records = sim_->requests();
  EXPECT_EQ(records[1].fault, FaultKind::kRefuse);
  EXPECT_TRUE(records[1].replyBody.empty());
  EXPECT_EQ(records[2].fault, FaultKind::kSilence);
  EXPECT_TRUE(records[2].replyWire.empty());
}

TEST_F(SimulatorTest, ReplyCodeFaults) {
  sim_->injectFault(FaultRule::reply(0x81, 5).on(cmd::tsSale));
  sim_->injectFault(FaultRule::reply(0x8F).times(2));
  sim_->injectFault(FaultRule::reply(0x01).times(kAlways));

  Bytes b = body(exchange(request(1, simtest::saleCmd(1, 92, 100, 100))));
  EXPECT_EQ(b, (Bytes{1, 0x08, 0x81, 0, 5}));
  EXPECT_TRUE(sim_->sales().empty());
  for (std::uint8_t i = 2; i <= 3; ++i) {
    b = body(exchange(request(i, {0x0A})));
    EXPECT_EQ(b, (Bytes{i, 0x0A, 0x8F, 0, 2}));  // byte 4: the terminal's own shift
  }
  for (std::uint8_t i = 4; i <= 5; ++i) EXPECT_EQ(body(exchange(request(i, {0x0A})))[2], 0x01);
  EXPECT_EQ(sim_->pendingFaults(), 1u);
  sim_->clearFaults();
  EXPECT_EQ(body(exchange(request(6, {0x0A})))[2], 0);
}

// A skipping rule aims at its Nth match; a held late reply leaves its retries unanswered
// and goes out in place of the answer to the next other request.
TEST_F(SimulatorTest, SkippingRulesAndHeldLateReplies) {
  sim_->injectFault(FaultRule::of(FaultKind::kRefuse).on(cmd::tsReadCard).skipping(1));
  sim_->injectFault(FaultRule::of(FaultKind::kLateReply)
                        .on(cmd::tsReadCard)
                        .skipping(1)
                        .releasedAt(LateRelease::kNextReply));
  EXPECT_EQ(body(exchange(request(1, {0x0A})))[2], 0);             // skipped by both
  EXPECT_EQ(exchange(request(2, {0x0A}), 'N'), Bytes{'N'});         // the refusal's second
  const Bytes held = request(3, {0x0A});                            // the late reply's second
  for (int k = 0; k < 2; ++k) {
    handshakeAndSend(held);
    ASSERT_TRUE(sim_->waitForHandled(3 + static_cast<std::size_t>(k), kWait));
    EXPECT_TRUE(driver_->drain().empty());
    finish();
  }
  EXPECT_EQ(body(exchange(request(4, {0x0A})))[0], 3);  // request 3's reply, in 4's place
  EXPECT_EQ(body(exchange(request(5, {0x0A})))[0], 5);
  EXPECT_EQ(sim_->pendingFaults(), 0u);
}

TEST_F(SimulatorTest, RejectsUnusableFaultRules) {
  EXPECT_THROW(sim_->injectFault(FaultRule::of(FaultKind::kRefuse).times(0)), Exception);
  EXPECT_THROW(sim_->injectFault(FaultRule::of(FaultKind::kNoCtsAnswer).on(cmd::tsSale)),
               Exception);
  EXPECT_EQ(sim_->pendingFaults(), 0u);
}

TEST_F(SimulatorTest, StopCutsAPendingReplyShortAndRestarts) {
  EXPECT_FALSE(sim_->waitForRequests(1, 1));
  sim_->setReplyDelay(60000);
  handshakeAndSend(request(1, {0x0A}));
  ASSERT_TRUE(sim_->waitForRequests(1, kWait));
  sim_->stop();
  EXPECT_FALSE(sim_->running());
  EXPECT_TRUE(driver_->drain().empty());
  EXPECT_EQ(sim_->counters().replies, 0u);

  driver_->setRts(false);
  sim_->setReplyDelay(0);
  sim_->start();
  EXPECT_EQ(body(exchange(request(2, {0x0A})))[0], 2);
}

}  // namespace
}  // namespace vexcard::sim
