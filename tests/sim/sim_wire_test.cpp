#include "terminal-sim/sim_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace vexcard::sim {
namespace {

Bytes text(const std::string& hex, std::uint8_t last = kEtx) {
  Bytes out(hex.begin(), hex.end());
  out.push_back(last);
  return out;
}

TEST(SimWire, DecodesRequestFrames) {
  // tsReset with packet index 5, tsCloseShift with packet index 6.
  EXPECT_EQ(decodeFrameText(text("60030500197F")).body, (Bytes{0x05, 0x00, 0x19}));
  EXPECT_EQ(decodeFrameText(text("6002060460")).body, (Bytes{0x06, 0x04}));
}

TEST(SimWire, RejectsMalformedRequests) {
  const struct {
    Bytes text;
    FrameError error;
  } cases[] = {
      {text("60030500197f"), FrameError::kNotHex},  // lower-case checksum digit
      {text("60030500197E"), FrameError::kBadChecksum},
      {text("61030500197F"), FrameError::kBadHeader},
      {text("?60030500197F"), FrameError::kBadHeader},  // garbage before the frame
      {text("60030500197F0"), FrameError::kOddLength},
      {text("60040500197F"), FrameError::kBadLength},
      {text("60010564"), FrameError::kTooShort},  // body holds only the packet index
      {text("60030500197F", 0x0D), FrameError::kNoEtx},
      {text("600305\x03"
            "00197F"),
       FrameError::kNotHex},  // ETX inside the text
      {Bytes(kMaxRequestText + 1, 'A'), FrameError::kNoEtx},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeFrameText(c.text).error, c.error) << hexDump(c.text);
  }
  Bytes overlong(kMaxRequestText, 'A');
  overlong.push_back(kEtx);
  EXPECT_EQ(decodeFrameText(overlong).error, FrameError::kTooLong);
}

TEST(SimWire, EncodesReplyFrames) {
  EXPECT_EQ(encodeFrameText(Bytes{0x05, 0x00, 0x00}), text("600305000066"));
  // A checksum of 0x03 travels as the characters "03"; the only raw ETX is the last byte.
  const Bytes etxSum = encodeFrameText(Bytes{0x61, 0x00});
  EXPECT_EQ(etxSum, text("6002610003"));
  EXPECT_EQ(std::count(etxSum.begin(), etxSum.end(), kEtx), 1);

  FrameSpoiling spoil;
  spoil.corruptChecksum = true;
  spoil.terminator = 0x0D;
  EXPECT_EQ(encodeFrameText(Bytes{0x05, 0x00, 0x00}, spoil), text("600305000099", 0x0D));
  // A body of 102 bytes round-trips.
  Bytes big(102);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(decodeFrameText(encodeFrameText(big)).body, big);
}

TEST(SimWire, MoneyValues) {
  std::uint8_t out[4];
  encodeMoney(230, out);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xFE, 0xE6, 0x00, 0x00}));
  encodeMoney(90000, out);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xFE, 0x90, 0x5F, 0x01}));
  encodeMoney(-5, out);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xFE, 0x00, 0x00, 0x00}));
  // Beyond 24 bits the exponent grows: 200 000 000.00 travels as 2 000 000 x 10^2.
  encodeMoney(20'000'000'000, out);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x02, 0x80, 0x84, 0x1E}));
  EXPECT_EQ(decodeMoney(out), 20'000'000'000);

  const std::uint8_t e0[] = {0x00, 0x05, 0x00, 0x00};
  const std::uint8_t e2[] = {0x02, 0x03, 0x00, 0x00};
  const std::uint8_t e6[] = {0xFA, 0x39, 0x30, 0x00};  // 0.012345: 1.2345 hundredths
  const std::uint8_t e5[] = {0xFD, 0x0F, 0x00, 0x00};  // 0.015: 1.5 hundredths, half up
  const std::uint8_t e4[] = {0xFC, 0x91, 0x00, 0x00};  // 0.0145: rounded once, to 1
  const std::uint8_t huge[] = {0x7F, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(decodeMoney(e0), 500);
  EXPECT_EQ(decodeMoney(e2), 30000);
  EXPECT_EQ(decodeMoney(e6), 1);
  EXPECT_EQ(decodeMoney(e5), 2);
  EXPECT_EQ(decodeMoney(e4), 1);
  EXPECT_EQ(decodeMoney(huge), std::nullopt);
}

TEST(SimWire, CardNumbers) {
  const auto n = parseCardNumber("12345678901234567890");
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, (CardNumber{0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90}));
  EXPECT_EQ(cardNumberDigits(*n), "12345678901234567890");
  EXPECT_FALSE(parseCardNumber("1234567890123456789"));
  EXPECT_FALSE(parseCardNumber("1234567890123456789A"));
}

}  // namespace
}  // namespace vexcard::sim
