// Encodes arbitrary commands as request frames and checks the text: its length, upper-case
// hex throughout with the ETX only at the end, and that the reply receiver (which parses
// the same layout) decodes it back to the packet index and the command bytes.
//
// Input: byte 0 is the packet index, the rest the command bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "link/frame.h"
#include "link/reply_receiver.h"
#include "vexcard/exception.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vexcard::link;
  if (size < 1) return 0;
  const std::uint8_t index = data[0];
  const std::uint8_t* command = data + 1;
  const std::size_t n = size - 1;

  if (n > 255) return 0;  // the count is 8 bits wide
  if (n < kMinCommandBytes || n > kMaxCommandBytes) {
    bool refused = false;
    try {
      encodeFrame(command, static_cast<std::uint8_t>(n), index);
    } catch (const vexcard::Exception&) {
      refused = true;
    }
    check(refused);
    return 0;
  }

  const FrameText frame = encodeFrame(command, static_cast<std::uint8_t>(n), index);
  check(frame.length == 2 * n + 9);
  check(frame.text[frame.length - 1] == kEtx);
  for (std::size_t k = 0; k + 1 < frame.length; ++k) {
    const std::uint8_t c = frame.text[k];
    check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
  }

  ReplyReceiver rx;
  rx.ResetReceiver();
  for (std::size_t k = 0; k < frame.length; ++k) {
    check(rx.ReceiveByte(frame.text[k]) == (k + 1 == frame.length));
  }
  check(rx.LinkState == kLinkOk);
  check(rx.ReplyLength == n + 1);
  check(rx.ReplyData[0] == index);
  check(std::equal(command, command + n, rx.ReplyData.begin() + 1));
  return 0;
}
