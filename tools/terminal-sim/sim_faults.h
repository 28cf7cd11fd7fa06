// Faults the simulated terminal injects on purpose, so that tests can drive the driver down
// its failure paths.
//
// A rule names a kind, optionally a command code, and how many times to apply it. Request
// faults are matched against each valid request in the order the rules were given; the first
// rule that matches is used and its count goes down (a rule at 0 is dropped). A rule that
// skips lets that many of its matches pass first: each match it sees counts down its skip,
// whichever rule is used there, so that a rule can aim at the Nth request of a command.
// kNoCtsAnswer is matched against hand-shakes instead (each rise of the driver's RTS), since
// the terminal cannot know the command before it has answered the hand-shake.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

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
  kPatchReply,       // the command is carried out and `patch` is written into its reply
                     // body from offset `patchAt` (a shorter body is extended with zeros)
  kLateReply,        // the command is carried out and its reply written only `lateMs`
                     // later, or when the test releases it (lateMs 0); meanwhile the
                     // terminal answers nothing, hand-shakes included
  kHangUp,           // no answer, and the program serving the line drops its network
                     // client (TerminalSimulator::setHangUpHandler); not carried out
};

// When a kLateReply rule's reply goes out.
enum class LateRelease : std::uint8_t {
  kTimed,          // lateMs later (lateMs 0: at releaseLateReply()); the terminal answers
                   // nothing meanwhile
  kNextHandshake,  // held while the terminal goes on answering, and written as it answers
                   // the next hand-shake, just before it takes CTS low
  kNextReply,      // held while the terminal goes on answering, and written when the next
                   // valid request other than its own retry comes; the retries meanwhile
                   // get no answer (the terminal is still at it)
  // A held reply goes out in place of the answer to the request it comes with: its own
  // retry, whose answer it is (kNextHandshake), or another one, which the terminal misses
  // while it is busy sending. So no frame ever gets two replies. Such a request, and a
  // retry left unanswered, is recorded with this fault and not carried out.
};

std::string_view faultKindName(FaultKind kind);

// Whether the command of a request that meets this fault is carried out. Faults that only
// spoil the reply leave the command carried out: the reply was lost on the line.
constexpr bool faultExecutesCommand(FaultKind kind) {
  return kind != FaultKind::kRefuse && kind != FaultKind::kSilence &&
         kind != FaultKind::kReplyCode && kind != FaultKind::kHangUp;
}

inline constexpr int kAlways = -1;

// How late a kLateReply rule answers unless told otherwise: past the driver's 10 s wait.
inline constexpr std::uint32_t kDefaultLateMs = 12000;

// The bytes a kGarbageBefore rule writes unless told otherwise.
inline constexpr std::uint8_t kDefaultGarbage[] = {0x00, 0xFF, '?', '\r', '\n'};

struct FaultRule {
  FaultKind kind = FaultKind::kSilence;
  std::optional<std::uint8_t> command;    // only requests with this command code; empty: any
  int count = 1;                          // how many times to inject; kAlways: every time
  std::size_t patchAt = 0;                // kPatchReply: body offset of the first patched byte
  Bytes patch;                            // kPatchReply: the bytes written there
  std::uint8_t replyCode = 0;             // kReplyCode
  std::optional<std::uint8_t> shiftByte;  // kReplyCode: byte 4; empty: the terminal's shift
  std::uint8_t terminator = 0x0D;         // kWrongTerminator
  std::uint32_t lateMs = kDefaultLateMs;  // kLateReply: 0 waits for releaseLateReply()
  LateRelease release = LateRelease::kTimed;  // kLateReply
  int skip = 0;                               // matches let pass before the first use
  // kGarbageBefore: bytes the driver's receiver skips while idle (no "6", no "N"). Copied
  // from an array of static storage: an initializer list here sets off a false
  // -Wmaybe-uninitialized in GCC 12 at -O3 wherever a rule is built.
  Bytes garbage{std::begin(kDefaultGarbage), std::end(kDefaultGarbage)};

  // Builders: FaultRule::of(FaultKind::kRefuse).on(0x08).times(2).
  static FaultRule of(FaultKind k) {
    FaultRule r;
    r.kind = k;
    return r;
  }
  static FaultRule reply(std::uint8_t code, std::optional<std::uint8_t> shift = std::nullopt) {
    FaultRule r = of(FaultKind::kReplyCode);
    r.replyCode = code;
    r.shiftByte = shift;
    return r;
  }
  FaultRule on(std::uint8_t commandCode) const {
    FaultRule r = *this;
    r.command = commandCode;
    return r;
  }
  FaultRule times(int n) const {
    FaultRule r = *this;
    r.count = n;
    return r;
  }
  FaultRule skipping(int n) const {
    FaultRule r = *this;
    r.skip = n;
    return r;
  }
  FaultRule releasedAt(LateRelease when) const {
    FaultRule r = *this;
    r.release = when;
    return r;
  }
  FaultRule withGarbage(Bytes bytes) const {
    FaultRule r = *this;
    r.garbage = std::move(bytes);
    return r;
  }
  FaultRule withTerminator(std::uint8_t byte) const {
    FaultRule r = *this;
    r.terminator = byte;
    return r;
  }
  static FaultRule patchReply(std::size_t at, Bytes bytes) {
    FaultRule r = of(FaultKind::kPatchReply);
    r.patchAt = at;
    r.patch = std::move(bytes);
    return r;
  }
};

}  // namespace vexcard::sim
