// Card numbers masked in the golden logs: in the sale lines, the reply dumps and the card
// block of a refund's request, which stays a sound frame.
#include "logreader/card_mask.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "logreader/log_decoder.h"
#include "logreader/log_file.h"
#include "logreader/replay_script.h"

namespace vexcard::logreader {
namespace {

std::string goldenLogs() {
  std::string all;
  for (const char* name :
       {"shift", "sale-faults", "terminal-codes", "refund-compensation", "limits"}) {
    std::ifstream in(std::string(VEXCARD_TEST_SOURCE_DIR) + "../golden/" + name + ".log",
                     std::ios::binary);
    all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return all;
}

// The forms a card number takes in a log: its digits (all 20, the 16 after the first 4, the
// bonus sale's first 15), its BCD dump, and the characters of a request text carrying it.
std::vector<std::string> cardForms(const std::string& digits) {
  std::string bcd, chars;
  for (std::size_t k = 0; k < digits.size(); k += 2) {
    if (k > 0) bcd += ' ';
    bcd += digits.substr(k, 2);
  }
  for (char c : digits) {
    if (!chars.empty()) chars += ' ';
    chars += std::to_string(30 + (c - '0'));
  }
  return {digits, digits.substr(4), digits.substr(0, 15), bcd, chars};
}

TEST(CardMaskTest, NoCardNumberOfTheSimulatorRemains) {
  const std::string log = goldenLogs();
  const std::string masked = maskCards(log);
  ASSERT_EQ(masked.size(), log.size());
  ASSERT_NE(log.find("77 01 00 00 00 00 00 06 78 90"), std::string::npos);
  ASSERT_NE(log.find("32 36 34 33 30 30 30 30"), std::string::npos);  // a refund's block
  for (const char* card : {"26430000000000012345", "77010000000000067890"}) {
    for (const std::string& form : cardForms(card)) {
      EXPECT_EQ(masked.find(form), std::string::npos) << form;
    }
  }
  EXPECT_NE(masked.find("2264300********* "), std::string::npos);
  EXPECT_NE(masked.find("77 01 00 FF FF FF FF FF 78 90"), std::string::npos);
  // The masked log replays: the same requests, sound frames, the refund's block masked.
  const ReplayScript before = readReplayScript(log), after = readReplayScript(masked);
  ASSERT_EQ(after.exchanges.size(), before.exchanges.size());
  for (const ReplayExchange& e : after.exchanges) {
    EXPECT_EQ(parseRequestText(e.request).problem, "") << e.line;
  }
  const std::string decoded = decodeLog(masked);
  EXPECT_NE(decoded.find("(card numbers in this log are masked"), std::string::npos);
  EXPECT_NE(decoded.find("tag 04 02 00 00, card block of card 264300**********2345 (status"),
            std::string::npos);  // the block a refund sends back
  EXPECT_EQ(decodeLog(log).find("are masked"), std::string::npos);
}

}  // namespace
}  // namespace vexcard::logreader
