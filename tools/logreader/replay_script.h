// What the terminal in a driver's log did, request by request, for a terminal that replays
// the log; and the comparison of a logged request with one received.
//
// The script is read from the lines of one port (the first that sends a request): every
// "Send:" dump is a request the terminal received, and the reply line after it tells what
// the terminal did: a reply (its body as logged), the refusal "N" (link state 246), a
// spoiled reply (a checksum the driver refused: time-out with a body; a wrong terminator:
// 208 with a body), silence (time-out without a body), or a hang-up (the driver's network
// port logged its connection lost while it waited for the reply). A request whose sending failed
// (220) never reached the terminal and is left out. The lines "RTS_ON" and "RTS_OFF" carry
// no port and are taken as that port's: every RTS_ON that raises the line is a hand-shake
// the terminal saw, answered when a "Send:" follows it before RTS drops again.
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexcard::logreader {

enum class ReplayReply : std::uint8_t {
  kReply,            // the body in a sound frame
  kRefusal,          // "N"
  kSilence,          // nothing
  kBadChecksum,      // the body in a frame with a wrong checksum
  kWrongTerminator,  // the body in a frame closed by another byte than ETX
  kHangUp,           // nothing, and the network connection dropped
};

struct ReplayExchange {
  std::size_t line = 0;               // line number of the "Send:" dump (1-based, all logs)
  std::vector<std::uint8_t> request;  // the request text as logged, ETX included
  ReplayReply reply = ReplayReply::kSilence;
  std::vector<std::uint8_t> body;  // the reply body as logged (packet index first)
  std::uint32_t delayMs = 0;       // from the request's line to its reply's line
};

struct ReplayScript {
  unsigned port = 0;
  std::vector<ReplayExchange> exchanges;
  std::vector<bool> handshakes;  // every hand-shake the terminal saw, in order: answered?
};

// Reads the script of a log (Windows-1251; several generations joined oldest first).
ReplayScript readReplayScript(std::string_view log);

// A request text decoded: "#5 tsSale: transaction 1, ...", or what makes it malformed.
std::string describeRequestText(const std::vector<std::uint8_t>& text);

// The offsets of a command's bytes (the command code at 0) that differ between two runs of
// the same operations and are not compared: the transaction number of tsSale, tsRefund and
// tsRefundReset (1 and 2) and of tsDebit (1), and the current date and time of
// tsOpenShift (1 to 6), and its shift date (7 to 12) when that is the same current date
// (the driver's stand-in for a shift date the host never gave). The packet index, outside
// the command bytes, is never compared.
bool isRunField(const std::vector<std::uint8_t>& command, std::size_t offset);

// Empty when the received request text matches the logged one but for the fields of
// isRunField and the packet index (and so the checksum); otherwise what differs, in UTF-8
// lines: both requests decoded, both command byte by byte, and the differing offsets.
// Texts that are not sound frames are compared character by character.
std::optional<std::string> compareRequest(const std::vector<std::uint8_t>& logged,
                                          const std::vector<std::uint8_t>& received);

}  // namespace vexcard::logreader
