// The thirteen terminal commands as the terminal receives them.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>

#include "integration/terminal_fixture.h"
#include "link/wire_values.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;
using sim::Bytes;

Currency money(std::int64_t hundredths) { return Currency::fromRaw(hundredths * 100); }

class CommandsTest : public TerminalTest {
 protected:
  CommandsTest() { startDriver(); }
  Bytes lastCommand() const {
    const auto cmds = terminal.commands();
    return cmds.empty() ? Bytes{} : cmds.back();
  }
  Bytes tagBytes() const {
    return {driver::kRequestTag & 0xFF, (driver::kRequestTag >> 8) & 0xFF,
            (driver::kRequestTag >> 16) & 0xFF, driver::kRequestTag >> 24};
  }
};

TEST_F(CommandsTest, ShortCommandsCarryTheirCodeAlone) {
  driver->tsReadCard();
  driver->tsCloseSession();
  driver->tsCloseShift();
  driver->tsResumeShift();
  driver->tsReset();
  driver->tsSelectPurse(16);
  EXPECT_EQ(terminal.commands(),
            (std::vector<Bytes>{{0x0A}, {0x01}, {0x04}, {0x05}, {0x00, 0x19}, {0x06, 0x10}}));
}

TEST_F(CommandsTest, OpenShiftPacksBothDatesAndNormalisesTheShift) {
  const double now = platform::encodeOle({2007, 3, 5, 14, 7, 9, 0});
  const double shiftDate = platform::encodeOle({2007, 3, 5, 8, 0, 0, 0});
  driver->tsOpenShift(2, now, shiftDate);
  EXPECT_EQ(lastCommand(), (Bytes{0x03, 0x07, 0x03, 0x05, 0x0E, 0x07, 0x09, 0x07, 0x03, 0x05, 0x08,
                                  0x00, 0x00, 0x02}));
  EXPECT_EQ(driver->ShiftNo.load(), 2);
  driver->tsOpenShift(7, now, shiftDate);
  EXPECT_EQ(lastCommand()[13], 1);
  EXPECT_EQ(driver->ShiftNo.load(), 1);
  driver->tsOpenShift(0, now, shiftDate);
  EXPECT_EQ(lastCommand()[13], 0);
  EXPECT_EQ(driver->ShiftNo.load(), 0);
}

TEST_F(CommandsTest, OpenShiftWithADateThatCannotBePackedSendsNothing) {
  EXPECT_THROW(driver->tsOpenShift(4, std::nan(""), 0.0), Exception);
  EXPECT_TRUE(terminal.commands().empty());
  EXPECT_EQ(driver->ShiftNo.load(), 1);
}

TEST_F(CommandsTest, QueryQuantityLaysOutProductAndMoney) {
  driver->tsQueryQuantity(5, 2, "ДТ"_w1251, money(230), money(90000));
  EXPECT_EQ(lastCommand(),
            (Bytes{0x07, 0x05, 0x02, 0x00, 0x00, 0x00, 0x84, 0x92, 0,    0,    0,    0,    0,
                   0,    0,    0,    0,    0,    0xFE, 0xE6, 0x00, 0x00, 0xFE, 0x90, 0x5F, 0x01}));
  driver->tsDebit(5, 2, "ДТ"_w1251, money(230), money(90000));
  Bytes debit = lastCommand();
  ASSERT_EQ(debit.size(), 26u);
  EXPECT_EQ(debit[0], 0x0E);
}

TEST_F(CommandsTest, SaleCarriesTransactionRequestByteProductMoneyAndTag) {
  driver->tsSale(1, 1, 92, "Аи-92"_w1251, money(1850), money(2000), driver::kRequestTag);
  Bytes expected{0x08, 0x01, 0x00, 0x01, 0x5C, 0x00, 0x00, 0x00, 0x80, 0xA8, 0x2D, 0x39, 0x32, 0, 0,
                 0,    0,    0,    0,    0,    0xFE, 0x3A, 0x07, 0x00, 0xFE, 0xD0, 0x07, 0x00};
  const Bytes tag = tagBytes();
  expected.insert(expected.end(), tag.begin(), tag.end());
  EXPECT_EQ(lastCommand(), expected);
  EXPECT_EQ(tag, (Bytes{0x04, 0x02, 0x00, 0x00}));
}

TEST_F(CommandsTest, NameFieldIsTheOemNameCutToTwelveBytes) {
  driver->tsQueryPurse(3, 1, "");
  EXPECT_EQ(lastCommand(), (Bytes{0x0B, 0x03, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  const std::string longName(40, 'A');
  driver->tsQueryPurse(3, 1, std::string("Ж"_w1251) + longName);
  const Bytes c = lastCommand();
  ASSERT_EQ(c.size(), 18u);
  EXPECT_EQ(c[6], 0x86);  // Ж in code page 866
  EXPECT_EQ(Bytes(c.begin() + 7, c.end()), Bytes(11, 'A'));
}

TEST_F(CommandsTest, RefundsCarryTheSaleFieldsAndTheCardBlock) {
  std::array<std::uint8_t, driver::kCardBlockSize> block{};
  std::iota(block.begin(), block.end(), std::uint8_t{1});
  driver->tsRefund(0x1234, 7, 5, "DTF", money(100), money(200), driver::kRequestTag, block);
  driver->tsRefundReset(0x1234, 7, 5, "DTF", money(100), money(200), driver::kRequestTag, block);
  const auto cmds = terminal.commands();
  ASSERT_EQ(cmds.size(), 3u);
  ASSERT_EQ(cmds[0].size(), 111u);
  EXPECT_EQ(cmds[0][0], 0x09);
  EXPECT_EQ(Bytes(cmds[0].begin() + 1, cmds[0].begin() + 8),
            (Bytes{0x34, 0x12, 0x07, 0x05, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(cmds[0].begin() + 8, cmds[0].begin() + 11), (Bytes{'D', 'T', 'F'}));
  EXPECT_EQ(Bytes(cmds[0].begin() + 32, cmds[0].end()), Bytes(block.begin(), block.end()));
  EXPECT_EQ(cmds[1], (Bytes{0x00, 0x19}));  // tsRefundReset resets first
  EXPECT_EQ(cmds[2][0], 0x0D);
  EXPECT_EQ(Bytes(cmds[2].begin() + 1, cmds[2].end()), Bytes(cmds[0].begin() + 1, cmds[0].end()));
}

TEST_F(CommandsTest, RefundResetSendsNothingMoreWhenItsResetFails) {
  use({kQuickHandshakeRetry});
  terminal.fault(sim::FaultKind::kRefuse, 0x00, sim::kAlways);
  std::array<std::uint8_t, driver::kCardBlockSize> block{};
  EXPECT_THROW(driver->tsRefundReset(1, 1, 5, "DTF", money(100), money(200), 0, block), Exception);
  for (const Bytes& c : terminal.commands()) EXPECT_EQ(c, (Bytes{0x00, 0x19}));
}

TEST_F(CommandsTest, MoneyThatWouldWrapIsRefusedBeforeAnythingIsSent) {
  const std::int32_t counter = driver->PacketCounter;
  EXPECT_THROW(driver->tsSale(1, 1, 92, "", money(16777216), money(100), 0), Exception);
  EXPECT_THROW(driver->tsDebit(1, 92, "", money(100), Currency::fromRaw(-1)), Exception);
  EXPECT_TRUE(terminal.commands().empty());
  EXPECT_EQ(driver->PacketCounter, counter);
  // tsRefundReset sends its tsReset first and lays out its own request after it.
  std::array<std::uint8_t, driver::kCardBlockSize> block{};
  EXPECT_THROW(driver->tsRefundReset(1, 1, 92, "", money(16777216), money(1), 0, block), Exception);
  EXPECT_EQ(terminal.commands(), (std::vector<Bytes>{{0x00, 0x19}}));
}

}  // namespace
}  // namespace vexcard::test
