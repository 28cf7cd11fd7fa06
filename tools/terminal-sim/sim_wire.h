// The terminal's side of the wire forms: frame text, money values and card numbers.
//
// The simulator keeps encoders of its own instead of sharing the driver's, so that it stays
// an independent peer: a fault in the driver's encoding shows up as a disagreement with the
// simulator instead of being mirrored by it. Everything here is pure and thread-safe.
//
// Frame text, both directions: the raw frame 0x60, L, L body bytes, XOR of all preceding
// bytes; each raw byte as two upper-case hex characters; then the raw byte ETX (0x03).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexcard::sim {

inline constexpr std::uint8_t kHeader = 0x60;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kRefusal = 'N';
// A request text (ETX included) never exceeds this many bytes.
inline constexpr std::size_t kMaxRequestText = 255;

using Bytes = std::vector<std::uint8_t>;

// Why a received request text was rejected.
enum class FrameError : std::uint8_t {
  kNone,
  kBadHeader,    // the text does not begin with the characters "60"
  kNotHex,       // a character before the ETX is not an upper-case hex digit
  kOddLength,    // an odd number of hex characters
  kBadLength,    // the length byte disagrees with the number of bytes that follow
  kTooShort,     // a body without packet index and command code
  kBadChecksum,  // the XOR does not match
  kNoEtx,        // the text does not end with ETX
  kTooLong,      // more than kMaxRequestText bytes arrived without an ETX
};

// A short English name of the error ("bad checksum"), for records and messages.
std::string_view frameErrorName(FrameError error);

struct DecodedFrame {
  FrameError error = FrameError::kNone;
  Bytes body;  // the decoded body when error is kNone
};

// Checks and decodes one received text that ends with its terminator.
DecodedFrame decodeFrameText(std::span<const std::uint8_t> text);

// How to spoil an encoded frame on purpose.
struct FrameSpoiling {
  bool corruptChecksum = false;    // send the checksum with all its bits inverted
  std::uint8_t terminator = kEtx;  // the byte sent in place of ETX
};

// Encodes a body (at most 255 bytes) as frame text, ETX (or the spoiled terminator) included.
Bytes encodeFrameText(std::span<const std::uint8_t> body, const FrameSpoiling& spoil = {});

// Money value: exponent byte (signed), then a 24-bit little-endian mantissa; m x 10^e.
// The simulator counts money in hundredths.
inline constexpr std::int64_t kMaxMantissa = 0xFFFFFF;

// The value in hundredths, rounded half up when the exponent is below -2. Empty when the
// value does not fit in 10^15 hundredths.
std::optional<std::int64_t> decodeMoney(const std::uint8_t* p);

// Writes a value in hundredths (negative values as 0). Uses exponent -2 when the mantissa
// fits in 24 bits, otherwise the smallest exponent that makes it fit (rounding half up).
void encodeMoney(std::int64_t hundredths, std::uint8_t* out);

// Card number: 20 decimal digits as 10 packed BCD bytes, high nibble first.
using CardNumber = std::array<std::uint8_t, 10>;

// Empty unless digits holds exactly 20 decimal digits.
std::optional<CardNumber> parseCardNumber(std::string_view digits);
std::string cardNumberDigits(const CardNumber& number);

// Upper-case hex of bytes, separated by blanks ("60 02 06"), for messages and diagnostics.
std::string hexDump(std::span<const std::uint8_t> bytes);

}  // namespace vexcard::sim
