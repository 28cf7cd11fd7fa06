#include "terminal-sim/sim_wire.h"

namespace vexcard::sim {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Value of an upper-case hex digit, -1 for anything else.
int upperHexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendHex(Bytes& out, std::uint8_t b) {
  out.push_back(static_cast<std::uint8_t>(kHexDigits[b >> 4]));
  out.push_back(static_cast<std::uint8_t>(kHexDigits[b & 0x0F]));
}

constexpr std::int64_t kMoneyLimit = 1'000'000'000'000'000;  // 10^15 hundredths

}  // namespace

std::string_view frameErrorName(FrameError error) {
  switch (error) {
    case FrameError::kNone:
      return "ok";
    case FrameError::kBadHeader:
      return "bad header";
    case FrameError::kNotHex:
      return "not upper-case hex";
    case FrameError::kOddLength:
      return "odd number of hex characters";
    case FrameError::kBadLength:
      return "length byte mismatch";
    case FrameError::kTooShort:
      return "body too short";
    case FrameError::kBadChecksum:
      return "bad checksum";
    case FrameError::kNoEtx:
      return "no ETX";
    case FrameError::kTooLong:
      return "too long";
  }
  return "unknown";
}

DecodedFrame decodeFrameText(std::span<const std::uint8_t> text) {
  DecodedFrame result;
  if (text.empty() || text.back() != kEtx) {
    result.error = FrameError::kNoEtx;
    return result;
  }
  if (text.size() > kMaxRequestText) {
    result.error = FrameError::kTooLong;
    return result;
  }
  const auto hex = text.first(text.size() - 1);
  if (hex.size() < 2 || hex[0] != '6' || hex[1] != '0') {
    result.error = FrameError::kBadHeader;
    return result;
  }
  for (std::uint8_t c : hex) {
    if (upperHexValue(c) < 0) {
      result.error = FrameError::kNotHex;
      return result;
    }
  }
  if (hex.size() % 2 != 0) {
    result.error = FrameError::kOddLength;
    return result;
  }
  Bytes raw;
  raw.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    raw.push_back(
        static_cast<std::uint8_t>(upperHexValue(hex[i]) * 16 + upperHexValue(hex[i + 1])));
  }
  // raw: header, length, body, checksum.
  if (raw.size() < 3 || raw[1] != raw.size() - 3) {
    result.error = FrameError::kBadLength;
    return result;
  }
  if (raw[1] < 2) {
    result.error = FrameError::kTooShort;
    return result;
  }
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i + 1 < raw.size(); ++i) sum ^= raw[i];
  if (sum != raw.back()) {
    result.error = FrameError::kBadChecksum;
    return result;
  }
  result.body.assign(raw.begin() + 2, raw.end() - 1);
  return result;
}

Bytes encodeFrameText(std::span<const std::uint8_t> body, const FrameSpoiling& spoil) {
  Bytes out;
  out.reserve(2 * (body.size() + 3) + 1);
  const auto length = static_cast<std::uint8_t>(body.size());
  std::uint8_t sum = kHeader ^ length;
  appendHex(out, kHeader);
  appendHex(out, length);
  for (std::uint8_t b : body) {
    appendHex(out, b);
    sum ^= b;
  }
  appendHex(out, spoil.corruptChecksum ? static_cast<std::uint8_t>(~sum) : sum);
  out.push_back(spoil.terminator);
  return out;
}

std::optional<std::int64_t> decodeMoney(const std::uint8_t* p) {
  const int e = static_cast<std::int8_t>(p[0]);
  std::int64_t value = p[1] | (p[2] << 8) | (p[3] << 16);
  // value x 10^(e + 2) hundredths.
  for (int k = e + 2; k > 0; --k) {
    value *= 10;
    if (value >= kMoneyLimit) return std::nullopt;
  }
  if (e + 2 < 0) {
    // One division, so that the rounding happens once (1.45 must not become 2).
    if (e + 2 < -8) return 0;  // the mantissa is below 10^8: nothing reaches a hundredth
    std::int64_t divisor = 1;
    for (int k = e + 2; k < 0; ++k) divisor *= 10;
    value = (value + divisor / 2) / divisor;
  }
  return value;
}

void encodeMoney(std::int64_t hundredths, std::uint8_t* out) {
  std::int64_t m = hundredths < 0 ? 0 : hundredths;
  int e = -2;
  while (m > kMaxMantissa) {
    m = (m + 5) / 10;
    ++e;
  }
  out[0] = static_cast<std::uint8_t>(static_cast<std::int8_t>(e));
  out[1] = static_cast<std::uint8_t>(m);
  out[2] = static_cast<std::uint8_t>(m >> 8);
  out[3] = static_cast<std::uint8_t>(m >> 16);
}

std::optional<CardNumber> parseCardNumber(std::string_view digits) {
  if (digits.size() != 20) return std::nullopt;
  CardNumber number{};
  for (std::size_t i = 0; i < 20; ++i) {
    const char c = digits[i];
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint8_t>(c - '0');
    number[i / 2] = static_cast<std::uint8_t>(i % 2 == 0 ? d << 4 : number[i / 2] | d);
  }
  return number;
}

std::string cardNumberDigits(const CardNumber& number) {
  std::string out;
  for (std::uint8_t b : number) {
    out.push_back(static_cast<char>('0' + (b >> 4)));
    out.push_back(static_cast<char>('0' + (b & 0x0F)));
  }
  return out;
}

std::string hexDump(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0x0F]);
  }
  return out;
}

}  // namespace vexcard::sim
