#include "link/reply_receiver.h"

#include <algorithm>

namespace vexcard::link {

namespace {

constexpr std::uint8_t kSix = 0x36;      // "6"
constexpr std::uint8_t kZero = 0x30;     // "0"
constexpr std::uint8_t kRefusal = 0x4E;  // "N"
constexpr std::uint8_t kEtxByte = 0x03;

// A body hex digit, upper or lower case; -1 for any other character.
int bodyDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

}  // namespace

static_assert(ReplyReceiver::kMaxBodyChars / 2 <= ReplyReceiver::kReplyCapacity,
              "the longest body must fit ReplyData");

ReplyReceiver::ReplyReceiver() { RxHexText.reserve(kMaxBodyChars); }

void ReplyReceiver::ResetReceiver() {
  ReplyLength = 0;
  RxState = kIdle;
  LinkState.store(kLinkInProgress);
}

bool ReplyReceiver::ReceiveByte(std::uint8_t b) {
  switch (RxState) {
    case kIdle:
      if (b == kSix) {
        RxState = kHeaderSix;
      } else if (b == kRefusal) {
        LinkState.store(kLinkNotReady);
      }
      return false;
    case kHeaderSix:
      // Anything but "0", a second "6" included, is dropped without a second look.
      RxState = (b == kZero) ? kLengthHigh : kIdle;
      return false;
    case kLengthHigh:
      RxNibble = static_cast<std::uint8_t>(digit(b) << 4);
      RxState = kLengthLow;
      return false;
    case kLengthLow:
      RxNibble = static_cast<std::uint8_t>(RxNibble + digit(b));
      // L = 0 and L = 128 wrap to 0 here and collect 256 characters; L above 128
      // collects 2L - 256.
      RxRemaining = static_cast<std::uint8_t>(RxNibble * 2);
      RxChecksum = static_cast<std::uint8_t>(RxNibble ^ 0x60);
      RxHexText.clear();
      RxState = kBody;
      return false;
    case kBody:
      RxHexText.push_back(static_cast<char>(b));
      RxRemaining = static_cast<std::uint8_t>(RxRemaining - 1);
      if (RxRemaining == 0) RxState = kChecksumHigh;
      return false;
    case kChecksumHigh:
      RxNibble = static_cast<std::uint8_t>(digit(b) << 4);
      RxState = kChecksumLow;
      return false;
    case kChecksumLow:
      checkBody(b);
      return false;
    case kAwaitEtx:
      RxState = kIdle;
      if (b == kEtxByte) {
        if (ReplyLength >= 2 && isStray(ReplyData[0], ReplyData[1])) {
          ReplyData = PreviousData;
          ReplyLength = PreviousLength;
          ++Strays;
          return false;
        }
        LinkState.store(kLinkOk);
        return true;
      }
      LinkState.store(kLinkBadTerminator);
      return false;
    default:  // kChecksumFailed and any unknown state ignore the byte
      return false;
  }
}

// Decodes the collected body into ReplyData and compares the XOR with the received
// checksum. A body holding a character that is not a hex digit is corrupt whatever its
// checksum says: decoding stops at that pair (the bytes from there on keep their previous
// content and still enter the XOR) and the reply is refused like a checksum mismatch.
bool ReplyReceiver::isStray(std::uint8_t packet, std::uint8_t command) const {
  const RequestId named{packet, command};
  if (named == Expected) return false;
  for (std::size_t k = 0; k < EarlierCount; ++k) {
    const RequestId& earlier = Earlier[k];
    if (earlier.packet == packet && (earlier.anyCommand || earlier.command == command)) {
      return true;
    }
  }
  return false;
}

void ReplyReceiver::checkBody(std::uint8_t lastChecksumChar) {
  PreviousData = ReplyData;
  PreviousLength = ReplyLength;
  ReplyLength = static_cast<std::uint8_t>(std::min(RxHexText.size() / 2, kReplyCapacity));
  bool wellFormed = true;
  for (std::size_t k = 0; k < ReplyLength; ++k) {
    const int hi = bodyDigit(RxHexText[2 * k]);
    const int lo = bodyDigit(RxHexText[2 * k + 1]);
    if (hi < 0 || lo < 0) {
      wellFormed = false;
      break;
    }
    ReplyData[k] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  for (std::size_t k = 0; k < ReplyLength; ++k) RxChecksum ^= ReplyData[k];
  RxNibble = static_cast<std::uint8_t>(RxNibble + digit(lastChecksumChar));
  RxState = (wellFormed && RxChecksum == RxNibble) ? kAwaitEtx : kChecksumFailed;
}

}  // namespace vexcard::link
