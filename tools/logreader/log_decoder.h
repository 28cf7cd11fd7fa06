// Reading the driver's log: every request dump ("Send:") and every reply dump is turned
// into the command's name and its fields, so that an exchange can be read without a hex
// table.
//
// The log is Windows-1251 text, one line per entry:
//   + 05.03 14:07:09.123 [] [COM1]:  Send: 36 30 30 33 30 35 30 30 31 39 37 46 03
//   + 05.03 14:07:09.161 [] [COM1]:  Команда выполнена:  05 00 00
// A request dump shows the character codes of the frame text (hex ASCII, then ETX); a
// reply dump shows the decoded reply body after a caption, which is the reply-code text
// and ": " for a good reply and the link-state text otherwise. A reply is read in the
// light of the latest request on the same port.
//
// Pure functions and a small stateful reader; no I/O. LogDecoder is not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "logreader/log_file.h"

namespace vexcard::logreader {

// The name of a terminal command ("tsSale"); "command 0x0C" for codes the driver never
// sends.
std::string commandName(std::uint8_t code);

// A request frame recovered from the character codes of a "Send:" dump.
struct DecodedRequest {
  std::string problem;  // empty when the frame is sound; otherwise what is wrong with it
  std::uint8_t packetIndex = 0;
  std::vector<std::uint8_t> command;  // command code, then its parameters
};

// Parses the characters of a request text: "60", the hex length, body and checksum,
// then ETX. A frame with a problem still carries whatever could be decoded.
DecodedRequest parseRequestText(std::span<const std::uint8_t> chars);

// A one-line account (UTF-8) of a request's command bytes: its name and fields, e.g.
// "tsSale: transaction 1, request byte 1, product 92 «Аи-92» (purse 19), price 18.50,
// quantity 20.00, tag 04 02 00 00".
std::string describeRequest(std::span<const std::uint8_t> command);

// A one-line account (UTF-8) of a reply body to the given command (empty: not known):
// the reply code with its text and the fields the driver reads from that reply.
std::string describeReply(std::optional<std::uint8_t> command, std::span<const std::uint8_t> body);

// A reply line of the log: the caption, then the reply body as the driver holds it. A good
// reply's caption is its reply-code text and ": "; otherwise it is the link state's text.
struct ReplyLine {
  std::int32_t linkState = 0;  // 0: a good reply
  std::vector<std::uint8_t> body;
};
// Reads the text of a port line (after "[COMn]:  ") as a reply; empty optional when its
// caption is neither.
std::optional<ReplyLine> parseReplyLine(std::string_view text);

// Reads a log line by line.
class LogDecoder {
 public:
  // Takes one line (Windows-1251, without its line end) and returns it in UTF-8,
  // followed by the explanation lines, if any, each indented. The first card number seen
  // masked (card_mask.h) adds a note that the log's card numbers are masked.
  std::vector<std::string> feed(std::string_view line);

  // Statistics of what has been read.
  std::size_t requests() const { return requests_; }
  std::size_t replies() const { return replies_; }

 private:
  struct PortState {
    std::vector<std::uint8_t> lastText;  // the latest request text, to spot retries
    int attempt = 0;
    std::optional<std::uint8_t> command;  // the latest request's command code
  };
  std::optional<std::string> decodeSend(PortState& state, std::string_view bytes);
  std::optional<std::string> decodeReply(PortState& state, std::string_view text);

  std::map<unsigned, PortState> ports_;
  bool maskedNoted_ = false;  // the note on masked card numbers has been given
  std::size_t requests_ = 0;
  std::size_t replies_ = 0;
};

// Decodes a whole log (Windows-1251; CR LF or LF line ends) into UTF-8 text.
std::string decodeLog(std::string_view log);

}  // namespace vexcard::logreader
