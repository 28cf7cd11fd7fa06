#include "terminal-sim/sim_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/temp_folder.h"
#include "vexcard/exception.h"

namespace vexcard::sim {
namespace {

TEST(SimConfig, ParsesEveryDirective) {
  const SimulatorConfig c = parseSimulatorConfig(
      "# station test terminal\r\n"
      "reply-delay-ms 7\n"
      "trickle-delay-ms 0\n"
      "shift open 4        # the shift the terminal believes in\n"
      "shift-check on\n"
      "card bonus 12345678901234567890\n"
      "  status 00 01\n"
      "  balance 1000.5\n"
      "  discount 2.75\n"
      "  discount 0x5C 10\n"
      "  purse 92 19 150.00\n"
      "  purse 0x10181 27\n"
      "card empty 00000000000000000001\n"
      "  blocked\n"
      "insert bonus");
  EXPECT_EQ(c.replyDelayMs, 7u);
  EXPECT_EQ(c.trickleDelayMs, 0u);
  EXPECT_TRUE(c.shiftOpen);
  EXPECT_EQ(c.shiftNo, 4);
  EXPECT_TRUE(c.shiftCheck);
  EXPECT_EQ(c.insertedCard, "bonus");
  ASSERT_EQ(c.cards.size(), 2u);
  const SimCard& b = c.cards[0];
  EXPECT_EQ(cardNumberDigits(b.number), "12345678901234567890");
  EXPECT_EQ(b.status1, 0x00);
  EXPECT_EQ(b.status2, 0x01);
  EXPECT_EQ(b.balance, 100050);
  EXPECT_EQ(b.discountFor(95), 275u);
  EXPECT_EQ(b.discountFor(92), 1000u);
  EXPECT_EQ(b.purses.at(92).purseNo, 19);
  EXPECT_EQ(b.purses.at(92).allowedQuantity, 15000);
  EXPECT_EQ(b.purses.at(0x10181).purseNo, 27);
  EXPECT_FALSE(b.purses.at(0x10181).allowedQuantity);
  EXPECT_FALSE(b.blocked);
  EXPECT_TRUE(c.cards[1].blocked);
  EXPECT_EQ(c.cards[1].balance, 0);
}

TEST(SimConfig, ReportsTheLineAndTheProblem) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"balance 10", "line 1: 'balance' before any 'card'"},
      {"\ncard a 1234", "line 2: card number must be exactly 20 decimal digits"},
      {"card a 12345678901234567890\ncard a 12345678901234567891", "line 2: card 'a' defined"},
      {"card a 12345678901234567890\ncard b 12345678901234567890", "line 2: card number used"},
      {"card a 12345678901234567890\n balance 1.234", "line 2: bad amount '1.234'"},
      {"card a 12345678901234567890\n balance -1", "line 2: bad amount"},
      {"card a 12345678901234567890\n discount 100.01", "line 2: discount must be"},
      {"card a 12345678901234567890\n purse 92 0", "line 2: purse number must be 1 to 255"},
      {"card a 12345678901234567890\n purse 92 1\n purse 92 2", "line 3: purse for this product"},
      {"card a 12345678901234567890\n status 0 1", "line 2: status takes two hex bytes"},
      {"shift open", "line 1: expected 'shift open N'"},
      {"shift open 256", "line 1: shift number must be 0 to 255"},
      {"shift-check yes", "line 1: expected 'shift-check on'"},
      {"reply-delay-ms 60001", "line 1: delay must be"},
      {"insert ghost\n", "line 1: insert names an unknown card 'ghost'"},
      {"frobnicate", "line 1: unknown directive 'frobnicate'"},
  };
  for (const auto& c : cases) {
    try {
      parseSimulatorConfig(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const Exception& e) {
      EXPECT_NE(e.message().find(c.message), std::string::npos) << e.message();
    }
  }
}

TEST(SimConfig, Amounts) {
  EXPECT_EQ(parseAmount("0"), 0);
  EXPECT_EQ(parseAmount("12.5"), 1250);
  EXPECT_EQ(parseAmount("0.05"), 5);
  EXPECT_EQ(parseAmount("99999999999.99"), 9999999999999);
  for (const char* bad : {"", ".5", "5.", "1,5", "1.234", "1e3", "100000000000"}) {
    EXPECT_FALSE(parseAmount(bad)) << bad;
  }
}

TEST(SimConfig, LoadsAFile) {
  std::string path;
  {
    const test::TempFolder folder;  // a folder of its own: parallel runs never share the file
    path = folder / "terminal.conf";
    {
      std::ofstream out(path);
      out << "card a 12345678901234567890\ninsert a\n";
    }
    EXPECT_EQ(loadSimulatorConfig(path).insertedCard, "a");
  }
  EXPECT_THROW(loadSimulatorConfig(path), Exception);  // removed with its folder
}

}  // namespace
}  // namespace vexcard::sim
