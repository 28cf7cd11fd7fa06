// Request frames to the payment terminal.
//
// A frame is the header 0x60, the body length, the body (packet index, then the command
// bytes) and the XOR of all preceding bytes, written out as upper-case hexadecimal ASCII
// and closed by the raw byte ETX (0x03). The ETX never occurs inside the hex text, so the
// terminal can always find the end of a frame.
//
// encodeFrame is pure: the link's BuildFrame takes the next packet index (which advances
// and persists the packet counter) and hands it in here.
#pragma once

#include <array>
#include <cstdint>

namespace vexcard::link {

// Limits of one request: n command bytes give 2n + 9 characters, which must fit in 255
// and be counted in 8 bits.
inline constexpr std::uint8_t kMinCommandBytes = 1;
inline constexpr std::uint8_t kMaxCommandBytes = 123;
inline constexpr std::uint8_t kFrameHeader = 0x60;
inline constexpr std::uint8_t kEtx = 0x03;

// The wire text of one request: text[0 .. length - 1], the ETX being the last byte.
struct FrameText {
  std::array<std::uint8_t, 255> text{};
  std::uint8_t length = 0;
};

// Builds the request text for the command bytes[0 .. count - 1] (command code first)
// with the given packet index. Throws vexcard::Exception, building nothing, when count is
// outside 1..123 or bytes is null. Thread-safe (no shared state).
FrameText encodeFrame(const std::uint8_t* bytes, std::uint8_t count, std::uint8_t packetIndex);

}  // namespace vexcard::link
