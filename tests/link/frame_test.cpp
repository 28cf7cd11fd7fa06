#include "link/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/reply_receiver.h"
#include "vexcard/exception.h"

namespace vexcard::link {
namespace {

std::string textOf(const FrameText& f) {
  return std::string(reinterpret_cast<const char*>(f.text.data()), f.length);
}

TEST(Frame, WorkedExamplesByteForByte) {
  const std::uint8_t reset[] = {0x00, 0x19};
  EXPECT_EQ(textOf(encodeFrame(reset, 2, 0x05)), std::string("60030500197F") + '\x03');
  EXPECT_EQ(encodeFrame(reset, 2, 0x05).length, 13);

  const std::uint8_t closeShift[] = {0x04};
  EXPECT_EQ(textOf(encodeFrame(closeShift, 1, 0x06)), std::string("6002060460") + '\x03');
  EXPECT_EQ(encodeFrame(closeShift, 1, 0x06).length, 11);
}

TEST(Frame, IndexEntersChecksumAndUpperCaseHexIsSent) {
  // Index 0x00 (packet counter 256) and a checksum in letters: 60 ^ 02 ^ 00 ^ 0A = 68;
  // index 0xAB: 60 ^ 02 ^ AB ^ 0A = C3.
  const std::uint8_t readCard[] = {0x0A};
  EXPECT_EQ(textOf(encodeFrame(readCard, 1, 0x00)), std::string("6002000A68") + '\x03');
  EXPECT_EQ(textOf(encodeFrame(readCard, 1, 0xAB)), std::string("6002AB0AC3") + '\x03');
}

TEST(Frame, ChecksumThreeIsSentAsHexNotAsEtx) {
  const std::uint8_t cmd[] = {0x61};  // 60 ^ 02 ^ 00 ^ 61 = 03
  const FrameText f = encodeFrame(cmd, 1, 0x00);
  EXPECT_EQ(textOf(f), std::string("6002006103") + '\x03');
  EXPECT_EQ(textOf(f).find('\x03'), f.length - 1u);
}

TEST(Frame, LongestCommandsFitAndDecodeBack) {
  for (std::uint8_t n : {std::uint8_t{111}, std::uint8_t{123}}) {
    std::vector<std::uint8_t> cmd(n);
    for (std::size_t k = 0; k < n; ++k) cmd[k] = static_cast<std::uint8_t>(k * 37 + 3);
    const FrameText f = encodeFrame(cmd.data(), n, 0x7E);
    ASSERT_EQ(f.length, 2 * n + 9);
    EXPECT_EQ(textOf(f).find('\x03'), f.length - 1u);

    // The reply receiver parses the same layout: the body comes back as index + command.
    ReplyReceiver rx;
    rx.ResetReceiver();
    int drops = 0;
    for (std::size_t k = 0; k < f.length; ++k) drops += rx.ReceiveByte(f.text[k]) ? 1 : 0;
    EXPECT_EQ(drops, 1);
    EXPECT_EQ(rx.LinkState, kLinkOk);
    ASSERT_EQ(rx.ReplyLength, n + 1);
    EXPECT_EQ(rx.ReplyData[0], 0x7E);
    EXPECT_TRUE(std::equal(cmd.begin(), cmd.end(), rx.ReplyData.begin() + 1));
  }
}

TEST(Frame, RefusesCountsOutsideTheLimits) {
  std::vector<std::uint8_t> cmd(124, 0x01);
  EXPECT_THROW(encodeFrame(cmd.data(), 0, 1), Exception);
  EXPECT_THROW(encodeFrame(cmd.data(), 124, 1), Exception);
  EXPECT_THROW(encodeFrame(cmd.data(), 255, 1), Exception);
  EXPECT_THROW(encodeFrame(nullptr, 1, 1), Exception);
  EXPECT_NO_THROW(encodeFrame(cmd.data(), 1, 1));
}

}  // namespace
}  // namespace vexcard::link
