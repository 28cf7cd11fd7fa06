// Faults the simulated terminal injects on purpose, so that tests can drive the driver down
// its failure paths.
//
// A rule names a kind, optionally a command code, and how many times to apply it. Request
// faults are matched against each valid request in the order the rules were given; the first
// rule that matches is used and its count goes down (a rule at 0 is dropped). kNoCtsAnswer is
// matched against hand-shakes instead (each rise of the driver's RTS), since the terminal
// cannot know the command before it has answered the hand-shake.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "terminal-sim/sim_wire.h"

namespace vexcard::sim {

enum class FaultKind : std::uint8_t {
  kNoCtsAnswer,      // leave RTS raised when the driver raises its RTS (no CTS drop)
  kRefuse,           // answer "N"; the command is not carried out
  kBadChecksum,      // the reply frame carries a wrong checksum
  kWrongTerminator,  // the reply frame ends with `terminator` instead of ETX
  kSilence,          // no answer at all; the command is not carried out
  kTrickle,          // the reply is written one byte at a time, trickleDelayMs apart
  kGarbageBefore,    // `garbage` is written just before the reply frame
  kReplyCode,        // an error reply with `replyCode` (and `shiftByte` at byte 4);
                     // the command is not carried out
};

std::string_view faultKindName(FaultKind kind);

// Whether the command of a request that meets this fault is carried out. Faults that only
// spoil the reply leave the command carried out: the reply was lost on the line.
constexpr bool faultExecutesCommand(FaultKind kind) {
  return kind != FaultKind::kRefuse && kind != FaultKind::kSilence && kind != FaultKind::kReplyCode;
}

inline constexpr int kAlways = -1;

struct FaultRule {
  FaultKind kind = FaultKind::kSilence;
  std::optional<std::uint8_t> command;  // only requests with this command code; empty: any
  int count = 1;                        // how many times to inject; kAlways: every time
  std::uint8_t replyCode = 0;           // kReplyCode
  std::optional<std::uint8_t> shiftByte;  // kReplyCode: byte 4; empty: the terminal's shift
  std::uint8_t terminator = 0x0D;         // kWrongTerminator
  // kGarbageBefore: bytes the driver's receiver skips while idle (no "6", no "N").
  Bytes garbage = {0x00, 0xFF, '?', '\r', '\n'};
};

}  // namespace vexcard::sim
