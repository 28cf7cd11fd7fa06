#include "terminal-sim/fault_syntax.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <utility>

#include "terminal-sim/terminal_model.h"
#include "vexcard/exception.h"

namespace vexcard::sim {

namespace {

constexpr std::pair<std::string_view, std::uint8_t> kCommandNames[] = {
    {"reset", cmd::tsReset},
    {"close-session", cmd::tsCloseSession},
    {"open-shift", cmd::tsOpenShift},
    {"close-shift", cmd::tsCloseShift},
    {"resume-shift", cmd::tsResumeShift},
    {"select-purse", cmd::tsSelectPurse},
    {"query-quantity", cmd::tsQueryQuantity},
    {"sale", cmd::tsSale},
    {"refund", cmd::tsRefund},
    {"read-card", cmd::tsReadCard},
    {"query-purse", cmd::tsQueryPurse},
    {"refund-reset", cmd::tsRefundReset},
    {"debit", cmd::tsDebit},
};

constexpr std::pair<std::string_view, FaultKind> kKinds[] = {
    {"silence", FaultKind::kSilence},          {"refuse", FaultKind::kRefuse},
    {"bad-checksum", FaultKind::kBadChecksum}, {"wrong-terminator", FaultKind::kWrongTerminator},
    {"trickle", FaultKind::kTrickle},          {"garbage", FaultKind::kGarbageBefore},
    {"no-cts", FaultKind::kNoCtsAnswer},       {"late", FaultKind::kLateReply},
    {"hang-up", FaultKind::kHangUp},
};

std::optional<unsigned> number(std::string_view text, unsigned max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  unsigned value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || value > max) {
    return std::nullopt;
  }
  return value;
}

[[noreturn]] void fail(std::string_view text, const std::string& what) {
  throw Exception("fault '" + std::string(text) + "': " + what);
}

}  // namespace

FaultRule parseFaultRule(std::string_view text) {
  std::string_view rest = text;
  std::optional<std::uint8_t> command;
  if (const auto eq = rest.find('='); eq != std::string_view::npos) {
    const std::string_view name = rest.substr(0, eq);
    for (const auto& [n, code] : kCommandNames) {
      if (n == name) command = code;
    }
    if (!command) {
      const auto code = number(name, 0xFF);
      if (!code || name.substr(0, 2) != "0x" || !commandLength(static_cast<std::uint8_t>(*code))) {
        fail(text, "unknown command '" + std::string(name) + "'");
      }
      command = static_cast<std::uint8_t>(*code);
    }
    rest.remove_prefix(eq + 1);
  }
  int skip = 0;
  if (const auto at = rest.find('@'); at != std::string_view::npos) {
    const auto n = number(rest.substr(at + 1), 1000000);
    if (!n) fail(text, "@N needs the number of matches to let pass first");
    skip = static_cast<int>(*n);
    rest = rest.substr(0, at);
  }
  int count = 1;
  if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
    const std::string_view countText = rest.substr(colon + 1);
    if (countText == "always") {
      count = kAlways;
    } else {
      const auto n = number(countText, 1000000);
      if (!n || *n == 0) fail(text, "count must be a positive number or 'always'");
      count = static_cast<int>(*n);
    }
    rest = rest.substr(0, colon);
  }
  FaultRule rule;
  bool known = false;
  for (const auto& [name, kind] : kKinds) {
    if (name == rest) {
      rule.kind = kind;
      known = true;
    }
  }
  if (!known && (rest == "late-handshake" || rest == "late-next")) {
    rule.kind = FaultKind::kLateReply;
    rule.lateMs = 0;
    rule.release = rest == "late-next" ? LateRelease::kNextReply : LateRelease::kNextHandshake;
    known = true;
  }
  if (!known && rest.substr(0, 5) == "code-") {
    const auto code = number(rest.substr(5), 0xFF);
    if (!code) fail(text, "code-N needs a reply code from 0 to 255");
    rule.kind = FaultKind::kReplyCode;
    rule.replyCode = static_cast<std::uint8_t>(*code);
    known = true;
  }
  if (!known) fail(text, "unknown kind '" + std::string(rest) + "'");
  if (command) {
    if (rule.kind == FaultKind::kNoCtsAnswer) {
      fail(text, "no-cts applies to the hand-shake, which comes before any command");
    }
    rule.command = *command;
  }
  rule.count = count;
  rule.skip = skip;
  return rule;
}

std::string faultSyntaxHelp() {
  return "Faults: [COMMAND=]KIND[:COUNT][@SKIP]\n"
         "  COMMAND  reset close-session open-shift close-shift resume-shift select-purse\n"
         "           query-quantity sale refund read-card query-purse refund-reset debit\n"
         "           or a code such as 0x0A; any request when left out\n"
         "  KIND     silence refuse bad-checksum wrong-terminator trickle garbage no-cts\n"
         "           late (the reply comes 12 s late, after the driver's reply wait)\n"
         "           late-handshake (the reply goes out at the next hand-shake)\n"
         "           late-next (the reply goes out in place of the answer to the next\n"
         "           request other than its own retry, which meanwhile gets none)\n"
         "           hang-up (no answer; a network port's client is dropped)\n"
         "           code-N (an error reply with reply code N, e.g. code-0x87)\n"
         "  COUNT    how many times (default 1) or 'always'\n"
         "  SKIP     how many matching requests (hand-shakes for no-cts) to let pass first\n"
         "  e.g. read-card=silence:2  sale=code-0x8A  refuse:always  sale=silence@1\n";
}

}  // namespace vexcard::sim
