// Non-cash sales through the table: SubSchetEx (slot 12), CardQuantityEx (19) and
// CardQuantity (18), with DebitNonCash, which has no slot of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "integration/host_fixture.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;
using sim::Bytes;
using Codes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSale = 0x08, kReadCard = 0x0A, kDebit = 0x0E;

class NonCashTest : public HostTest {
 protected:
  TSaleResultEx subSchetEx(std::uint8_t purse, double qty, double sum) {
    TSaleResultEx r = filled<TSaleResultEx>();
    callSlot<SubSchetExFn>(host, 12, &r, host, std::uint8_t{3}, purse, qty, sum);
    return r;
  }
  TCardInfo cardQuantityEx(Currency& price) {
    TCardInfo r = filled<TCardInfo>();
    callSlot<CardQuantityExFn>(host, 19, &r, host, std::uint8_t{2}, &price);
    return r;
  }
};

TEST_F(NonCashTest, DiscountIsCutBySubSchetExAndRoundedByDebitNonCash) {
  // 2 x 1.50 = 3.00 before discount, 1.00 charged.
  start(simCard("n", 0x00, 0x00, 1000000, 6667));
  const TSaleResultEx r = subSchetEx(2, 2, 3);
  EXPECT_EQ(codes(), (Codes{kReadCard, kSale}));
  EXPECT_EQ(terminal.commands()[1][3], 3);  // the host's request byte
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.CardType.view(), "0000");
  EXPECT_EQ(r.CardNumber.view(), kCardDigits);
  EXPECT_EQ(r.SummaSk, 1.0);
  EXPECT_EQ(r.Skidka, 66.6);
  EXPECT_EQ(r.Amount, 2.0);
  EXPECT_EQ(r.CosteSK, 0.5);
  EXPECT_TRUE(std::equal(r.CardBlock, r.CardBlock + 79, terminal.sim->sales()[0].block.begin()));
  EXPECT_EQ(r.Gap147[0], 0xAA);
  EXPECT_EQ(env.countLog("SubSchetEx tsReadCard... "), 1u);
  EXPECT_EQ(env.countLog("SubSchetEx tsReadCard прошел "_w1251), 1u);
  EXPECT_EQ(env.countLog("Попытка продажи: карта 0000 12345678901234567890 Кош: 2 ДТ Цена: 1.5 "
                         "Колво: 2"_w1251),
            1u);
  EXPECT_EQ(env.countLog("Результат продажи: карта 0000 12345678901234567890 Кош: 2 ДТ "
                         "SummaSk: 1 Skidka: 66.6 CosteSK: 0.5"_w1251),
            1u);

  TSaleResultEx d = filled<TSaleResultEx>();
  drv().DebitNonCash(2, 2, 3, &d, 1);
  EXPECT_EQ(d.Skidka, 66.7);
  EXPECT_EQ(d.SummaSk, 1.0);
  EXPECT_EQ(d.Amount, 3.0);
  EXPECT_EQ(d.CardBlock[0], 0xAA);  // not written by DebitNonCash
  EXPECT_EQ(d.CosteSK, filled<TSaleResultEx>().CosteSK);
  EXPECT_EQ(terminal.commands().back()[1], 2);  // the low byte of TransactionNo
  EXPECT_EQ(drv().TransactionNo, 3);
}

TEST_F(NonCashTest, UnitPriceRoundsAHalfUpWhereTheBonusSaleRoundsToEven) {
  // 2 x 0.25 = 0.50 before discount, 0.25 charged.
  terminal.sim->addCard(simCard("bonus", 0x00, 0x01, 1000000, 5000, "00000000000000000001"));
  start(simCard("n", 0x00, 0x00, 1000000, 5000));
  EXPECT_EQ(subSchetEx(2, 2, 0.5).CosteSK, 0.13);
  subSchetEx(2, 11, 101.03);
  terminal.sim->insertCard("bonus");
  TBonusResult b = filled<TBonusResult>();
  callSlot<BonusSaleExFn>(host, 22, &b, host, 'A', std::uint8_t{2}, 2.0, 0.5, nullptr, nullptr,
                          nullptr, nullptr, -1);
  EXPECT_EQ(b.SummaSk, 0.25);
  EXPECT_EQ(b.CosteSK, 0.12);

  // Both attempt lines print Sum / Qty from extended precision, not from a double.
  callSlot<BonusSaleExFn>(host, 22, &b, host, 'A', std::uint8_t{2}, 11.0, 101.03, nullptr, nullptr,
                          nullptr, nullptr, -1);
  const auto texts = env.logTexts();
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) {
                            return t.ends_with(" Цена: 9.18454545454545 Колво: 11"_w1251);
                          }),
            2);
}

TEST_F(NonCashTest, TinyQuantitiesSkipTheSaleButStillWriteTheResultLine) {
  start(simCard("n", 0x00, 0x04));  // 4 AND 3 = 0: accepted
  for (double qty : {0.0, 0.0001, 0.00015}) {
    const TSaleResultEx r = subSchetEx(2, qty, 1);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.SummaSk, filled<TSaleResultEx>().SummaSk);
  }
  EXPECT_EQ(codes(), (Codes{kReadCard, kReadCard, kReadCard}));
  EXPECT_EQ(env.countLogPrefix("Попытка продажи"_w1251), 0u);
  EXPECT_EQ(env.countLogPrefix("Результат продажи"_w1251), 3u);
}

TEST_F(NonCashTest, QuantitiesFromTwoTenThousandthsOnAreSold) {
  start(simCard("n", 0x00, 0x00));
  // Such a quantity is 0.00 on the wire, so the terminal's sale amount is 0 and no discount
  // can be computed from it: the sale is made and then reported as an error.
  TSaleResultEx r = filled<TSaleResultEx>();
  EXPECT_THROW(
      callSlot<SubSchetExFn>(host, 12, &r, host, std::uint8_t{1}, std::uint8_t{2}, 0.0002, 0.002),
      Exception);
  EXPECT_EQ(codes(), (Codes{kReadCard, kSale}));
  EXPECT_EQ(r.Status, 0);
  EXPECT_TRUE(std::equal(r.CardBlock, r.CardBlock + 79, terminal.sim->sales()[0].block.begin()));

  // A negative quantity, and a Sum of 0, are refused before anything is sent.
  terminal.sim->clearRecords();
  EXPECT_THROW(subSchetEx(2, -1, 5), Exception);
  EXPECT_THROW(subSchetEx(2, 1, 0), Exception);
  EXPECT_TRUE(terminal.commands().empty());
}

TEST_F(NonCashTest, CardQuantityExWorkedExample) {
  start(simCard("n", 0x00, 0x00, 10000));  // balance 100.00
  Bytes figures = moneyBytes(9491);        // charged 94.91, then the third value 100.00
  const Bytes third = moneyBytes(10000);
  figures.insert(figures.end(), third.begin(), third.end());
  patchReply(kDebit, 15, figures);
  // The quote of 2.22 x 45.00 comes back as 94.91 charged and 100.00 as the third value.
  Currency price = Currency::fromRaw(450000);
  const TCardInfo r = cardQuantityEx(price);

  EXPECT_EQ(codes(), (Codes{kReadCard, kReadCard, kDebit}));
  const Bytes debit = terminal.commands()[2];
  EXPECT_EQ(Bytes(debit.begin() + 18, debit.end()),
            (Bytes{0xFE, 0x94, 0x11, 0x00, 0xFE, 0xDE, 0x00, 0x00}));  // 45.00 and 2.22
  EXPECT_EQ(price.raw, 427500);                                        // 42.75
  EXPECT_EQ(r.Available, 2.33);
  EXPECT_EQ(r.Available2, 2.33);
  EXPECT_EQ(r.Status, 0xF0);
  EXPECT_EQ(r.CardType.view(), "0000");
  EXPECT_EQ(r.CardDigits.view(), "901234");

  // CardQuantity: the same result; the host's price is passed by value and left alone.
  patchReply(kDebit, 15, figures);
  TCardInfo q = filled<TCardInfo>();
  const Currency hostPrice = Currency::fromRaw(450000);
  callSlot<CardQuantityFn>(host, 18, &q, host, std::uint8_t{2}, hostPrice);
  EXPECT_EQ(q.Available, 2.33);
  EXPECT_EQ(q.Status, 0xF0);
  EXPECT_EQ(hostPrice.raw, 450000);
}

TEST_F(NonCashTest, CardQuantityExKeepsThePriceWhenNoQuoteIsHad) {
  start(simCard("n", 0x00, 0x04, 4000));  // 40.00: 0.88 of a unit at 45.00
  Currency price = Currency::fromRaw(450000);
  TCardInfo r = cardQuantityEx(price);
  EXPECT_EQ(r.Status, 0xF0);  // DebitNonCash refused the card (second status byte 4)
  EXPECT_EQ(price.raw, 450000);
  EXPECT_EQ(codes(), (Codes{kReadCard, kReadCard}));  // and sent no debit

  terminal.sim->addCard(simCard("poor", 0x00, 0x00, 40, 0, "00000000000000000001"));
  terminal.sim->insertCard("poor");
  terminal.sim->clearRecords();
  r = cardQuantityEx(price);
  EXPECT_EQ(r.Available, 0.0);
  EXPECT_EQ(r.Status, 0xF0);
  EXPECT_EQ(price.raw, 450000);
  EXPECT_EQ(codes(), (Codes{kReadCard, kReadCard}));

  terminal.sim->clearRecords();
  price = Currency::fromRaw(0);
  EXPECT_THROW(cardQuantityEx(price), Exception);
  EXPECT_TRUE(terminal.commands().empty());
}

}  // namespace
}  // namespace vexcard::test
