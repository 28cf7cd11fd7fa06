// Bonus-card sales and refunds through the table: BonusSaleEx (slot 22), BonusSaleExStr
// (28), BonusSale (11), SubSchet (4) and RefundSale (15).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "integration/host_fixture.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;
using sim::Bytes;
using Codes = std::vector<std::uint8_t>;

constexpr std::uint8_t kReset = 0x00, kSale = 0x08, kRefund = 0x09, kReadCard = 0x0A,
                       kRefundReset = 0x0D, kDebit = 0x0E;
constexpr std::size_t kBlockAt = 32;
constexpr double kInf =
    std::numeric_limits<double>::infinity();  // the card block inside tsRefund and tsRefundReset

class BonusSaleTest : public HostTest {
 protected:
  // A bonus card with a 10 % discount.
  void startBonus(std::uint8_t status2 = 0x01) {
    start(simCard("bonus", 0x00, status2, 1000000, 1000));
  }

  TBonusResult sale(char mode, std::uint8_t purse, double qty, double sum,
                    std::uint8_t* block = nullptr, std::int32_t high = -1) {
    TBonusResult r = filled<TBonusResult>();
    callSlot<BonusSaleExFn>(host, 22, &r, host, mode, purse, qty, sum, nullptr, nullptr, nullptr,
                            block, high);
    return r;
  }
  Bytes blockOf(const Bytes& refund) const {
    return Bytes(refund.begin() + kBlockAt, refund.begin() + kBlockAt + 79);
  }
};

TEST_F(BonusSaleTest, OneSaleFromCardReadToResultLine) {
  startBonus();
  std::array<std::uint8_t, 79> block{};
  const TBonusResult r = sale('A', 19, 20, 370, block.data(), 78);

  const auto cmds = terminal.commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[0], Bytes{kReadCard});
  const Bytes head{0x08, 0x01, 0x00, 0x01, 0x5C, 0x00, 0x00, 0x00, 0x80, 0xA8,
                   0x2D, 0x39, 0x32, 0,    0,    0,    0,    0,    0,    0,
                   0xFE, 0x3A, 0x07, 0x00, 0xFE, 0xD0, 0x07, 0x00};
  EXPECT_EQ(Bytes(cmds[1].begin(), cmds[1].begin() + 28), head);
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.Incomplete, 0);
  EXPECT_EQ(r.CardType.view(), "1000");
  EXPECT_EQ(r.CardNumber.view(), "2123456789012345");
  EXPECT_EQ(r.SummaSk, 333.0);
  EXPECT_EQ(r.CosteSK, 16.65);
  EXPECT_NEAR(r.Skidka, 10.0, 1e-12);
  EXPECT_EQ(r.Gap1[0], 0xAA);
  EXPECT_EQ(r.Gap26[0], 0xAA);
  EXPECT_EQ(r.Gap40[15], 0xAA);
  const auto sales = terminal.sim->sales();
  ASSERT_EQ(sales.size(), 1u);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), sales[0].block.begin()));
  EXPECT_EQ(drv().TransactionNo, 2);

  EXPECT_EQ(env.countLogPrefix("ЗВК"_w1251), 4u);
  EXPECT_EQ(env.countLog("ЗВК tsReadCard... "_w1251), 1u);
  EXPECT_EQ(env.countLog("ЗВК tsReadCard прошел "_w1251), 1u);
  EXPECT_EQ(env.countLog("ЗВК, попытка продажи: карта 1000 2123456789012345 Кош: 19 Аи-92 "
                         "Цена: 18.5 Колво: 20"_w1251),
            1u);
  EXPECT_EQ(env.countLog("ЗВК, результат продажи: карта 1000 2123456789012345 Кош: 19 Аи-92 "
                         "SummaSk: 333 Skidka: 10 CosteSK: 16.65"_w1251),
            1u);

  // CosteSK is SummaSk / Qty rounded to hundredths, not cut.
  const TBonusResult three = sale('A', 19, 3, 10);
  EXPECT_EQ(three.SummaSk, 8.99);
  EXPECT_EQ(three.CosteSK, 3.0);  // of 2.99666…
}

// A final 0x01 on the sale: the terminal took it, how it ended is unknown. The host gets
// the exchange error with that code in Status, never a result made of another reply.
TEST_F(BonusSaleTest, SaleWhoseOutcomeIsUnknownFailsWithItsCode) {
  startBonus();
  terminal.replyCode(0x01, kSale);
  TBonusResult r = filled<TBonusResult>();
  EXPECT_THROW(callSlot<BonusSaleExFn>(host, 22, &r, host, 'A', 19, 20.0, 370.0, nullptr, nullptr,
                                       nullptr, nullptr, -1),
               Exception);
  EXPECT_EQ(codes(), (Codes{kReadCard, kSale, kReset}));
  EXPECT_EQ(r.Status, 0x01);
  EXPECT_EQ(r.SummaSk, filled<TBonusResult>().SummaSk);
  // The terminal may have recorded the sale under transaction 1: the next one carries 2,
  // and the line to reconcile names the figures.
  EXPECT_EQ(drv().TransactionNo, 2);
  EXPECT_EQ(env.countLog("Результат операции неизвестен: tsSale транзакция 1 Кош: 19 Аи-92 "
                         "Цена: 18.5 Колво: 20"_w1251),
            1u);
  EXPECT_EQ(drv().LastLineOutcome, link::RequestOutcome::kUnknown);
  // The tsReset after a final 0x01 fails as well: Status is still the sale's 0x01.
  terminal.replyCode(0x01, kSale);
  terminal.fault(sim::FaultKind::kWrongTerminator, kReset, sim::kAlways);
  use({kQuickHandshakeRetry});
  r = filled<TBonusResult>();
  EXPECT_THROW(callSlot<BonusSaleExFn>(host, 22, &r, host, 'A', 19, 20.0, 370.0, nullptr, nullptr,
                                       nullptr, nullptr, -1),
               Exception);
  EXPECT_EQ(r.Status, 0x01);
  EXPECT_EQ(terminal.commands()[4][1], 2);  // the second sale's transaction
  EXPECT_EQ(
      env.countLog("Команда принята терминалом, но не завершена: ее результат неизвестен"_w1251),
      2u);
  EXPECT_EQ(drv().TransactionNo, 3);
}

// A sale whose frame went out advances the transaction number whatever came back (a lost
// reply, "N"); a refund that never left (no hand-shake answer) does not.
TEST_F(BonusSaleTest, TransactionNumberAdvancesOnceTheRequestReachedTheLine) {
  startBonus();
  use({kQuickHandshakeRetry, {Delay::kReplyWait, 100}});
  terminal.fault(sim::FaultKind::kBadChecksum, kSale, 5);
  EXPECT_THROW(sale('A', 19, 20, 370), Exception);
  EXPECT_EQ(drv().TransactionNo, 2);
  EXPECT_EQ(drv().LastLineOutcome, link::RequestOutcome::kUnknown);
  terminal.fault(sim::FaultKind::kRefuse, kSale, 5);
  EXPECT_THROW(sale('A', 19, 20, 370), Exception);
  EXPECT_EQ(drv().TransactionNo, 3);
  EXPECT_EQ(drv().LastLineOutcome, link::RequestOutcome::kNotCarriedOut);
  // Only the lost reply is to be reconciled.
  EXPECT_EQ(env.countLogPrefix("Результат операции неизвестен: tsSale транзакция 1 "_w1251), 1u);
  EXPECT_EQ(env.countLogPrefix("Результат операции неизвестен"_w1251), 1u);

  use({{Delay::kCtsAnswer, 20}});
  terminal.fault(sim::FaultKind::kNoCtsAnswer, std::nullopt, sim::kAlways);
  std::uint8_t status = 0xFF;
  EXPECT_THROW(callSlot<RefundSaleFn>(host, 15, &status, host, std::uint8_t{1}, nullptr, nullptr,
                                      nullptr, -1, std::uint8_t{2}, 1.0, 1.0, std::uint8_t{0}),
               Exception);
  EXPECT_EQ(drv().LastLineOutcome, link::RequestOutcome::kNotCarriedOut);
  EXPECT_EQ(drv().TransactionNo, 3);
}

TEST_F(BonusSaleTest, QuantityZeroOnlyReadsTheCard) {
  startBonus();
  const TBonusResult r = sale('A', 19, 0, 370);
  EXPECT_EQ(codes(), Codes{kReadCard});
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.CardType.view(), "1000");
  EXPECT_EQ(r.Incomplete, 0xAA);
  EXPECT_EQ(r.SummaSk, filled<TBonusResult>().SummaSk);
  EXPECT_EQ(env.countLogPrefix("ЗВК"_w1251), 2u);
}

TEST_F(BonusSaleTest, DebitModeSendsNoTransactionNumberYetCountsOne) {
  startBonus();
  sale('M', 2, 2, 100);
  const auto cmds = terminal.commands();
  ASSERT_EQ(codes(), (Codes{kReadCard, kDebit}));
  EXPECT_EQ(cmds[1][1], 1);
  EXPECT_EQ(drv().TransactionNo, 2);
}

TEST_F(BonusSaleTest, CardTextsCutInTheShortRecordAndWholeInTheLongOne) {
  start(simCard("k", 0x12, 0x35));
  EXPECT_EQ(sale('A', 2, 0, 1).CardType.view(), "1123");

  TBonusResultStr r = filled<TBonusResultStr>();
  LongString oldType("old");
  r.CardType = oldType.get();
  longStrAddRef(r.CardType);  // the record's own reference
  r.CardNumber = nullptr;
  callSlot<BonusSaleExStrFn>(host, 28, &r, host, 'A', std::uint8_t{2}, 0.0, 1.0, nullptr, nullptr,
                             nullptr, nullptr, -1);
  EXPECT_EQ(oldType.refCount(), 1);  // the record's reference was released
  EXPECT_EQ(longStrView(r.CardType), "11235");
  EXPECT_EQ(longStrView(r.CardNumber), "212345678901234567890");
  EXPECT_EQ(longStrRefCount(r.CardType), 1);
  longStrRelease(r.CardType);
  longStrRelease(r.CardNumber);
}

TEST_F(BonusSaleTest, OnlyCardsWithLowBitsOneAreBonusCards) {
  start(simCard("k", 0x00, 0x02));
  TBonusResult r = filled<TBonusResult>();
  try {
    callSlot<BonusSaleExFn>(host, 22, &r, host, 'A', std::uint8_t{2}, 1.0, 1.0, nullptr, nullptr,
                            nullptr, nullptr, -1);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Это не БОНУС-карта"_w1251);
  }
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(codes(), Codes{kReadCard});
}

TEST_F(BonusSaleTest, RefundSendsTheBlockAndIsResetWhenTheTerminalRefusesIt) {
  startBonus();
  std::array<std::uint8_t, 79> block{};
  sale('A', 2, 2, 100, block.data(), 78);
  terminal.sim->clearRecords();

  terminal.replyCode(0x8D, kRefund);
  const TBonusResult r = sale('+', 2, 2, 100, block.data(), 78);
  EXPECT_EQ(codes(), (Codes{kReadCard, kRefund, kReset, kRefundReset}));
  const auto cmds = terminal.commands();
  EXPECT_EQ(blockOf(cmds[1]), Bytes(block.begin(), block.end()));
  EXPECT_EQ(blockOf(cmds[3]), Bytes(block.begin(), block.end()));
  EXPECT_EQ(cmds[3][1], 3);  // the transaction number after the refused refund
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.Incomplete, 0xAA);
  EXPECT_EQ(drv().TransactionNo, 4);
  EXPECT_TRUE(terminal.sim->sales()[0].refunded);

  // A refund answered with a final 0x01 may have been made: no compensation follows.
  terminal.sim->clearRecords();
  terminal.replyCode(0x01, kRefund);
  TBonusResult unknown = filled<TBonusResult>();
  EXPECT_THROW(callSlot<BonusSaleExFn>(host, 22, &unknown, host, '+', 2, 2.0, 100.0, nullptr,
                                       nullptr, nullptr, block.data(), 78),
               Exception);
  EXPECT_EQ(codes(), (Codes{kReadCard, kRefund, kReset}));
  EXPECT_EQ(unknown.Status, 0x01);
}

TEST_F(BonusSaleTest, RefundCompensatesANonBonusCardButNotAMissingProduct) {
  start(simCard("k", 0x00, 0x00));
  std::array<std::uint8_t, 78> shortBlock{};
  shortBlock.fill(0x11);
  EXPECT_THROW(sale('+', 2, 1, 1, shortBlock.data(), 77), Exception);  // refused by the sim
  EXPECT_EQ(codes(), (Codes{kReadCard, kReset, kRefundReset}));
  EXPECT_EQ(blockOf(terminal.commands()[2]), Bytes(79, 0));

  terminal.sim->clearRecords();
  try {
    sale('+', 0, 1, 1);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Не указан код товара (кошелек = 0)"_w1251);
  }
  EXPECT_EQ(codes(), Codes{kReadCard});
}

TEST_F(BonusSaleTest, BonusSaleRefundCarriesZeroBytes) {
  startBonus();
  TBonusResult r = filled<TBonusResult>();
  EXPECT_THROW(
      callSlot<BonusSaleFn>(host, 11, &r, host, '+', std::uint8_t{2}, 1.0, 1.0, nullptr, nullptr),
      Exception);
  ASSERT_EQ(codes(), (Codes{kReadCard, kRefund, kReset, kRefundReset}));
  EXPECT_EQ(blockOf(terminal.commands()[1]), Bytes(79, 0));
}

TEST_F(BonusSaleTest, FiguresThatCannotBeSentAreRefusedBeforeAnything) {
  startBonus();
  const struct {
    char mode;
    double qty, sum;
  } refused[] = {{'+', 0, 10},  {'A', 2, 0},  {'A', 1, std::nan("")}, {'A', -kInf, 1},
                 {'+', -1, 10}, {'A', 1, -5}, {'A', 200000, 200000},  {'M', 0.5, 100000}};
  for (const auto& c : refused) {
    TBonusResult r = filled<TBonusResult>();
    EXPECT_THROW(callSlot<BonusSaleExFn>(host, 22, &r, host, c.mode, std::uint8_t{2}, c.qty, c.sum,
                                         nullptr, nullptr, nullptr, nullptr, -1),
                 Exception)
        << c.mode << " " << c.qty << " " << c.sum;
    EXPECT_EQ(r.Status, 0xFF);
  }
  TSaleResult s = filled<TSaleResult>();
  EXPECT_THROW(callSlot<SubSchetFn>(host, 4, &s, host, std::uint8_t{2}, 0.0, 1.0), Exception);
  std::uint8_t status = 0x42;
  EXPECT_THROW(callSlot<RefundSaleFn>(host, 15, &status, host, std::uint8_t{1}, nullptr, nullptr,
                                      nullptr, -1, std::uint8_t{2}, 0.0, 1.0, std::uint8_t{0}),
               Exception);
  EXPECT_EQ(status, 0x42);
  EXPECT_TRUE(terminal.commands().empty());
}

TEST_F(BonusSaleTest, SubSchetSellsOnAnyCardAndReportsTheUndiscountedRest) {
  start(simCard("k", 0x00, 0x02, 1000000, 2500));
  TSaleResult r = filled<TSaleResult>();
  callSlot<SubSchetFn>(host, 4, &r, host, std::uint8_t{2}, 2.0, 10.0);
  EXPECT_EQ(codes(), (Codes{kReadCard, kSale}));
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.CardPrefix.view(), "1234");
  EXPECT_EQ(r.CardNumber.view(), "5678901234567890");
  EXPECT_EQ(r.ExtraText.length(), 0);
  EXPECT_EQ(r.Amount, 2.5);  // 10.00 - 7.50
  EXPECT_EQ(r.Word56, 0);
  EXPECT_EQ(env.countLogPrefix("ЗВК"_w1251), 0u);

  // RefundSale gives it back with the block of the sale; only Status is written.
  const auto block = terminal.sim->sales()[0].block;
  std::uint8_t status[2] = {0x42, 0x42};
  callSlot<RefundSaleFn>(host, 15, status, host, std::uint8_t{7}, nullptr, nullptr, block.data(),
                         78, std::uint8_t{2}, 2.0, 10.0, std::uint8_t{1});
  EXPECT_EQ(codes(), (Codes{kReadCard, kSale, kReset, kRefundReset}));
  EXPECT_EQ(terminal.commands()[3][3], 7);
  EXPECT_EQ(status[0], 0);
  EXPECT_EQ(status[1], 0x42);
  EXPECT_EQ(drv().TransactionNo, 3);
}

}  // namespace
}  // namespace vexcard::test
