#include "logreader/log_decoder.h"

#include <array>
#include <utility>

#include "driver/product_table.h"
#include "link/command_table.h"
#include "link/link_state.h"
#include "link/status_texts.h"
#include "link/wire_values.h"
#include "logreader/log_file.h"
#include "logreader/text.h"

namespace vexcard::logreader {

namespace {

using link::CommandInfo;
using link::findCommand;

// Link states a reply line may carry as its caption, with a short gloss.
constexpr std::pair<std::int32_t, const char*> kLinkStateGloss[] = {
    {link::kLinkInProgress, "the attempt did not complete"},
    {link::kLinkBadTerminator, "the reply did not end with ETX"},
    {link::kLinkPortTimeout, "time-out"},
    {link::kLinkSizeMismatch, "size mismatch"},
    {link::kLinkSendFailed, "the request could not be written to the port"},
    {link::kLinkReplyTimeout, "no complete reply within the wait"},
    {link::kLinkBadChecksum, "bad checksum"},
    {link::kLinkBadHeader, "bad header"},
    {link::kLinkBadStatus, "bad transfer status"},
    {link::kLinkNotReady, "the terminal refused the command with \"N\""},
    {link::kLinkPortSuffix, "port"},
    {-1, "unknown link state"},
};

std::uint32_t u32At(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::string moneyAt(std::span<const std::uint8_t> b, std::size_t at) {
  try {
    return formatMoney(link::DecodeMoney(u32At(b, at)));
  } catch (const std::exception&) {
    return "(" + hexBytes(b.subspan(at, 4)) + ": out of range)";
  }
}

// The 20 BCD digits of a card number; a nibble above 9 (F: a digit masked) shows as "*".
std::string cardDigitsAt(std::span<const std::uint8_t> b, std::size_t at) {
  std::string digits;
  for (std::size_t k = 0; k < 20; ++k) {
    const int nibble = (k % 2 == 0 ? b[at + k / 2] >> 4 : b[at + k / 2]) & 0x0F;
    digits += nibble <= 9 ? static_cast<char>('0' + nibble) : '*';
  }
  return digits;
}

std::string cardKind(std::uint8_t status2) {
  if ((status2 & 3) == 1) return "bonus card";
  if ((status2 & 3) == 0) return "non-cash card";
  return "card of another kind";
}

// "product 92 «Аи-92» (purse 19)": the code, the name as sent (code page 866) and the rows
// of the product table that carry the code.
std::string productAt(std::span<const std::uint8_t> b, std::size_t at) {
  const auto code = static_cast<std::int32_t>(u32At(b, at));
  const std::string_view nameField(reinterpret_cast<const char*>(b.data() + at + 4), 12);
  std::string rows;
  int found = 0;
  for (std::int32_t p = 1; p <= driver::kProductCount; ++p) {
    if (driver::ProductOfPurse(p).code != code) continue;
    rows += (found++ == 0 ? "" : ", ") + std::to_string(p);
  }
  std::string text = "product " + std::to_string(code) + " «" + cp866ToUtf8(nameField) + "»";
  if (found == 0) return text + " (not in the product table)";
  return text + (found == 1 ? " (purse " : " (purses ") + rows + ")";
}

std::string saleFields(std::span<const std::uint8_t> c) {
  std::string text = "transaction " + std::to_string(c[1] | c[2] << 8) + ", request byte " +
                     std::to_string(c[3]) + ", " + productAt(c, 4) + ", price " + moneyAt(c, 20) +
                     ", quantity " + moneyAt(c, 24) + ", tag " + hexBytes(c.subspan(28, 4));
  if (c.size() >= 111) {
    text += ", card block of card " + cardDigitsAt(c, 32) + " (status " +
            hexBytes(c.subspan(42, 2)) + ")";
  }
  return text;
}

int hexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string commandLabel(std::optional<std::uint8_t> command) {
  return command ? commandName(*command) : std::string("an unknown request");
}

}  // namespace

std::string commandName(std::uint8_t code) {
  if (const CommandInfo* c = findCommand(code)) return std::string(c->name);
  return "command " + hexBytes(std::span(&code, 1)).insert(0, "0x");
}

DecodedRequest parseRequestText(std::span<const std::uint8_t> chars) {
  DecodedRequest out;
  if (chars.empty() || chars.back() != 0x03) {
    out.problem = "the text does not end with ETX";
  } else {
    chars = chars.first(chars.size() - 1);
  }
  std::vector<std::uint8_t> raw;
  for (std::size_t i = 0; i + 1 < chars.size(); i += 2) {
    const int hi = hexDigit(chars[i]), lo = hexDigit(chars[i + 1]);
    if (hi < 0 || lo < 0) {
      if (out.problem.empty()) out.problem = "a character is not an upper-case hex digit";
      return out;
    }
    raw.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  if (chars.size() % 2 != 0 && out.problem.empty()) out.problem = "odd number of hex characters";
  if (raw.size() < 4) {
    if (out.problem.empty()) out.problem = "too short for a frame";
    return out;
  }
  if (raw[0] != 0x60 && out.problem.empty()) out.problem = "header is not 60";
  const std::size_t length = raw[1];
  if (raw.size() != length + 3) {
    if (out.problem.empty()) {
      out.problem = "length byte says " + std::to_string(length) + ", the frame holds " +
                    std::to_string(raw.size() >= 3 ? raw.size() - 3 : 0) + " body bytes";
    }
    if (raw.size() < length + 3) return out;
  }
  std::uint8_t x = 0;
  for (std::size_t k = 0; k < length + 2; ++k) x ^= raw[k];
  if (x != raw[length + 2] && out.problem.empty()) {
    out.problem = "checksum " + hexBytes(std::span(&raw[length + 2], 1)) + ", expected " +
                  hexBytes(std::span(&x, 1));
  }
  if (length >= 1) {
    out.packetIndex = raw[2];
    out.command.assign(raw.begin() + 3, raw.begin() + 2 + static_cast<std::ptrdiff_t>(length));
  }
  return out;
}

std::string describeRequest(std::span<const std::uint8_t> c) {
  if (c.empty()) return "an empty request";
  const CommandInfo* info = findCommand(c[0]);
  std::string text = commandName(c[0]);
  if (info == nullptr) return text + ": " + hexBytes(c.subspan(1));
  if (c.size() < info->requestSize) {
    return text + ": " + std::to_string(c.size()) + " bytes, " + std::to_string(info->requestSize) +
           " expected: " + hexBytes(c);
  }
  switch (c[0]) {
    case 0x00:
      if (c[1] != 0x19) text += ": parameter " + hexBytes(c.subspan(1, 1));
      break;
    case 0x03:
      text += ": now " + wireDateText(c.subspan<1, 6>()) + ", shift date " +
              wireDateText(c.subspan<7, 6>()) + ", shift " + std::to_string(c[13]);
      break;
    case 0x06:
      text += ": selector " + std::to_string(c[1]);
      break;
    case 0x07:
    case 0x0E:
      text += (c[0] == 0x07 ? ": purse handle " : ": first byte ") + std::to_string(c[1]) + ", " +
              productAt(c, 2) + ", price " + moneyAt(c, 18) + ", quantity " + moneyAt(c, 22);
      break;
    case 0x08:
    case 0x09:
    case 0x0D:
      text += ": " + saleFields(c);
      break;
    case 0x0B:
      text += ": purse handle " + std::to_string(c[1]) + ", " + productAt(c, 2);
      break;
    default:
      break;
  }
  if (c.size() > info->requestSize) {
    text += " (" + std::to_string(c.size() - info->requestSize) + " bytes more than expected)";
  }
  return text;
}

std::string describeReply(std::optional<std::uint8_t> command, std::span<const std::uint8_t> b) {
  if (b.size() < 3) return std::to_string(b.size()) + "-byte body without a reply code";
  const std::uint8_t code = b[2];
  std::string text = "code " + std::to_string(code) + " «" + utf8(link::ReplyCodeText(code)) + "»";
  if (code == 0x81 && b.size() > 4) text += ", terminal's shift " + std::to_string(b[4]);
  if (code != 0 || !command) return text;
  auto has = [&](std::size_t end) { return b.size() >= end; };
  // The whole body that callers of the command read.
  const CommandInfo* info = findCommand(*command);
  const bool whole = info != nullptr && has(info->replySize);
  switch (*command) {
    case 0x0A:
      if (has(15)) text += ", balance " + moneyAt(b, 11);
      if (has(33)) text += ", card " + cardDigitsAt(b, 23);
      if (whole) {
        text += ", status " + hexBytes(b.subspan(33, 2)) + " (" + cardKind(b[34]) + ")";
      }
      break;
    case 0x06:
      if (whole) text += ", purse handle " + std::to_string(b[11]);
      break;
    case 0x0B:
      if (whole) {
        if (b[11] == 0) {
          text += ", the card has no purse for this product";
        } else {
          text += ", purse " + std::to_string(b[11]);
          try {
            text += " «" + utf8(driver::ProductOfPurse(b[11]).name) + "»";
          } catch (const std::exception&) {
            text += " (no such row in the product table)";
          }
        }
      }
      break;
    case 0x07:
      if (whole) text += ", allowed quantity " + moneyAt(b, 11);
      break;
    case 0x08:
    case 0x0E:
      if (has(23)) {
        text += ", amount " + moneyAt(b, 11) + ", charged " + moneyAt(b, 15) +
                " (SummaSk), third " + moneyAt(b, 19);
      }
      if (whole) {
        text += ", card block of card " + cardDigitsAt(b, 23) + " (status " +
                hexBytes(b.subspan(33, 2)) + ")";
      }
      break;
    default:
      break;
  }
  return text;
}

std::vector<std::string> LogDecoder::feed(std::string_view line) {
  std::vector<std::string> out{utf8(line)};
  const auto pl = findPortLine(line);
  if (!pl) return out;
  PortState& state = ports_[pl->port];
  std::optional<std::string> note;
  if (pl->text.substr(0, 5) == "Send:") {
    note = decodeSend(state, pl->text.substr(5));
  } else {
    note = decodeReply(state, pl->text);
  }
  if (note) out.push_back("      " + *note);
  if (!maskedNoted_ && note && note->find("******") != std::string::npos) {
    maskedNoted_ = true;
    out.push_back(
        "      (card numbers in this log are masked: the first 6 and last 4 digits kept)");
  }
  return out;
}

std::optional<std::string> LogDecoder::decodeSend(PortState& state, std::string_view dump) {
  const auto chars = dumpBytes(dump);
  if (!chars) return std::nullopt;
  ++requests_;
  state.attempt = *chars == state.lastText ? state.attempt + 1 : 1;
  state.lastText = *chars;
  const DecodedRequest req = parseRequestText(*chars);
  state.command.reset();
  if (!req.command.empty()) state.command = req.command[0];
  std::string text = "→ ";
  if (!req.problem.empty()) text += "malformed request (" + req.problem + ")";
  if (!req.command.empty()) {
    if (!req.problem.empty()) text += ": ";
    // Appended piece by piece: a literal + temporary string sets off a false -Wrestrict
    // in GCC 12 at -O3.
    text += '#';
    text += std::to_string(req.packetIndex);
    text += ' ';
    text += describeRequest(req.command);
  }
  if (state.attempt > 1) {
    text += "  [attempt ";
    text += std::to_string(state.attempt);
    text += ", same packet]";
  }
  return text;
}

std::optional<ReplyLine> parseReplyLine(std::string_view text) {
  // The caption is followed by " XX" per body byte. Try the longest run of trailing bytes
  // first, so that a caption can never swallow a byte.
  const std::size_t first = trailingDumpStart(text);
  for (std::size_t at = first; at <= text.size(); at += 3) {
    const std::string_view caption = text.substr(0, at);
    const auto body = dumpBytes(text.substr(at));
    if (!body) continue;
    ReplyLine out;
    out.body = *body;
    if (caption.size() >= 2 && caption.substr(caption.size() - 2) == ": ") {
      const std::string_view codeText = caption.substr(0, caption.size() - 2);
      bool good = body->size() > 2 && link::ReplyCodeText((*body)[2]) == codeText;
      for (int c = 0; c < 256 && !good; ++c) good = link::ReplyCodeText(c) == codeText;
      if (good) return out;
    }
    for (const auto& entry : kLinkStateGloss) {
      if (link::LinkStateText(entry.first, 0) == caption) {
        out.linkState = entry.first;
        return out;
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> LogDecoder::decodeReply(PortState& state, std::string_view text) {
  const std::optional<ReplyLine> reply = parseReplyLine(text);
  if (!reply) return std::nullopt;
  ++replies_;
  const std::string name = commandLabel(state.command);
  if (reply->linkState == 0)
    return "← " + name + " reply: " + describeReply(state.command, reply->body);
  std::string gloss;
  for (const auto& [s, g] : kLinkStateGloss) {
    if (s == reply->linkState) gloss = g;
  }
  std::string note = "← no good reply to " + name + ": link state " +
                     std::to_string(reply->linkState) + ", " + gloss;
  if (!reply->body.empty()) note += "; received " + describeReply(state.command, reply->body);
  return note;
}

std::string decodeLog(std::string_view log) {
  LogDecoder decoder;
  std::string out;
  for (std::string_view line : splitLines(log)) {
    for (const std::string& l : decoder.feed(line)) out.append(l).append("\n");
  }
  return out;
}

}  // namespace vexcard::logreader
