#include "terminal-sim/terminal_model.h"

#include <gtest/gtest.h>

#include "sim/sim_requests.h"
#include "vexcard/exception.h"

namespace vexcard::sim {
namespace {

using simtest::moneyAt;
using simtest::openShiftCmd;
using simtest::quantityCmd;
using simtest::queryPurseCmd;
using simtest::refundCmd;
using simtest::saleCmd;

constexpr char kConfig[] = R"(
shift open 3
card bonus 12345678901234567890
  status 00 01
  balance 1000.00
  discount 5
  discount 92 10
  purse 92 19 150.00
  purse 2 2
card fleet 00000000000000000042
  balance 50.00
card stolen 99999999999999999999
  blocked
insert bonus
)";

class TerminalModelTest : public ::testing::Test {
 protected:
  TerminalModel model_{parseSimulatorConfig(kConfig)};
  std::uint8_t index_ = 0x10;
  Bytes run(const Bytes& command) { return model_.execute(++index_, command); }
  std::int64_t balance(const char* name) { return model_.card(name)->balance; }
};

TEST_F(TerminalModelTest, ReadCardLayout) {
  const Bytes r = run({0x0A});
  ASSERT_GE(r.size(), 35u);
  EXPECT_EQ(r[0], index_);
  EXPECT_EQ(r[1], 0x0A);
  EXPECT_EQ(r[2], 0x00);
  EXPECT_EQ(r[4], 3);  // the open shift
  EXPECT_EQ(Bytes(r.begin() + 11, r.begin() + 15), (Bytes{0xFE, 0xA0, 0x86, 0x01}));  // 1000.00
  EXPECT_EQ(Bytes(r.begin() + 23, r.begin() + 33),
            (Bytes{0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90}));
  EXPECT_EQ(r[33], 0x00);
  EXPECT_EQ(r[34], 0x01);
}

TEST_F(TerminalModelTest, RefusesWithoutCardBlockedCardAndUnknownCommands) {
  model_.removeCard();
  for (const Bytes& c : {Bytes{0x0A}, Bytes{0x06, 16}, saleCmd(1, 92, 100, 100),
                         quantityCmd(0x0E, 1, 92, 100, 100)}) {
    EXPECT_EQ(run(c)[2], 0x87) << int(c[0]);
  }
  ASSERT_TRUE(model_.insertCard("stolen"));
  EXPECT_EQ(run({0x0A})[2], 0x8C);
  EXPECT_EQ(run(saleCmd(1, 92, 100, 100))[2], 0x8C);
  EXPECT_FALSE(model_.insertCard("nobody"));
  EXPECT_EQ(model_.insertedCard()->name, "stolen");

  const Bytes unknown = run({0x02});
  EXPECT_EQ(unknown, (Bytes{index_, 0x02, 0x80, 0x00, 3}));
  EXPECT_EQ(run({0x0A, 0x00})[2], 0x80);  // parameters a read-card request does not have
}

TEST_F(TerminalModelTest, PurseDialog) {
  const Bytes sel = run({0x06, 16});
  ASSERT_GE(sel.size(), 12u);
  ASSERT_EQ(sel[2], 0);
  const std::uint8_t h = sel[11];
  EXPECT_NE(h, 0);

  Bytes r = run(queryPurseCmd(h, 92));
  ASSERT_GE(r.size(), 12u);
  EXPECT_EQ(r[2], 0);
  EXPECT_EQ(r[11], 19);
  EXPECT_EQ(run(queryPurseCmd(h, 95))[11], 0);  // no purse for that product
  EXPECT_EQ(run(queryPurseCmd(static_cast<std::uint8_t>(h + 1), 92))[2], 0x84);

  r = run(quantityCmd(0x07, h, 92, 230, 90000));  // 2.30 x 900.00, limit 150.00
  ASSERT_GE(r.size(), 15u);
  EXPECT_EQ(r[2], 0);
  EXPECT_EQ(moneyAt(r, 11), 15000);
  EXPECT_EQ(moneyAt(run(quantityCmd(0x07, h, 2, 250, 4000)), 11), 4000);  // no limit
  EXPECT_EQ(run(quantityCmd(0x07, h, 95, 250, 4000))[2], 0x91);

  EXPECT_EQ(run({0x01})[2], 0);  // tsCloseSession ends the dialog
  EXPECT_EQ(run(queryPurseCmd(h, 92))[2], 0x84);
}

TEST_F(TerminalModelTest, SaleLayoutDiscountAndBalance) {
  // 18.50 x 20.00 = 370.00; product 92 has 10 % off: 333.00 charged.
  const Bytes r = run(saleCmd(0x0102, 92, 1850, 2000));
  ASSERT_GE(r.size(), 102u);
  EXPECT_EQ(r[1], 0x08);
  EXPECT_EQ(r[2], 0);
  EXPECT_EQ(moneyAt(r, 11), 37000);
  EXPECT_EQ(moneyAt(r, 15), 33300);
  EXPECT_EQ(moneyAt(r, 19), 37000);
  EXPECT_EQ(r[23], 0x12);
  EXPECT_EQ(r[32], 0x90);
  EXPECT_EQ(r[34], 0x01);  // the block starts with the card number and the status bytes
  EXPECT_EQ(balance("bonus"), 100000 - 33300);
  ASSERT_EQ(model_.sales().size(), 1u);
  EXPECT_EQ(model_.sales()[0].transactionNo, 0x0102);
  EXPECT_EQ(Bytes(r.begin() + 23, r.begin() + 102),
            Bytes(model_.sales()[0].block.begin(), model_.sales()[0].block.end()));

  // The card's default discount: 10.00 x 3.00 = 30.00, 5 % off.
  EXPECT_EQ(moneyAt(run(saleCmd(2, 2, 1000, 300)), 15), 2850);
}

TEST_F(TerminalModelTest, SaleRefusals) {
  EXPECT_EQ(run(saleCmd(1, 95, 100, 100))[2], 0x91);  // no purse for product 95
  ASSERT_TRUE(model_.insertCard("fleet"));            // no purses: every product sells
  const Bytes r = run(saleCmd(2, 95, 6000, 100));     // 60.00 against 50.00
  EXPECT_EQ(r.size(), 5u);
  EXPECT_EQ(r[2], 0x8A);
  EXPECT_EQ(balance("fleet"), 5000);
  EXPECT_TRUE(model_.sales().empty());
  EXPECT_EQ(run(saleCmd(3, 95, 5000, 100))[2], 0);
  EXPECT_EQ(balance("fleet"), 0);
}

TEST_F(TerminalModelTest, DebitIsAQuote) {
  const Bytes r = run(quantityCmd(0x0E, 7, 92, 1000, 500));
  ASSERT_GE(r.size(), 102u);
  EXPECT_EQ(moneyAt(r, 11), 5000);
  EXPECT_EQ(moneyAt(r, 15), 4500);
  EXPECT_EQ(balance("bonus"), 100000);
  const Bytes block(r.begin() + 23, r.begin() + 102);
  EXPECT_EQ(run(refundCmd(0x09, saleCmd(1, 92, 1000, 500), block))[2], 0x8D);
}

TEST_F(TerminalModelTest, RefundMatchesARecordedSale) {
  const Bytes sale = saleCmd(5, 92, 1000, 1000);  // 100.00, 90.00 charged
  const Bytes block = [&] {
    const Bytes r = run(sale);
    return Bytes(r.begin() + 23, r.begin() + 102);
  }();
  EXPECT_EQ(balance("bonus"), 91000);

  Bytes altered = block;
  altered[14] ^= 0x01;
  EXPECT_EQ(run(refundCmd(0x09, sale, altered))[2], 0x8D);
  EXPECT_EQ(run(refundCmd(0x09, sale, Bytes(79, 0)))[2], 0x8D);
  EXPECT_EQ(balance("bonus"), 91000);

  const Bytes r = run(refundCmd(0x0D, sale, block));
  EXPECT_EQ(r[1], 0x0D);
  EXPECT_EQ(r[2], 0);
  EXPECT_EQ(moneyAt(r, 11), 9000);
  EXPECT_EQ(moneyAt(r, 15), 100000);
  EXPECT_EQ(balance("bonus"), 100000);
  EXPECT_TRUE(model_.sales()[0].refunded);
  EXPECT_EQ(run(refundCmd(0x09, sale, block))[2], 0x8D);  // refunded once only
}

// The state a later run starts from: written as a configuration and read back, with the
// balances and the sales it can still refund; new sales number on after them.
TEST_F(TerminalModelTest, KeptStateRefundsAnEarlierRunsSale) {
  const Bytes sale = saleCmd(5, 92, 1000, 1000);
  const Bytes r = run(sale);
  const Bytes block(r.begin() + 23, r.begin() + 102);
  SimulatorConfig state = parseSimulatorConfig(kConfig);
  state.cards[0] = *model_.card("bonus");
  const SaleRecord& s = model_.sales()[0];
  state.sales.push_back({s.id, s.cardName, s.charged, block});
  state.lastBlock = block;
  const std::string text = formatSimulatorConfig(state);
  const SimulatorConfig again = parseSimulatorConfig(text);
  EXPECT_EQ(formatSimulatorConfig(again), text);
  EXPECT_EQ(again.lastBlock, block);

  TerminalModel later(again);
  EXPECT_EQ(later.card("bonus")->balance, 91000);
  EXPECT_EQ(later.execute(1, sale)[23 + 12], 2);  // the sale's number in its block
  EXPECT_EQ(later.execute(2, refundCmd(0x09, sale, block))[2], 0);
  EXPECT_EQ(later.card("bonus")->balance, 91000 - 9000 + 9000);
  EXPECT_EQ(later.execute(3, refundCmd(0x09, sale, block))[2], 0x8D);
  EXPECT_THROW(parseSimulatorConfig("card a 12345678901234567890\nsale 1 a 1.00 00"), Exception);
}

TEST_F(TerminalModelTest, ShiftCommands) {
  model_.setShift(false, 0);
  EXPECT_EQ(run({0x04})[2], 0x82);
  EXPECT_EQ(run({0x05})[2], 0x82);
  const Bytes opened = run(openShiftCmd(2));
  EXPECT_EQ(opened[2], 0);
  EXPECT_EQ(opened[4], 2);
  EXPECT_TRUE(model_.shift().open);
  EXPECT_EQ(model_.shift().shiftDate, (std::array<std::uint8_t, 6>{7, 3, 5, 8, 0, 0}));
  const Bytes again = run(openShiftCmd(4));
  EXPECT_EQ(again[2], 0x83);
  EXPECT_EQ(again[4], 2);
  const Bytes closed = run({0x04});
  EXPECT_EQ(closed[2], 0);
  EXPECT_EQ(closed[4], 0);
  EXPECT_FALSE(model_.shift().open);
}

TEST_F(TerminalModelTest, ShiftCheckAnswersOutOfStep) {
  EXPECT_EQ(run({0x0A})[2], 0);  // check off: no shift needed
  model_.setShiftCheck(true);
  model_.setShift(false, 0);
  Bytes r = run({0x0A});
  EXPECT_EQ(r[2], 0x81);
  EXPECT_EQ(r[4], 0);
  EXPECT_EQ(run({0x00, 0x19})[2], 0);  // tsReset is always answered
  EXPECT_EQ(run(openShiftCmd(4))[2], 0);
  EXPECT_EQ(run({0x0A})[2], 0);

  model_.setShiftOutOfStep();
  r = run(saleCmd(1, 92, 100, 100));
  EXPECT_EQ(r[2], 0x81);
  EXPECT_EQ(r[4], 4);
  EXPECT_TRUE(model_.sales().empty());
  EXPECT_EQ(run({0x05})[2], 0);  // tsResumeShift
  EXPECT_EQ(run({0x0A})[2], 0);
}

}  // namespace
}  // namespace vexcard::sim
