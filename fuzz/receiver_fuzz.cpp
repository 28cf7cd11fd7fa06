// Feeds arbitrary byte streams to the reply receiver, once in a single batch and once cut
// into pieces, and checks after every byte that it stays within its buffers and states,
// and at the end that the cut changed nothing.
//
// Input: byte 0 chooses the cut lengths, byte 1 after which verdicts the receiver is
// reset (as the exchange does before a new attempt), the rest is the line traffic.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "link/reply_receiver.h"

namespace {

using vexcard::link::ReplyReceiver;

void check(bool condition) {
  if (!condition) std::abort();
}

bool knownState(std::uint8_t s) {
  switch (s) {
    case ReplyReceiver::kIdle:
    case ReplyReceiver::kHeaderSix:
    case ReplyReceiver::kLengthHigh:
    case ReplyReceiver::kLengthLow:
    case ReplyReceiver::kBody:
    case ReplyReceiver::kChecksumHigh:
    case ReplyReceiver::kChecksumLow:
    case ReplyReceiver::kAwaitEtx:
    case ReplyReceiver::kChecksumFailed:
      return true;
    default:
      return false;
  }
}

// One observable effect per byte, as the driver's data-received hook would act on it.
enum Effect : std::uint8_t { kNone = 0, kEvent = 1, kDropAndEvent = 3 };

struct Run {
  ReplyReceiver rx;
  std::vector<std::uint8_t> effects;
  std::size_t verdicts = 0;
  std::uint8_t resetMask = 0;
  std::size_t capacity = 0;

  explicit Run(std::uint8_t mask) : resetMask(mask) {
    rx.ResetReceiver();
    capacity = rx.RxHexText.capacity();
  }

  // The data-received hook over one batch.
  void batch(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
      const bool drop = rx.ReceiveByte(bytes[k]);
      const std::int32_t state = rx.LinkState;
      check(rx.ReplyLength <= ReplyReceiver::kReplyCapacity);
      check(state == 100 || state == 0 || state == 208 || state == 246);
      check(!drop || state == 0);
      check(knownState(rx.RxState));
      check(rx.RxHexText.size() <= ReplyReceiver::kMaxBodyChars);
      check(rx.RxHexText.capacity() == capacity);
      effects.push_back(drop ? kDropAndEvent : state != 100 ? kEvent : kNone);
      if (state != 100 && (resetMask >> (verdicts++ % 8) & 1) != 0) rx.ResetReceiver();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::uint32_t cutState = data[0] * 2654435761u + 1;
  const std::uint8_t resetMask = data[1];
  data += 2;
  size -= 2;

  Run whole(resetMask);
  whole.batch(data, size);

  Run pieces(resetMask);
  for (std::size_t at = 0; at < size;) {
    cutState = cutState * 1103515245u + 12345u;
    std::size_t piece = (cutState >> 16) % 17;  // empty batches happen too
    if (piece > size - at) piece = size - at;
    pieces.batch(data + at, piece);
    at += piece;
  }

  check(whole.effects == pieces.effects);
  check(whole.rx.RxState == pieces.rx.RxState);
  check(whole.rx.LinkState == pieces.rx.LinkState);
  check(whole.rx.ReplyLength == pieces.rx.ReplyLength);
  check(whole.rx.ReplyData == pieces.rx.ReplyData);
  check(whole.rx.RxHexText == pieces.rx.RxHexText);
  return 0;
}
