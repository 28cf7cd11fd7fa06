// The terminal served over TCP, as the simulator program will serve it: the RFC 2217 server
// on one end of a virtual line, the network serial port as the driver's end.
#include <gtest/gtest.h>

#include "sim/sim_requests.h"
#include "sim/simulator_fixture.h"

namespace vexcard::sim {
namespace {

TEST_F(NetworkSimulatorTest, ExchangesWithHandshakeAndRetry) {
  sim_->injectFault(FaultRule::of(FaultKind::kBadChecksum).on(cmd::tsSale));
  const Bytes sale = request(2, simtest::saleCmd(1, 92, 1000, 100));
  int n = 0;
  for (const Bytes& text : {request(1, {0x0A}), sale, sale, request(3, {0x0A})}) {
    ++n;
    // As the driver does: RTS up, then wait for CTS to go low. The network port learns the
    // line's first state without an event, so only a CTS change seen after the raise counts.
    const std::uint64_t seen = driver_->ctsEvents();
    driver_->setRts(true);
    ASSERT_TRUE(driver_->waitForCts(false, kWait, seen + 1)) << "request " << n;
    send(text);
    const auto reply = driver_->readThrough(kEtx, kWait);
    ASSERT_TRUE(reply);
    const DecodedFrame f = decodeFrameText(*reply);
    const std::uint64_t before = driver_->ctsEvents();
    driver_->setRts(false);
    if (n == 2) {
      EXPECT_EQ(f.error, FrameError::kBadChecksum);
      // The driver's next try comes a pause later: let the terminal see the drop first. After
      // good replies the drop and the next raise reach the terminal back to back.
      ASSERT_TRUE(driver_->waitForCts(true, kWait, before + 1));
    } else {
      ASSERT_EQ(f.error, FrameError::kNone);
      EXPECT_EQ(f.body[0], decodeFrameText(text).body[0]);
    }
  }
  EXPECT_EQ(sim_->sales().size(), 1u);
  const SimulatorCounters c = sim_->counters();
  EXPECT_EQ(c.requests, 4u);
  EXPECT_EQ(c.replayed, 1u);
  EXPECT_EQ(c.handshakes, 4u);
}

}  // namespace
}  // namespace vexcard::sim
