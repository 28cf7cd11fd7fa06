// The replay script of a log: what the terminal did for each request and each hand-shake,
// and the comparison of a logged request with one received.
#include "logreader/replay_script.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vexcard::logreader {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string goldenLog(const std::string& name) {
  std::ifstream in(std::string(VEXCARD_TEST_SOURCE_DIR) + "../golden/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The character codes of a request frame text: header, length, body, checksum, ETX.
Bytes requestText(std::uint8_t index, const Bytes& command) {
  Bytes raw{0x60, static_cast<std::uint8_t>(command.size() + 1), index};
  raw.insert(raw.end(), command.begin(), command.end());
  std::uint8_t x = 0;
  for (std::uint8_t b : raw) x ^= b;
  raw.push_back(x);
  Bytes text;
  for (std::uint8_t b : raw) {
    text.push_back(static_cast<std::uint8_t>("0123456789ABCDEF"[b >> 4]));
    text.push_back(static_cast<std::uint8_t>("0123456789ABCDEF"[b & 15]));
  }
  text.push_back(0x03);
  return text;
}

// Two hand-shakes unanswered, then the sale's reply lost, refused, spoiled twice and good.
TEST(ReplayScriptTest, EveryKindOfAnswerOfTheFaultsLog) {
  const ReplayScript s = readReplayScript(goldenLog("sale-faults.log"));
  EXPECT_EQ(s.port, 7u);
  ASSERT_GE(s.exchanges.size(), 6u);
  const std::vector<ReplayReply> kinds = {ReplayReply::kReply,           ReplayReply::kSilence,
                                          ReplayReply::kRefusal,         ReplayReply::kBadChecksum,
                                          ReplayReply::kWrongTerminator, ReplayReply::kReply};
  for (std::size_t k = 0; k < kinds.size(); ++k) EXPECT_EQ(s.exchanges[k].reply, kinds[k]) << k;
  EXPECT_TRUE(s.exchanges[1].body.empty());
  EXPECT_EQ(s.exchanges[3].body, s.exchanges[4].body);  // the sale's reply, spoiled twice
  EXPECT_GT(s.exchanges[0].delayMs, 0u);                // the terminal took its reply delay
  // The retries after a spoiled reply raise no line the terminal sees: RTS was still up.
  ASSERT_GE(s.handshakes.size(), 6u);
  EXPECT_EQ(std::vector<bool>(s.handshakes.begin(), s.handshakes.begin() + 6),
            (std::vector<bool>{false, false, true, true, true, true}));
  EXPECT_EQ(s.handshakes.size(), s.exchanges.size() + 2);
  // A connection lost while the reply was awaited: the terminal hung up.
  const ReplayScript lost = readReplayScript(goldenLog("reconnect.log"));
  ASSERT_EQ(lost.exchanges.size(), 3u);
  EXPECT_EQ(lost.exchanges[0].reply, ReplayReply::kHangUp);
  EXPECT_EQ(lost.exchanges[1].reply, ReplayReply::kReply);
}

TEST(ReplayScriptTest, RequestsDifferOnlyBeyondTheFieldsOfARun) {
  Bytes sale = {0x08, 0x01, 0x00, 0x01, 0x5C, 0,    0,    0, 0x80, 0xA8, 0x2D, 0x39, 0x32, 0, 0, 0,
                0,    0,    0,    0,    0xFE, 0x3A, 0x07, 0, 0xFE, 0xD0, 0x07, 0,    4,    2, 0, 0};
  Bytes other = sale;
  other[1] = 0x07;  // another transaction number, another packet index: the same request
  other[2] = 0x01;  // (both bytes of the transaction word)
  EXPECT_FALSE(compareRequest(requestText(5, sale), requestText(9, other)));
  other[3] ^= 1;  // the request byte is compared
  EXPECT_TRUE(compareRequest(requestText(5, sale), requestText(9, other)));
  other[3] ^= 1;
  other[21] = 0x3B;  // another price
  const auto diff = compareRequest(requestText(5, sale), requestText(9, other));
  ASSERT_TRUE(diff);
  EXPECT_NE(diff->find("price 18.50"), std::string::npos) << *diff;
  EXPECT_NE(diff->find("price 18.51"), std::string::npos);
  EXPECT_NE(diff->find("differing at offset 21\n"), std::string::npos);
  // tsOpenShift's current date is not compared, its shift date is.
  Bytes open = {0x03, 26, 12, 9, 12, 8, 47, 26, 12, 1, 8, 0, 0, 2};
  Bytes later = open;
  later[6] = 59;
  EXPECT_FALSE(compareRequest(requestText(2, open), requestText(2, later)));
  later[12] = 1;
  EXPECT_TRUE(compareRequest(requestText(2, open), requestText(2, later)));
  // Texts that are no frames are compared character by character.
  EXPECT_TRUE(compareRequest(Bytes{'6', '0', 0x03}, Bytes{'6', '1', 0x03}));
  EXPECT_FALSE(compareRequest(Bytes{'6', '0', 0x03}, Bytes{'6', '0', 0x03}));
}

}  // namespace
}  // namespace vexcard::logreader
