// Shift operations through the table, OpenShift (slot 13) and CloseShift (14), and the
// empty sale results of HostSlot5 and HostSlot6 against a live terminal.
#include <gtest/gtest.h>

#include <cmath>

#include "integration/host_fixture.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;

constexpr std::uint8_t kOpenShift = 0x03, kCloseShift = 0x04;

class ShiftTest : public HostTest {
 protected:
  void openShift(double date, std::uint8_t shift) {
    callSlot<OpenShiftFn>(host, 13, host, date, shift);
  }
  void closeShift() { callSlot<CloseShiftFn>(host, 14, host); }
  const double date = platform::encodeOle({2007, 3, 5, 8, 0, 0, 0});
};

TEST_F(ShiftTest, OpenShiftNormalisesTheNumberAndKeepsTheDate) {
  start(simCard("c", 0, 0));
  openShift(date, 7);
  EXPECT_EQ(terminal.commands().back()[13], 1);
  EXPECT_EQ(drv().ShiftNo.load(), 1);
  EXPECT_EQ(drv().ShiftDate.load(), date);

  closeShift();
  openShift(date + 1, 0);
  EXPECT_EQ(terminal.commands().back()[13], 0);
  EXPECT_EQ(drv().ShiftNo.load(), 0);
  EXPECT_EQ(drv().ShiftDate.load(), date + 1);
}

TEST_F(ShiftTest, AlreadyOpenAndAlreadyClosedPassSilently) {
  start(simCard("c", 0, 0));
  openShift(date, 2);
  openShift(date, 2);  // 131
  closeShift();
  closeShift();  // 130
  const auto reqs = terminal.requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[1].replyCode(), 131);
  EXPECT_EQ(reqs[3].replyCode(), 130);
}

TEST_F(ShiftTest, OnlyAFailedExchangeRaises) {
  start(simCard("c", 0, 0));
  use({kQuickHandshakeRetry});
  terminal.fault(sim::FaultKind::kRefuse, kCloseShift, sim::kAlways);
  try {
    closeShift();
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Ошибка обмена с ридером"_w1251);
  }
  // A date that cannot be sent is refused before it becomes the shift date.
  terminal.sim->clearRecords();
  EXPECT_THROW(openShift(std::nan(""), 1), Exception);
  EXPECT_EQ(drv().ShiftDate.load(), 0.0);
  EXPECT_TRUE(terminal.commands().empty());
}

TEST_F(ShiftTest, EmptySaleResultsWhateverTheTerminalsState) {
  start(simCard("c", 0, 0));
  terminal.sim->removeCard();
  TSaleResult r5 = filled<TSaleResult>();
  callSlot<HostSlot5Fn>(host, 5, &r5, host, 1u, 2u, 3u);
  TSaleResult r6 = filled<TSaleResult>();
  callSlot<HostSlot6Fn>(host, 6, &r6, host);
  for (const TSaleResult& r : {r5, r6}) {
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.CardPrefix.length(), 0);
    EXPECT_EQ(r.CardNumber.length(), 0);
    EXPECT_EQ(r.ExtraText.length(), 0);
    EXPECT_EQ(r.Amount, 0.0);
    EXPECT_EQ(r.Word56, 0xAAAA);  // not written
    EXPECT_EQ(r.Word58, 0xAAAA);
  }
  EXPECT_TRUE(terminal.commands().empty());
}

}  // namespace
}  // namespace vexcard::test
