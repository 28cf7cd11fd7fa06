// The reply receiver: a byte-driven state machine that turns the characters arriving from
// the terminal into a decoded reply body (ReplyData, ReplyLength) or a verdict (LinkState).
//
// It parses "60", the hex length L, 2L hex body characters, the hex checksum (XOR of the
// header, L and the body) and the raw ETX; it recognises the single-character refusal "N"
// while idle. A checksum mismatch parks the receiver in ChecksumFailed until the next
// ResetReceiver, so the waiting exchange times out and tries again.
//
// This is the pure core: ReceiveByte changes only this object. The link's data-received
// hook does the side effects: it drops RTS and DTR when ReceiveByte returns true, and sets
// the reply event after every byte that leaves LinkState other than kLinkInProgress.
//
// Thread-safety: not thread-safe by itself. ReceiveByte runs on the port's event thread,
// ResetReceiver on the exchanging thread. The link orders them: ResetReceiver runs before
// the request is sent, and the exchanging thread reads ReplyLength and ReplyData only after
// the reply event was set (the event's set/wait orders the accesses) or its wait timed
// out. LinkState is atomic because both threads write it without such an order (the
// time-out verdict, the end of an exchange and bytes arriving between exchanges).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/link_state.h"

namespace vexcard::link {

// Which request a reply answers: bytes 0 and 1 of a reply body carry the packet index and
// the command code of the request, as an echoing terminal writes them.
struct RequestId {
  std::uint8_t packet = 0;
  std::uint8_t command = 0;
  bool anyCommand = false;  // an earlier request whose command is not known (see Earlier)
  bool operator==(const RequestId&) const = default;
};

struct ReplyReceiver {
  // RxState values. Any other value ignores every byte.
  static constexpr std::uint8_t kIdle = 3;             // awaiting "6" or the refusal "N"
  static constexpr std::uint8_t kHeaderSix = 9;        // awaiting "0"
  static constexpr std::uint8_t kLengthHigh = 5;       // first hex digit of L
  static constexpr std::uint8_t kLengthLow = 8;        // second hex digit of L
  static constexpr std::uint8_t kBody = 1;             // the body characters
  static constexpr std::uint8_t kChecksumHigh = 6;     // first hex digit of the checksum
  static constexpr std::uint8_t kChecksumLow = 7;      // second hex digit of the checksum
  static constexpr std::uint8_t kAwaitEtx = 4;         // the terminator 0x03
  static constexpr std::uint8_t kChecksumFailed = 10;  // ignores everything until reset

  // The body is at most 256 characters (the 8-bit character count wraps), so at most
  // 128 bytes are ever decoded.
  static constexpr std::size_t kMaxBodyChars = 256;
  static constexpr std::size_t kReplyCapacity = 128;

  std::uint8_t RxState = kIdle;
  std::uint8_t RxRemaining = 0;  // body characters still to collect
  std::uint8_t RxNibble = 0;     // the hex pair being decoded: L, later the received checksum
  std::uint8_t RxChecksum = 0;   // running XOR
  std::string RxHexText;         // body characters collected; capacity reserved once
  std::uint8_t ReplyLength = 0;  // decoded body length, at most kReplyCapacity
  std::array<std::uint8_t, kReplyCapacity> ReplyData{};  // decoded body
  std::atomic<std::int32_t> LinkState{kLinkOk};

  // Stray replies. A good frame whose bytes 0 and 1 name one of the Earlier requests (and
  // not the Expected one) answers an earlier request whose reply came late: it is dropped
  // as if it never came (no verdict, ReplyData and ReplyLength as before it) and counted
  // in Strays. Any other reply is taken, so a terminal that does not echo the request in
  // its reply keeps working. The exchange sets these before each attempt.
  static constexpr std::size_t kMaxEarlier = 8;
  RequestId Expected{};
  std::array<RequestId, kMaxEarlier> Earlier{};
  std::size_t EarlierCount = 0;
  std::atomic<std::uint32_t> Strays{0};
  // Whether a reply body names an earlier request rather than the expected one.
  bool isStray(std::uint8_t packet, std::uint8_t command) const;

  ReplyReceiver();
  ReplyReceiver(const ReplyReceiver&) = delete;
  ReplyReceiver& operator=(const ReplyReceiver&) = delete;

  // Returns to Idle before an attempt: ReplyLength 0, LinkState kLinkInProgress. ReplyData
  // keeps its content. (The driver clears the reply event first.)
  void ResetReceiver();

  // Applies one received byte. Returns true when a good reply has just been completed by
  // its ETX: the caller must then drop RTS and DTR. Never allocates, never throws.
  bool ReceiveByte(std::uint8_t b);

  // The value of a length or checksum hex digit: ch - 0x30 below ":", else ch - 0x37,
  // in 8 bits. Right for "0".."9" and "A".."F" only; other characters give what the
  // formula gives (a lower-case digit thus yields a wrong value).
  static constexpr std::uint8_t digit(std::uint8_t ch) {
    return static_cast<std::uint8_t>(ch < 0x3A ? ch - 0x30 : ch - 0x37);
  }

 private:
  void checkBody(std::uint8_t lastChecksumChar);

  // ReplyData and ReplyLength as they were before the frame being parsed was decoded.
  std::array<std::uint8_t, kReplyCapacity> PreviousData{};
  std::uint8_t PreviousLength = 0;
};

}  // namespace vexcard::link
