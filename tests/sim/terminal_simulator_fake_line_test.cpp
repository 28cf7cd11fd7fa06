// Simulator tests that need the fake line: holding the terminal's events, counting its
// writes.
#include <gtest/gtest.h>

#include "sim/simulator_fixture.h"

namespace vexcard::sim {
namespace {

TEST_F(FakeLineSimulatorTest, AnswersAHandshakeItSawLate) {
  handshakeAndSend(request(1, {0x0A}));
  ASSERT_TRUE(driver_->readThrough(kEtx, kWait));
  ASSERT_TRUE(sim_->waitForHandled(1, kWait));
  // After the reply the driver drops and raises RTS before the terminal looks at the line.
  fake_->holdPeerEvents(true);
  driver_->setRts(false);
  driver_->setRts(true);
  fake_->holdPeerEvents(false);
  ASSERT_TRUE(sim_->waitFor([](const SimulatorCounters& c) { return c.handshakes == 2; }, kWait));
  EXPECT_FALSE(driver_->cts());
  EXPECT_EQ(
      sim_->lineEvents(),
      (std::vector<LineEvent>{LineEvent::kCtsRose, LineEvent::kRtsDropped, LineEvent::kCtsFell,
                              LineEvent::kRtsRaised, LineEvent::kCtsRose, LineEvent::kRtsDropped}));
  EXPECT_EQ(body(exchange(request(2, {0x0A})))[0], 2);
}

TEST_F(FakeLineSimulatorTest, SpoiledReplies) {
  sim_->injectFault(FaultRule::of(FaultKind::kWrongTerminator));
  sim_->injectFault(FaultRule::of(FaultKind::kGarbageBefore).withGarbage({0x00, '?', '\r'}));
  sim_->injectFault(FaultRule::of(FaultKind::kTrickle));

  Bytes r = exchange(request(1, {0x0A}), 0x0D);
  EXPECT_EQ(r.back(), 0x0D);
  r.back() = kEtx;
  EXPECT_EQ(body(r)[0], 1);  // the frame itself is sound

  r = exchange(request(2, {0x0A}));
  ASSERT_GT(r.size(), 3u);
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 3), (Bytes{0x00, '?', '\r'}));
  EXPECT_EQ(body(Bytes(r.begin() + 3, r.end()))[0], 2);

  r = exchange(request(3, {0x0A}));
  EXPECT_EQ(body(r)[0], 3);
  // The terminal wrote each of the first two replies at once, the third byte by byte.
  const auto sizes = fake_->peerWriteSizes();
  ASSERT_EQ(sizes.size(), 2 + r.size());
  EXPECT_GT(sizes[1], 1u);
  for (std::size_t i = 2; i < sizes.size(); ++i) EXPECT_EQ(sizes[i], 1u);
}

}  // namespace
}  // namespace vexcard::sim
