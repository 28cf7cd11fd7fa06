#include "logreader/replay_script.h"

#include <algorithm>

#include "link/link_state.h"
#include "logreader/log_decoder.h"
#include "logreader/log_file.h"
#include "logreader/text.h"

namespace vexcard::logreader {

namespace {

ReplayReply replyKind(const ReplyLine& reply) {
  switch (reply.linkState) {
    case 0:
      return ReplayReply::kReply;
    case link::kLinkNotReady:
      return ReplayReply::kRefusal;
    case link::kLinkBadTerminator:
      return ReplayReply::kWrongTerminator;
    case link::kLinkReplyTimeout:
      return reply.body.empty() ? ReplayReply::kSilence : ReplayReply::kBadChecksum;
    default:
      return ReplayReply::kSilence;
  }
}

// "08 01 00 ..." with the bytes at the given offsets in brackets: "08 [02] 00".
std::string markedBytes(const std::vector<std::uint8_t>& bytes,
                        const std::vector<std::size_t>& marks) {
  std::string out;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    const bool mark = std::find(marks.begin(), marks.end(), k) != marks.end();
    if (k > 0) out += ' ';
    out += mark ? "[" : "";
    out += hexString(std::span(&bytes[k], 1));
    out += mark ? "]" : "";
  }
  return out;
}

std::string offsetsText(const std::vector<std::size_t>& offsets) {
  constexpr std::size_t kShown = 16;
  std::string out;
  for (std::size_t k = 0; k < offsets.size() && k < kShown; ++k) {
    if (k > 0) out += ", ";
    out += std::to_string(offsets[k]);
  }
  if (offsets.size() > kShown) {
    out += " and ";
    out += std::to_string(offsets.size() - kShown);
    out += " more";
  }
  return out;
}

std::string decodedText(const DecodedRequest& r) {
  // Appended piece by piece: a literal + temporary string sets off a false -Wrestrict in
  // GCC 12 at -O3.
  std::string text;
  if (!r.problem.empty()) {
    text += "malformed (";
    text += r.problem;
    text += ") ";
  }
  if (!r.command.empty()) {
    text += "#";
    text += std::to_string(r.packetIndex);
    text += " ";
    text += describeRequest(r.command);
  }
  return text;
}

}  // namespace

ReplayScript readReplayScript(std::string_view log) {
  ReplayScript script;
  bool portKnown = false;
  bool rts = false;
  bool handshakeOpen = false;
  // The time of the request whose reply is awaited; below 0: none. (A plain double: an
  // optional one sets off a false -Wmaybe-uninitialized in MinGW's GCC at -O2.)
  double sentAt = -1;
  std::size_t number = 0;
  for (const std::string_view raw : splitLines(log)) {
    ++number;
    const std::optional<LogLine> line = parseLogLine(raw);
    if (!line) continue;
    if (line->text == "RTS_ON") {
      if (!rts) script.handshakes.push_back(false);
      handshakeOpen = !rts;
      rts = true;
      continue;
    }
    if (line->text == "RTS_OFF") {
      rts = false;
      handshakeOpen = false;
      continue;
    }
    if (!line->port) {
      if (sentAt >= 0 && line->text.find(": connection lost: ") != std::string_view::npos) {
        script.exchanges.back().reply = ReplayReply::kHangUp;
      }
      continue;
    }
    if (!portKnown) {
      if (line->port->text.substr(0, 5) != "Send:") continue;
      script.port = line->port->port;
      portKnown = true;
    }
    if (line->port->port != script.port) continue;
    if (line->port->text.substr(0, 5) == "Send:") {
      const auto chars = dumpBytes(line->port->text.substr(5));
      if (!chars) continue;
      if (handshakeOpen) script.handshakes.back() = true;
      handshakeOpen = false;
      ReplayExchange e;
      e.line = number;
      e.request = *chars;
      script.exchanges.push_back(std::move(e));
      sentAt = line->ms;
      continue;
    }
    if (sentAt < 0) continue;
    const std::optional<ReplyLine> reply = parseReplyLine(line->port->text);
    if (!reply) continue;
    if (reply->linkState == link::kLinkSendFailed) {
      script.exchanges.pop_back();
    } else {
      ReplayExchange& e = script.exchanges.back();
      if (e.reply != ReplayReply::kHangUp) e.reply = replyKind(*reply);
      e.body = reply->body;
      e.delayMs = static_cast<std::uint32_t>(std::clamp(line->ms - sentAt, 0.0, 600000.0));
    }
    sentAt = -1;
  }
  return script;
}

std::string describeRequestText(const std::vector<std::uint8_t>& text) {
  return decodedText(parseRequestText(text));
}

bool isRunField(const std::vector<std::uint8_t>& command, std::size_t offset) {
  if (command.empty()) return false;
  // A tsOpenShift whose shift date is its current date and time: the driver's stand-in
  // for a shift date the host never gave, so the run's clock as well.
  if (command[0] == 0x03 && offset >= 7 && offset <= 12 && command.size() >= 13 &&
      std::equal(command.begin() + 1, command.begin() + 7, command.begin() + 7)) {
    return true;
  }
  switch (command[0]) {
    case 0x08:
    case 0x09:
    case 0x0D:
      return offset == 1 || offset == 2;
    case 0x0E:
      return offset == 1;
    case 0x03:
      return offset >= 1 && offset <= 6;
    default:
      return false;
  }
}

std::optional<std::string> compareRequest(const std::vector<std::uint8_t>& logged,
                                          const std::vector<std::uint8_t>& received) {
  const DecodedRequest a = parseRequestText(logged);
  const DecodedRequest b = parseRequestText(received);
  // Commands are compared byte by byte when both texts carry one whole, even under a wrong
  // checksum (a hand-edited log); anything else character by character.
  const auto whole = [](const DecodedRequest& r) {
    return !r.command.empty() && (r.problem.empty() || r.problem.rfind("checksum", 0) == 0);
  };
  const bool frames = whole(a) && whole(b);
  const std::vector<std::uint8_t>& x = frames ? a.command : logged;
  const std::vector<std::uint8_t>& y = frames ? b.command : received;
  std::vector<std::size_t> differ;
  for (std::size_t k = 0; k < std::max(x.size(), y.size()); ++k) {
    if (k < x.size() && k < y.size() &&
        (x[k] == y[k] || (frames && isRunField(x, k) && isRunField(y, k)))) {
      continue;
    }
    differ.push_back(k);
  }
  if (differ.empty() && a.problem == b.problem) return std::nullopt;
  const std::string what = frames ? "command bytes" : "characters";
  std::string out = "  log:  " + decodedText(a) + "\n  came: " + decodedText(b) + "\n";
  out += "  " + what + " in the log: " + markedBytes(x, differ) + "\n";
  out += "  " + what + " that came: " + markedBytes(y, differ) + "\n";
  if (x.size() != y.size()) {
    out += "  lengths differ: " + std::to_string(x.size()) + " in the log, " +
           std::to_string(y.size()) + " came\n";
  }
  if (!differ.empty()) out += "  differing at offset " + offsetsText(differ) + "\n";
  return out;
}

}  // namespace vexcard::logreader
