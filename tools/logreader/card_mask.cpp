#include "logreader/card_mask.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "link/frame.h"
#include "logreader/log_decoder.h"
#include "logreader/log_file.h"
#include "platform/codepage.h"

namespace vexcard::logreader {

namespace {

using namespace vexcard::literals;

constexpr std::size_t kCardDigits = 20;
constexpr std::size_t kKeptFirst = 6;
constexpr std::size_t kKeptLast = 4;
constexpr std::size_t kCardInReply = 23;   // reply body offset of the card number
constexpr std::size_t kCardInRefund = 32;  // command offset of the card block
constexpr std::size_t kMinDigitRun = 13;   // a shorter run of digits is no card number

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Digits 7 to 16 of the 20 BCD digits at bytes[at] as the nibble F.
void maskBcd(std::vector<std::uint8_t>& bytes, std::size_t at) {
  if (bytes.size() < at + kCardDigits / 2) return;
  for (std::size_t d = kKeptFirst; d < kCardDigits - kKeptLast; ++d) {
    std::uint8_t& b = bytes[at + d / 2];
    b = d % 2 == 0 ? static_cast<std::uint8_t>(b | 0xF0) : static_cast<std::uint8_t>(b | 0x0F);
  }
}

// The digits of a card number written from its digit `first` on (0-based), `count` of them,
// masked in place where they fall in digits 7 to 16.
void maskDigits(std::string& text, std::size_t at, std::size_t count, std::size_t first) {
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t digit = first + k;
    if (digit >= kKeptFirst && digit < kCardDigits - kKeptLast) text[at + k] = '*';
  }
}

// Sale lines first ("карта TYPE NUMBER"), then any long run of digits.
std::string maskText(std::string_view line) {
  std::string text(line);
  constexpr std::string_view kCard = " карта "_w1251;
  std::size_t from = 0;
  while ((from = text.find(kCard, from)) != std::string::npos) {
    std::size_t at = text.find(' ', from + kCard.size());
    if (at == std::string::npos) break;
    ++at;
    std::size_t end = at;
    while (end < text.size() && isDigit(text[end])) ++end;
    const std::size_t n = end - at;
    if (n == 16 && text[at] == '2') {
      maskDigits(text, at + 1, 15, 0);  // "2" and the first 15 digits
    } else if (n >= kMinDigitRun) {
      maskDigits(text, at, n, kCardDigits - n);  // the last n digits
    }
    from = end;
  }
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = at;
    while (end < text.size() && isDigit(text[end])) ++end;
    if (end - at >= kMinDigitRun && end - at <= kCardDigits) {
      const std::size_t n = end - at;
      for (std::size_t k = kKeptFirst; k + kKeptLast < n; ++k) text[at + k] = '*';
    }
    at = end == at ? at + 1 : end;
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> maskedRequest(const std::vector<std::uint8_t>& chars) {
  const DecodedRequest r = parseRequestText(chars);
  if (!r.problem.empty() || r.command.empty()) return std::nullopt;
  if (r.command[0] != 0x09 && r.command[0] != 0x0D) return std::nullopt;
  std::vector<std::uint8_t> command = r.command;
  maskBcd(command, kCardInRefund);
  if (command == r.command) return std::nullopt;
  const link::FrameText frame =
      link::encodeFrame(command.data(), static_cast<std::uint8_t>(command.size()), r.packetIndex);
  return std::vector<std::uint8_t>(frame.text.begin(), frame.text.begin() + frame.length);
}

}  // namespace

std::string maskCards(std::string_view log) {
  std::string out;
  out.reserve(log.size());
  // The latest request's command code, for its replies; -1: none. (A plain int: an optional
  // byte here sets off a false -Wmaybe-uninitialized in MinGW's GCC at -O2.)
  int command = -1;
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    std::size_t next = end == std::string_view::npos ? log.size() : end + 1;
    if (end == std::string_view::npos) end = log.size();
    if (end > start && log[end - 1] == '\r') --end;
    const std::string_view line = log.substr(start, end - start);
    const std::optional<PortLine> port = findPortLine(line);
    const std::size_t textAt = port ? static_cast<std::size_t>(port->text.data() - line.data()) : 0;
    std::string masked;
    if (port && port->text.substr(0, 5) == "Send:") {
      const auto chars = dumpBytes(port->text.substr(5));
      const DecodedRequest r = chars ? parseRequestText(*chars) : DecodedRequest{};
      command = r.command.empty() ? -1 : r.command[0];
      const auto m = chars ? maskedRequest(*chars) : std::nullopt;
      masked = m ? std::string(line.substr(0, textAt + 5)) + dumpText(*m) : std::string(line);
    } else if (const auto reply = port ? parseReplyLine(port->text) : std::nullopt) {
      std::vector<std::uint8_t> body = reply->body;
      if (command == 0x0A || command == 0x08 || command == 0x0E) {
        maskBcd(body, kCardInReply);
      }
      masked = std::string(line.substr(0, line.size() - 3 * body.size())) + dumpText(body);
    } else {
      masked = maskText(line);
    }
    out += masked;
    out += log.substr(end, next - end);
    start = next;
  }
  return out;
}

}  // namespace vexcard::logreader
