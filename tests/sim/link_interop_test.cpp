// The simulator's own wire code against the driver's link core: both are written from the
// same frame and money rules independently, so each checks the other. The simulator
// library does not link the link core; only this test puts them side by side.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "link/reply_receiver.h"
#include "link/wire_values.h"
#include "sim/sim_requests.h"
#include "terminal-sim/sim_config.h"
#include "terminal-sim/sim_faults.h"
#include "terminal-sim/sim_wire.h"
#include "terminal-sim/terminal_model.h"

namespace vexcard::sim {
namespace {

// Feeds a reply text to the driver's receiver; returns whether ReceiveByte reported a
// completed good reply.
bool receive(link::ReplyReceiver& rx, const Bytes& text) {
  bool done = false;
  for (std::uint8_t b : text) done = rx.ReceiveByte(b) || done;
  return done;
}

TEST(SimLinkInterop, DriverRequestsPassTheTerminalsFrameCheck) {
  const Bytes commands[] = {
      {0x0A},
      {0x00, 0x19},
      {0x61},  // index 0 gives the checksum 0x03
      simtest::openShiftCmd(6),
      simtest::quantityCmd(0x07, 5, 2, 230, 90000),
      simtest::saleCmd(1, 92, 1850, 2000),
      simtest::refundCmd(0x09, simtest::saleCmd(1, 92, 1850, 2000), Bytes(79, 0xA5)),
  };
  for (std::uint8_t index : {0x00, 0x05, 0xFF}) {
    for (const Bytes& c : commands) {
      const link::FrameText f =
          link::encodeFrame(c.data(), static_cast<std::uint8_t>(c.size()), index);
      const DecodedFrame d = decodeFrameText(Bytes(f.text.begin(), f.text.begin() + f.length));
      ASSERT_EQ(d.error, FrameError::kNone) << int(c[0]) << " index " << int(index);
      EXPECT_EQ(d.body[0], index);
      EXPECT_EQ(Bytes(d.body.begin() + 1, d.body.end()), c);
    }
  }
}

TEST(SimLinkInterop, TerminalRepliesPassTheDriversReceiver) {
  TerminalModel model(parseSimulatorConfig(
      "shift open 1\ncard a 12345678901234567890\n status 00 01\n balance 99.99\ninsert a"));
  const Bytes replies[] = {
      model.execute(1, Bytes{0x0A}),
      model.execute(2, simtest::saleCmd(1, 92, 1850, 200)),
      model.errorReply(3, 0x08, 0x81, 4),
  };
  for (const Bytes& body : replies) {
    link::ReplyReceiver rx;
    rx.ResetReceiver();
    EXPECT_TRUE(receive(rx, encodeFrameText(body)));
    EXPECT_EQ(rx.LinkState, link::kLinkOk);
    ASSERT_EQ(rx.ReplyLength, body.size());
    EXPECT_EQ(Bytes(rx.ReplyData.begin(), rx.ReplyData.begin() + rx.ReplyLength), body);
  }
}

TEST(SimLinkInterop, SpoiledRepliesMeetTheDriversVerdicts) {
  const Bytes body{7, 0x0A, 0, 0, 1};
  const FaultRule garbage = FaultRule::of(FaultKind::kGarbageBefore);
  link::ReplyReceiver rx;

  rx.ResetReceiver();
  Bytes text = garbage.garbage;
  const Bytes frame = encodeFrameText(body);
  text.insert(text.end(), frame.begin(), frame.end());
  EXPECT_TRUE(receive(rx, text));  // the default garbage is skipped while idle
  EXPECT_EQ(rx.LinkState, link::kLinkOk);

  FrameSpoiling spoil;
  spoil.corruptChecksum = true;
  rx.ResetReceiver();
  EXPECT_FALSE(receive(rx, encodeFrameText(body, spoil)));
  EXPECT_EQ(rx.RxState, link::ReplyReceiver::kChecksumFailed);
  EXPECT_EQ(rx.LinkState, link::kLinkInProgress);

  spoil = FrameSpoiling{};
  spoil.terminator = 0x0D;
  rx.ResetReceiver();
  EXPECT_FALSE(receive(rx, encodeFrameText(body, spoil)));
  EXPECT_EQ(rx.LinkState, link::kLinkBadTerminator);

  rx.ResetReceiver();
  EXPECT_FALSE(receive(rx, Bytes{kRefusal}));
  EXPECT_EQ(rx.LinkState, link::kLinkNotReady);
}

TEST(SimLinkInterop, MoneyValuesAgree) {
  for (std::int64_t hundredths : {0LL, 1LL, 230LL, 90000LL, 16777215LL}) {
    std::uint8_t w[4];
    encodeMoney(hundredths, w);
    const std::uint32_t wire = w[0] | (w[1] << 8) | (w[2] << 16) | (std::uint32_t{w[3]} << 24);
    EXPECT_EQ(link::DecodeMoney(wire).raw, hundredths * 100);
    EXPECT_EQ(link::EncodeMoney(Currency::fromRaw(hundredths * 100)), wire);
  }
  // Amounts beyond 24 bits travel with a larger exponent, which the driver decodes.
  for (std::int64_t hundredths : {16777216LL, 20000000000LL}) {
    std::uint8_t w[4];
    encodeMoney(hundredths, w);
    const std::uint32_t wire = w[0] | (w[1] << 8) | (w[2] << 16) | (std::uint32_t{w[3]} << 24);
    EXPECT_EQ(link::DecodeMoney(wire).raw, *decodeMoney(w) * 100);
  }
}

}  // namespace
}  // namespace vexcard::sim
