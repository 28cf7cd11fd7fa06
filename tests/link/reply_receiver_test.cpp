#include "link/reply_receiver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vexcard::link {
namespace {

const std::string kEtx(1, '\x03');

// What the driver's data-received hook would do with the bytes: how often it drops the
// lines and whether it sets the reply event.
struct Effects {
  int drops = 0;
  bool eventSet = false;
};

Effects feed(ReplyReceiver& rx, std::string_view bytes) {
  Effects e;
  for (char c : bytes) {
    if (rx.ReceiveByte(static_cast<std::uint8_t>(c))) ++e.drops;
    if (rx.LinkState != kLinkInProgress) e.eventSet = true;
  }
  return e;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char pair[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    out += pair;
  }
  return out;
}

// "60", L, body, the right checksum (all upper-case hex), ETX.
std::string goodFrame(const std::vector<std::uint8_t>& body) {
  auto checksum = static_cast<std::uint8_t>(0x60 ^ body.size());
  for (std::uint8_t b : body) checksum ^= b;
  return "60" + hex({static_cast<std::uint8_t>(body.size())}) + hex(body) + hex({checksum}) + kEtx;
}

class ReplyReceiverTest : public ::testing::Test {
 protected:
  ReplyReceiverTest() { rx.ResetReceiver(); }
  ReplyReceiver rx;
};

TEST(ReplyReceiverLifecycle, StartsIdleWithLinkStateZeroAndResetKeepsReplyData) {
  ReplyReceiver rx;
  EXPECT_EQ(rx.RxState, 3);
  EXPECT_EQ(rx.LinkState, kLinkOk);  // so any byte before the first exchange sets the event
  feed(rx, goodFrame({0x11, 0x22}));
  rx.ResetReceiver();
  EXPECT_EQ(rx.RxState, ReplyReceiver::kIdle);
  EXPECT_EQ(rx.LinkState, kLinkInProgress);
  EXPECT_EQ(rx.ReplyLength, 0);
  EXPECT_EQ(rx.ReplyData[1], 0x22);
}

TEST_F(ReplyReceiverTest, GoodReplyIsDecodedAndDropsTheLinesOnEtx) {
  const Effects e = feed(rx, "600305000066" + kEtx);
  EXPECT_EQ(e.drops, 1);
  EXPECT_TRUE(e.eventSet);
  EXPECT_EQ(rx.LinkState, kLinkOk);
  ASSERT_EQ(rx.ReplyLength, 3);
  EXPECT_EQ(rx.ReplyData[0], 0x05);
  EXPECT_EQ(rx.ReplyData[1], 0x00);
  EXPECT_EQ(rx.ReplyData[2], 0x00);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kIdle);
}

TEST_F(ReplyReceiverTest, ChecksumMismatchSwallowsEverythingUntilReset) {
  const Effects e = feed(rx, "600305000067" + kEtx + "600305000066" + kEtx + "N");
  EXPECT_EQ(e.drops, 0);
  EXPECT_FALSE(e.eventSet);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kChecksumFailed);
  EXPECT_EQ(rx.LinkState, kLinkInProgress);

  rx.ResetReceiver();
  EXPECT_EQ(feed(rx, "600305000066" + kEtx).drops, 1);
}

TEST_F(ReplyReceiverTest, WrongTerminatorGives208AndKeepsTheLinesAndBody) {
  const Effects e = feed(rx, "600305000066\r");
  EXPECT_EQ(e.drops, 0);
  EXPECT_TRUE(e.eventSet);
  EXPECT_EQ(rx.LinkState, kLinkBadTerminator);
  EXPECT_EQ(rx.ReplyLength, 3);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kIdle);
}

TEST_F(ReplyReceiverTest, RefusalWhileIdleThenAGoodFrameInTheSameBatch) {
  EXPECT_TRUE(feed(rx, "N").eventSet);
  EXPECT_EQ(rx.LinkState, kLinkNotReady);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kIdle);
  EXPECT_EQ(feed(rx, "600305000066" + kEtx).drops, 1);
  EXPECT_EQ(rx.LinkState, kLinkOk);

  // "N" inside a frame is just a body character.
  rx.ResetReceiver();
  feed(rx, "6001N");
  EXPECT_EQ(rx.LinkState, kLinkInProgress);
}

TEST_F(ReplyReceiverTest, StrayHeaderCharacterLosesTheFrame) {
  const Effects e = feed(rx, "6600305000066" + kEtx);
  EXPECT_EQ(e.drops, 0);
  EXPECT_FALSE(e.eventSet);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kIdle);
  EXPECT_EQ(rx.ReplyLength, 0);
}

TEST(ReplyReceiverSplit, EverySplitOfABatchGivesTheSameResult) {
  const std::string stream = "xN6" + goodFrame({0x05, 0x00, 0x87, 0xAB}) + "600305000067";
  ReplyReceiver whole;
  whole.ResetReceiver();
  const Effects w = feed(whole, stream);
  for (std::size_t a = 0; a <= stream.size(); ++a) {
    for (std::size_t b = a; b <= stream.size(); b += 3) {
      ReplyReceiver split;
      split.ResetReceiver();
      const Effects e1 = feed(split, std::string_view(stream).substr(0, a));
      const Effects e2 = feed(split, std::string_view(stream).substr(a, b - a));
      const Effects e3 = feed(split, std::string_view(stream).substr(b));
      ASSERT_EQ(e1.drops + e2.drops + e3.drops, w.drops) << a << "/" << b;
      ASSERT_EQ(split.RxState, whole.RxState);
      ASSERT_EQ(split.LinkState, whole.LinkState);
      ASSERT_EQ(split.ReplyLength, whole.ReplyLength);
      ASSERT_EQ(split.ReplyData, whole.ReplyData);
    }
  }
}

TEST_F(ReplyReceiverTest, LowerCaseHexInLengthAndChecksumPairs) {
  // Body C5 00 00, checksum A6: a lower-case first digit survives the shift.
  EXPECT_EQ(feed(rx, "6003C50000a6" + kEtx).drops, 1);
  EXPECT_EQ(rx.ReplyData[0], 0xC5);

  // Body 0C 00 00, checksum 6F: a lower-case second digit gives a wrong value (6F + 0x2F
  // - 0x0F) and the reply is swallowed. Lower case in the body itself is accepted.
  rx.ResetReceiver();
  EXPECT_EQ(feed(rx, "60030c00006F" + kEtx).drops, 1);
  rx.ResetReceiver();
  EXPECT_EQ(feed(rx, "60030C00006f" + kEtx).drops, 0);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kChecksumFailed);

  // Length "0a" is read as 0x2A: 84 body characters are awaited, not 20.
  rx.ResetReceiver();
  feed(rx, "600a");
  EXPECT_EQ(rx.RxNibble, 0x2A);
  EXPECT_EQ(rx.RxRemaining, 84);
}

TEST_F(ReplyReceiverTest, LengthZeroAnd128CollectAFull128ByteBody) {
  // L = 0: the "checksum" and ETX of an empty frame are only body characters.
  feed(rx, "600060" + kEtx);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kBody);
  EXPECT_EQ(rx.LinkState, kLinkInProgress);

  std::vector<std::uint8_t> body(128);
  for (std::size_t k = 0; k < body.size(); ++k) body[k] = static_cast<std::uint8_t>(255 - k);
  const std::uint8_t bodyXor = 0;  // 255..128 XOR to zero
  for (const char* length : {"00", "80"}) {
    rx.ResetReceiver();
    const auto checksum = static_cast<std::uint8_t>(0x60 ^ (length[0] == '8' ? 0x80 : 0) ^ bodyXor);
    EXPECT_EQ(feed(rx, "60" + std::string(length) + hex(body) + hex({checksum}) + kEtx).drops, 1);
    EXPECT_EQ(rx.ReplyLength, 128);
    EXPECT_EQ(rx.ReplyData[127], 128);
  }
}

TEST_F(ReplyReceiverTest, LongLengthsNeverWritePast128Bytes) {
  // Fill ReplyData with a marker through an L = 128 reply, then offer every length with
  // a long run of body characters: only the first ReplyLength bytes may change.
  feed(rx, goodFrame(std::vector<std::uint8_t>(128, 0xEE)));
  ASSERT_EQ(rx.LinkState, kLinkOk);
  for (int length = 0; length < 256; ++length) {
    rx.ResetReceiver();
    feed(rx, "60" + hex({static_cast<std::uint8_t>(length)}) + std::string(600, '1'));
    const std::size_t expected = (length == 0 || length == 128) ? 128 : (2 * length % 256) / 2;
    ASSERT_EQ(rx.ReplyLength, expected) << length;
    for (std::size_t k = rx.ReplyLength; k < rx.ReplyData.size(); ++k) {
      ASSERT_EQ(rx.ReplyData[k], 0xEE) << length;
    }
    rx.ResetReceiver();
    feed(rx, goodFrame(std::vector<std::uint8_t>(128, 0xEE)));
    ASSERT_EQ(rx.LinkState, kLinkOk);
  }
  // L = 129 takes body characters as its checksum and normally fails.
  rx.ResetReceiver();
  feed(rx, "6081ABCD" + kEtx);
  EXPECT_EQ(rx.ReplyLength, 1);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kChecksumFailed);
}

TEST_F(ReplyReceiverTest, BodyWithANonHexPairIsRefusedWhateverItsChecksum) {
  feed(rx, goodFrame({0x05, 0x77, 0x00}));
  rx.ResetReceiver();
  // The XOR over 05, (stale) 77, 00 would match checksum 60 ^ 03 ^ 05 ^ 77 = 11.
  const Effects e = feed(rx, "600305ZZ0011" + kEtx);
  EXPECT_EQ(e.drops, 0);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kChecksumFailed);
  EXPECT_EQ(rx.ReplyLength, 3);
  EXPECT_EQ(rx.ReplyData[1], 0x77);
  // One bad digit in a pair is enough: "7Z" would decode as 0x70 + garbage.
  rx.ResetReceiver();
  EXPECT_EQ(feed(rx, "6003057Z0011" + kEtx).drops, 0);
  EXPECT_EQ(rx.RxState, ReplyReceiver::kChecksumFailed);
}

// A reply naming an earlier request whose reply never came is dropped as if it never
// came; one naming the expected request, or no request the driver knows (a terminal that
// does not echo), is taken.
TEST_F(ReplyReceiverTest, StrayReplyToAnEarlierRequestIsDroppedWithoutAVerdict) {
  feed(rx, goodFrame({0x02, 0x0A, 0x00, 0x44}));
  rx.ResetReceiver();
  rx.Expected = {4, 0x0A};
  rx.Earlier[0] = {3, 0x08};
  rx.Earlier[1] = {.packet = 7, .anyCommand = true};
  rx.EarlierCount = 2;
  for (const auto& body : {std::vector<std::uint8_t>{0x03, 0x08, 0x00, 0x99, 0x99},
                           std::vector<std::uint8_t>{0x07, 0x01, 0x00}}) {
    const Effects e = feed(rx, goodFrame(body));
    EXPECT_FALSE(e.eventSet);
    EXPECT_EQ(e.drops, 0);
    EXPECT_EQ(rx.ReplyLength, 0);
    EXPECT_EQ(rx.ReplyData[3], 0x44);  // what the earlier reply left
  }
  EXPECT_EQ(rx.Strays, 2u);
  for (const auto& body :
       {std::vector<std::uint8_t>{0x04, 0x0A, 0x00}, std::vector<std::uint8_t>{0x00, 0x00, 0x00},
        std::vector<std::uint8_t>{0x03, 0x0A, 0x00}}) {
    rx.ResetReceiver();
    EXPECT_EQ(feed(rx, goodFrame(body)).drops, 1);
    EXPECT_EQ(rx.LinkState, kLinkOk);
  }
}

TEST_F(ReplyReceiverTest, UnknownStatesIgnoreBytesAndNothingIsAllocated) {
  const std::size_t capacity = rx.RxHexText.capacity();
  feed(rx, goodFrame(std::vector<std::uint8_t>(128, 0x42)));
  EXPECT_EQ(rx.RxHexText.capacity(), capacity);

  rx.ResetReceiver();
  rx.RxState = 2;
  EXPECT_FALSE(feed(rx, "N600305000066" + kEtx).eventSet);
  EXPECT_EQ(rx.RxState, 2);
}

}  // namespace
}  // namespace vexcard::link
