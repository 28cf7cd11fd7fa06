// Card information and purse operations, called by a test host through the table: CardInfo
// (slot 7), OilLimit (9), OpenPurse (16) and ItemLimit (17).
#include <gtest/gtest.h>

#include "integration/host_fixture.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;
using sim::Bytes;

constexpr std::uint8_t kReadCard = 0x0A, kSelectPurse = 0x06, kCloseSession = 0x01,
                       kQueryPurse = 0x0B, kQueryQuantity = 0x07;

class CardInfoTest : public HostTest {
 protected:
  TCardInfo cardInfo() {
    TCardInfo r = filled<TCardInfo>();
    callSlot<CardInfoFn>(host, 7, &r, host, 0xDEADBEEFu);
    return r;
  }
};

TEST_F(CardInfoTest, StatusFollowsTheCardTypeReadAsADecimalNumber) {
  terminal.sim->addCard(simCard("t0100", 0x01, 0x00, 10000));
  terminal.sim->addCard(simCard("t0200", 0x02, 0x00, 0, 0, "00000000000000000002"));
  terminal.sim->addCard(simCard("t0000", 0x00, 0x00, 0, 0, "00000000000000000003"));
  start(simCard("t0001", 0x00, 0x01, 0, 0, "00000000000000000004"));
  const struct {
    const char* card;
    const char* type;
    std::uint8_t status;
  } cases[] = {{"t0100", "0100", 0xF0},
               {"t0200", "0200", 0xF1},
               {"t0000", "0000", 0xF0},
               {"t0001", "0001", 0x00}};
  for (const auto& c : cases) {
    terminal.sim->insertCard(c.card);
    const TCardInfo r = cardInfo();
    EXPECT_EQ(r.Status, c.status) << c.card;
    EXPECT_EQ(r.CardType.view(), c.type);
  }
  terminal.sim->insertCard("t0100");
  const TCardInfo r = cardInfo();
  EXPECT_EQ(r.CardDigits.view(), "123456");
  EXPECT_EQ(r.Available, 100.0);  // FE 10 27 00
  EXPECT_EQ(r.Available2, 100.0);
  EXPECT_EQ(r.Zero40, 0.0);
  EXPECT_EQ(r.Zero48, 0.0);
  EXPECT_NEAR(r.DateTo - r.DateFrom, 730.0, 1e-3);
  EXPECT_EQ(r.Gap13[0], 0xAA);  // not written
  EXPECT_EQ(r.Gap13[2], 0xAA);
}

TEST_F(CardInfoTest, HexadecimalCardTypeRaisesTheInvalidIntegerErrorWithFieldsWritten) {
  start(simCard("hex", 0x0A, 0x00, 10000));
  TCardInfo r = filled<TCardInfo>();
  try {
    callSlot<CardInfoFn>(host, 7, &r, host, 0u);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'0A00' is not a valid integer value");
  }
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.CardType.view(), "0A00");
  EXPECT_EQ(r.Available2, 100.0);
}

TEST_F(CardInfoTest, NoCardLeavesTheRefusedCodeInStatus) {
  start(simCard("c", 0, 0));
  terminal.sim->removeCard();
  TCardInfo r = filled<TCardInfo>();
  EXPECT_THROW(callSlot<CardInfoFn>(host, 7, &r, host, 0u), Exception);
  EXPECT_EQ(r.Status, 0x87);
}

// A dead line reaches the host as the exchange error, which names the fault.
TEST_F(CardInfoTest, DeadLineReachesTheHostAsTheExchangeErrorNamingIt) {
  use({{Delay::kCtsAnswer, 20}});
  terminal.fault(sim::FaultKind::kNoCtsAnswer, std::nullopt, sim::kAlways);
  start(simCard("c", 0, 0));
  TCardInfo r = filled<TCardInfo>();
  try {
    callSlot<CardInfoFn>(host, 7, &r, host, 0u);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Ошибка обмена с ридером"_w1251);
    EXPECT_EQ(e.lineFault(), LineFault::kNoAnswer);
  }
}

class PurseTest : public HostTest {
 protected:
  // Product row 1 ("Масло", code 1) lives in purse 2 of the card; row 2 ("ДТ", code 2) may
  // be paid up to 30.00.
  void startWithPurses(std::uint8_t purseOfOil) {
    sim::SimCard card = simCard("p", 0x00, 0x00);
    card.purses[1] = sim::SimPurse{purseOfOil, std::nullopt};
    card.purses[2] = sim::SimPurse{9, 3000};
    start(card);
  }
  TPurseInfo oilLimit() {
    TPurseInfo r = filled<TPurseInfo>();
    callSlot<OilLimitFn>(host, 9, &r, host);
    return r;
  }
};

TEST_F(PurseTest, OilLimitAsksForTheOilPurseAndTheQuantityOfItsProduct) {
  startWithPurses(2);
  const TPurseInfo r = oilLimit();
  EXPECT_EQ(codes(),
            (std::vector<std::uint8_t>{kReadCard, kSelectPurse, kQueryPurse, kQueryQuantity}));
  const auto cmds = terminal.commands();
  EXPECT_EQ(cmds[1], (Bytes{kSelectPurse, 16}));
  EXPECT_EQ(Bytes(cmds[2].begin(), cmds[2].begin() + 7), (Bytes{kQueryPurse, 1, 1, 0, 0, 0, 0x8C}));
  EXPECT_EQ(cmds[3],
            (Bytes{0x07, 0x01, 0x02, 0x00, 0x00, 0x00, 0x84, 0x92, 0,    0,    0,    0,    0,
                   0,    0,    0,    0,    0,    0xFE, 0xE6, 0x00, 0x00, 0xFE, 0x90, 0x5F, 0x01}));
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.CardPrefix.view(), "1234");
  EXPECT_EQ(r.CardNumber.view(), "5678901234567890");
  EXPECT_EQ(r.PurseHandle, 1);
  EXPECT_EQ(r.PurseNo, 2);
  EXPECT_EQ(r.AllowedQty, 30.0);
  EXPECT_EQ(r.Done, 0xAA);  // not written by OilLimit
  EXPECT_EQ(r.ItemIndex, filled<TPurseInfo>().ItemIndex);
}

TEST_F(PurseTest, OilLimitRefusesAPurseNumberWithoutAProductRow) {
  startWithPurses(0);
  TPurseInfo r = filled<TPurseInfo>();
  try {
    callSlot<OilLimitFn>(host, 9, &r, host);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Не указан код товара (кошелек = 0)"_w1251);
  }
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.PurseNo, 0);

  terminal.sim->clearRecords();
  sim::SimCard other = simCard("p49", 0, 0, 0, 0, "00000000000000000049");
  other.purses[1] = sim::SimPurse{49, std::nullopt};
  terminal.sim->addCard(other);
  terminal.sim->insertCard("p49");
  r = filled<TPurseInfo>();
  EXPECT_THROW(callSlot<OilLimitFn>(host, 9, &r, host), Exception);
  EXPECT_EQ(r.PurseNo, 49);
  EXPECT_EQ(codes(), (std::vector<std::uint8_t>{kReadCard, kSelectPurse, kQueryPurse}));
}

TEST_F(PurseTest, OpenPurseRefusedClosesTheSessionWithoutAnError) {
  startWithPurses(2);
  terminal.replyCode(0x87, kSelectPurse);
  TPurseInfo r = filled<TPurseInfo>();
  r.PurseHandle = 0x5A;
  callSlot<OpenPurseFn>(host, 16, &r, host, std::uint8_t{5});
  EXPECT_EQ(codes(), (std::vector<std::uint8_t>{kReadCard, kSelectPurse, kCloseSession}));
  EXPECT_EQ(r.Status, 135);
  EXPECT_EQ(r.PurseHandle, 0x5A);
  EXPECT_EQ(r.CardPrefix.view(), "1234");

  // A failed close is dropped as well.
  terminal.replyCode(0x87, kSelectPurse);
  terminal.fault(sim::FaultKind::kRefuse, kCloseSession, sim::kAlways);
  use({kQuickHandshakeRetry});
  EXPECT_NO_THROW(callSlot<OpenPurseFn>(host, 16, &r, host, std::uint8_t{5}));
}

TEST_F(PurseTest, ItemLimitTakesTheFirstItemWithAPurse) {
  sim::SimCard card = simCard("p", 0x00, 0x00);
  card.purses[2] = sim::SimPurse{9, 3000};  // only "ДТ", row 2
  start(card);
  TPurseInfo r = filled<TPurseInfo>();
  callSlot<OpenPurseFn>(host, 16, &r, host, std::uint8_t{5});
  ASSERT_EQ(r.PurseHandle, 1);
  terminal.sim->clearRecords();

  TItemList items = filled<TItemList>(0);
  items.Count = 3;
  const std::int32_t purses[] = {13, 14, 2};
  for (int k = 0; k < 3; ++k) {
    items.Items[k].Purse = purses[k];
    items.Items[k].Price = Currency::fromRaw(25000);  // 2.50
    items.Items[k].Qty = extendedFromLongDouble(40.0L);
  }
  callSlot<ItemLimitFn>(host, 17, &r, host, 0u, items);
  EXPECT_EQ(codes(),
            (std::vector<std::uint8_t>{kQueryPurse, kQueryPurse, kQueryPurse, kQueryQuantity}));
  const Bytes quantity = terminal.commands()[3];
  EXPECT_EQ(Bytes(quantity.begin() + 18, quantity.end()),
            (Bytes{0xFE, 0xFA, 0x00, 0x00, 0xFE, 0xA0, 0x0F, 0x00}));
  EXPECT_EQ(r.ItemIndex, 3.0);
  EXPECT_EQ(r.Done, 1);
  EXPECT_EQ(r.PurseNo, 2);
  EXPECT_EQ(r.AllowedQty, 30.0);
  EXPECT_EQ(r.AllowedSum, 75.0);

  items.Count = 4;  // an item after the chosen one is never reached, however bad
  items.Items[3].Purse = 0;
  items.Items[3].Qty = extendedFromLongDouble(-1.0L);
  EXPECT_NO_THROW(callSlot<ItemLimitFn>(host, 17, &r, host, 0u, items));
}

TEST_F(PurseTest, ItemLimitRefusesBadListsAndEndsWhenNoItemHasAPurse) {
  start(simCard("p", 0x00, 0x00));
  TPurseInfo r = filled<TPurseInfo>();
  callSlot<OpenPurseFn>(host, 16, &r, host, std::uint8_t{5});
  terminal.sim->clearRecords();
  TItemList items = filled<TItemList>(0);
  for (auto& item : items.Items) {
    item.Purse = 2;
    item.Qty = extendedFromLongDouble(1.0L);
  }

  items.Count = 9;  // names an item the list does not hold
  EXPECT_THROW(callSlot<ItemLimitFn>(host, 17, &r, host, 0u, items), Exception);
  EXPECT_TRUE(terminal.commands().empty());
  items.Count = 2;
  items.Items[1].Purse = 0;  // reached once item 1 has no purse
  EXPECT_THROW(callSlot<ItemLimitFn>(host, 17, &r, host, 0u, items), Exception);
  EXPECT_EQ(codes(), (std::vector<std::uint8_t>{kQueryPurse}));
  terminal.sim->clearRecords();

  items.Count = 0;  // item 1 alone, asked once
  try {
    callSlot<ItemLimitFn>(host, 17, &r, host, 0u, items);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Ни для одного товара из списка на карте нет кошелька"_w1251);
  }
  EXPECT_EQ(codes(), (std::vector<std::uint8_t>{kQueryPurse}));
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.PurseNo, 0);
}

}  // namespace
}  // namespace vexcard::test
