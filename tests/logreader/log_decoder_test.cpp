// The log decoder: request frames from their character dumps, reply dumps after their
// captions, the fields of each command, retries and failed replies.
#include "logreader/log_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/codepage.h"

namespace vexcard::logreader {
namespace {

using namespace vexcard::literals;
using Bytes = std::vector<std::uint8_t>;

// The character codes of a frame text: hex of header, length, body, checksum, then ETX.
Bytes frameText(const Bytes& body) {
  Bytes raw{0x60, static_cast<std::uint8_t>(body.size())};
  raw.insert(raw.end(), body.begin(), body.end());
  std::uint8_t x = 0;
  for (std::uint8_t b : raw) x ^= b;
  raw.push_back(x);
  Bytes text;
  const char* hex = "0123456789ABCDEF";
  for (std::uint8_t b : raw) {
    text.push_back(static_cast<std::uint8_t>(hex[b >> 4]));
    text.push_back(static_cast<std::uint8_t>(hex[b & 15]));
  }
  text.push_back(0x03);
  return text;
}

// A "Send:" log line of a request body (packet index first).
std::string sendLine(const Bytes& body) {
  std::string line = "+ 05.03 14:07:09.123 [] [COM1]:  Send:";
  const char* hex = "0123456789ABCDEF";
  for (std::uint8_t c : frameText(body)) {
    line += ' ';
    line += hex[c >> 4];
    line += hex[c & 15];
  }
  return line;
}

TEST(LogDecoderTest, RequestFrameOfTheResetExample) {
  const Bytes text = {'6', '0', '0', '3', '0', '5', '0', '0', '1', '9', '7', 'F', 0x03};
  const DecodedRequest r = parseRequestText(text);
  EXPECT_EQ(r.problem, "");
  EXPECT_EQ(r.packetIndex, 0x05);
  EXPECT_EQ(r.command, (Bytes{0x00, 0x19}));
  EXPECT_EQ(describeRequest(r.command), "tsReset");
}

TEST(LogDecoderTest, SpoiledFramesNameTheirFault) {
  Bytes text = frameText({0x05, 0x0A});
  text[text.size() - 2] = text[text.size() - 2] == '0' ? '1' : '0';  // spoil the checksum
  EXPECT_NE(parseRequestText(text).problem.find("checksum"), std::string::npos);

  Bytes noEtx = frameText({0x05, 0x0A});
  noEtx.back() = 0x0D;
  EXPECT_NE(parseRequestText(noEtx).problem.find("ETX"), std::string::npos);

  Bytes lower = frameText({0x05, 0x0A, 0xAB});
  for (auto& c : lower) c = static_cast<std::uint8_t>(c == 'A' ? 'a' : c);
  EXPECT_NE(parseRequestText(lower).problem, "");
}

TEST(LogDecoderTest, SaleFieldsWithProductFromTheTable) {
  // tsSale, transaction 1, request byte 1, row 19 (92, "Аи-92" in code page 866), 18.50 x 20.
  const Bytes sale = {0x08, 0x01, 0x00, 0x01, 0x5C, 0x00, 0x00, 0x00, 0x80, 0xA8, 0x2D,
                      0x39, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE, 0x3A,
                      0x07, 0x00, 0xFE, 0xD0, 0x07, 0x00, 0x04, 0x02, 0x00, 0x00};
  EXPECT_EQ(describeRequest(sale),
            "tsSale: transaction 1, request byte 1, product 92 «Аи-92» (purse 19), price 18.50, "
            "quantity 20.00, tag 04 02 00 00");
}

TEST(LogDecoderTest, QueryQuantityOpenShiftAndShortRequests) {
  const Bytes query = {0x07, 0x05, 0x02, 0x00, 0x00, 0x00, 0x84, 0x92, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0xFE, 0xE6, 0x00, 0x00, 0xFE, 0x90, 0x5F, 0x01};
  EXPECT_EQ(
      describeRequest(query),
      "tsQueryQuantity: purse handle 5, product 2 «ДТ» (purse 2), price 2.30, quantity 900.00");
  const Bytes open = {0x03, 0x07, 0x03, 0x05, 0x0E, 0x07, 0x09,
                      0x07, 0x03, 0x05, 0x08, 0x00, 0x00, 0x02};
  EXPECT_EQ(describeRequest(open),
            "tsOpenShift: now 2007-03-05 14:07:09, shift date 2007-03-05 08:00:00, shift 2");
  // Codes shared by two rows name both; a request cut short is shown as bytes.
  Bytes oil = {0x0B, 0x01, 0x81, 0x01, 0x01, 0x00};
  oil.resize(18, 0);
  EXPECT_NE(describeRequest(oil).find("(purses 27, 31)"), std::string::npos);
  EXPECT_EQ(describeRequest(Bytes{0x08, 0x01}), "tsSale: 2 bytes, 32 expected: 08 01");
  EXPECT_EQ(describeRequest(Bytes{0x0C}), "command 0x0C: ");
}

TEST(LogDecoderTest, RepliesShowTheFieldsTheDriverReads) {
  Bytes card(35, 0);
  card[2] = 0x00;
  card[11] = 0xFE;  // 100.00
  card[12] = 0x10;
  card[13] = 0x27;
  const Bytes number = {0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90};
  std::copy(number.begin(), number.end(), card.begin() + 23);
  card[34] = 0x01;
  EXPECT_EQ(describeReply(0x0A, card),
            "code 0 «Команда выполнена», balance 100.00, card 12345678901234567890, "
            "status 00 01 (bonus card)");
  // An error code: its text only (and the terminal's shift for 0x81).
  EXPECT_EQ(describeReply(0x08, Bytes{0x05, 0x08, 0x81, 0x00, 0x03}),
            "code 129 «Смены ТС и ПТ не синхронизированы», terminal's shift 3");
  EXPECT_EQ(describeReply(0x0B, Bytes{1, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
            "code 0 «Команда выполнена», the card has no purse for this product");
}

TEST(LogDecoderTest, ReadsAnExchangeLineByLine) {
  LogDecoder d;
  const auto send = d.feed(sendLine({0x05, 0x00, 0x19}));
  ASSERT_EQ(send.size(), 2u);
  EXPECT_EQ(send[1], "      → #5 tsReset");
  const std::string reply =
      "+ 05.03 14:07:09.150 [] [COM1]:  " + std::string("Команда выполнена"_w1251) + ":  05 00 00";
  const auto r = d.feed(reply);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], "+ 05.03 14:07:09.150 [] [COM1]:  Команда выполнена:  05 00 00");
  EXPECT_EQ(r[1], "      ← tsReset reply: code 0 «Команда выполнена»");
  // Lines that are not dumps pass through, converted to UTF-8.
  EXPECT_EQ(
      d.feed("+ 05.03 14:07:09.151 [] "_w1251.data() + std::string("ЗВК tsReadCard прошел "_w1251)),
      std::vector<std::string>{"+ 05.03 14:07:09.151 [] ЗВК tsReadCard прошел "});
  EXPECT_EQ(d.requests(), 1u);
  EXPECT_EQ(d.replies(), 1u);
}

TEST(LogDecoderTest, RetriesAndFailedReplies) {
  LogDecoder d;
  d.feed(sendLine({0x07, 0x0A}));
  const auto timeout = d.feed("+ 05.03 14:07:19.000 [] [COM1]:  " +
                              std::string("Прием:Ошибка таймаута подтверждения"_w1251));
  ASSERT_EQ(timeout.size(), 2u);
  EXPECT_EQ(
      timeout[1],
      "      ← no good reply to tsReadCard: link state 221, no complete reply within the wait");
  const auto again = d.feed(sendLine({0x07, 0x0A}));
  EXPECT_EQ(again[1], "      → #7 tsReadCard  [attempt 2, same packet]");
  const auto refused = d.feed("+ 05.03 14:07:20.000 [] [COM1]:  " +
                              std::string("Ридер не готов к приему команды"_w1251));
  EXPECT_NE(refused[1].find("link state 246"), std::string::npos);
}

TEST(LogDecoderTest, CaptionsThatEndInDigitsDoNotSwallowBytes) {
  // Reply code 12 has no text of its own: its caption ends in the digits "12:".
  LogDecoder d;
  d.feed(sendLine({0x08, 0x0A}));
  const auto r =
      d.feed("+ 05.03 14:07:09.150 [] [COM1]:  " + std::string("Неизвестный код: 12"_w1251) +
             ":  08 0A 0C 00 00");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1], "      ← tsReadCard reply: code 12 «Неизвестный код: 12»");
  // A port line that is neither a dump nor a known caption is left alone.
  EXPECT_EQ(d.feed("+ 05.03 14:07:09.150 [] [COM1]:  Output error 12 34").size(), 1u);
}

TEST(LogDecoderTest, WholeLogWithCrLf) {
  const std::string log = "\r\n" + sendLine({0x02, 0x04}) + "\r\n+ 05.03 14:07:09.2 [] RTS_OFF\r\n";
  const std::string text = decodeLog(log);
  EXPECT_EQ(text.substr(0, 1), "\n");
  EXPECT_NE(text.find("→ #2 tsCloseShift\n"), std::string::npos);
  EXPECT_NE(text.find("RTS_OFF\n"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace vexcard::logreader
