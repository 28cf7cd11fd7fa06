#include "terminal-sim/panel/panel_api.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "link/link_state.h"
#include "link/status_texts.h"
#include "logreader/log_decoder.h"
#include "logreader/log_file.h"
#include "logreader/text.h"
#include "platform/clock.h"
#include "terminal-sim/fault_syntax.h"
#include "terminal-sim/sim_config.h"
#include "vexcard/exception.h"

namespace vexcard::sim::panel {

namespace {

// Hundredths as "12.50".
std::string money(std::int64_t hundredths) {
  return logreader::formatMoney(Currency::fromRaw(hundredths * 100));
}

std::string cardKind(std::uint8_t status2) {
  switch (status2 & 3) {
    case 1:
      return "bonus";
    case 0:
      return "non-cash";
    default:
      return "other";
  }
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

double tenths(double ms) { return std::round(ms * 10) / 10; }

// "dd.mm hh:mm:ss.zzz", the driver log's time stamp, so that the line and the log agree.
std::string logStamp(double ole) {
  const platform::DateTimeParts p = platform::decodeOle(ole);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d %02d:%02d:%02d.%03d", p.day, p.month, p.hour, p.minute,
                p.second, p.millisecond);
  return buf;
}

json replyCodeJson(std::uint8_t code) {
  return {{"code", code}, {"codeText", logreader::utf8(link::ReplyCodeText(code))}};
}

// A field the call does not take is refused rather than passed over, so that a misspelt one
// ("balanse") is not taken for a change that was made.
void onlyFields(const json& body, std::initializer_list<std::string_view> known) {
  for (const auto& [key, value] : body.items()) {
    if (std::find(known.begin(), known.end(), key) != known.end()) continue;
    std::string list;
    for (const std::string_view k : known) {
      if (!list.empty()) list.append(", ");
      list.append(k);
    }
    throw ApiError{400, key + ": not a field of this call (" + list + ")"};
  }
}

// The reply frame as written, checked like a request text: what a receiver would object to.
std::string answerProblem(const Bytes& wire, std::size_t& noise) {
  noise = 0;
  while (noise < wire.size() && wire[noise] != '6') ++noise;
  const std::span<const std::uint8_t> frame(wire.data() + noise, wire.size() - noise);
  std::string problem = logreader::parseRequestText(frame).problem;
  if (problem == "the text does not end with ETX" && !frame.empty()) {
    problem =
        "ends with " + logreader::hexBytes(frame.subspan(frame.size() - 1)) + " instead of ETX";
  }
  return problem;
}

// The row of the log viewer's fault time line for a reply without a good frame.
std::string faultOfLinkState(std::int32_t linkState, bool nothingReceived) {
  if (linkState == link::kLinkNotReady) return "refusal";
  if (linkState == link::kLinkReplyTimeout && nothingReceived) return "time-out";
  return "spoiled";
}

}  // namespace

std::string faultText(const FaultRule& rule) {
  std::string text =
      rule.command ? logreader::commandName(*rule.command) : std::string("any request");
  if (rule.kind == FaultKind::kNoCtsAnswer) text = "hand-shake";
  text += ": " + std::string(faultKindName(rule.kind));
  if (rule.kind == FaultKind::kReplyCode) {
    text += " " + std::to_string(rule.replyCode) + " «" +
            logreader::utf8(link::ReplyCodeText(rule.replyCode)) + "»";
  }
  if (rule.kind == FaultKind::kPatchReply) {
    text += " at " + std::to_string(rule.patchAt) + ": " + logreader::hexBytes(rule.patch);
  }
  text += rule.count == kAlways ? ", always" : ", " + std::to_string(rule.count) + " more";
  return text;
}

json stateJson(const TerminalSimulator& sim) {
  json j;
  const ShiftState sh = sim.shift();
  j["shift"] = {{"open", sh.open}, {"number", sh.number}, {"inStep", sh.inStep}};
  const std::optional<std::string> inReader = sim.insertedCard();
  j["inReader"] = inReader ? json(*inReader) : json(nullptr);
  j["cards"] = json::array();
  for (const std::string& name : sim.cardNames()) {
    const std::optional<SimCard> c = sim.card(name);
    if (!c) continue;
    json card = {{"name", c->name},
                 {"number", cardNumberDigits(c->number)},
                 {"status", logreader::hexBytes(std::vector<std::uint8_t>{c->status1, c->status2})},
                 {"kind", cardKind(c->status2)},
                 {"balance", money(c->balance)},
                 {"discount", money(c->discount)},
                 {"blocked", c->blocked},
                 {"inReader", inReader == c->name}};
    card["productDiscounts"] = json::array();
    for (const auto& [code, pct] : c->productDiscount) {
      card["productDiscounts"].push_back({{"product", code}, {"discount", money(pct)}});
    }
    card["purses"] = json::array();
    for (const auto& [code, purse] : c->purses) {
      card["purses"].push_back(
          {{"product", code},
           {"purse", purse.purseNo},
           {"limit", purse.allowedQuantity ? json(money(*purse.allowedQuantity)) : json(nullptr)}});
    }
    j["cards"].push_back(std::move(card));
  }
  // The ledger: the latest sales first is left to the page; the newest 500 are sent.
  const std::vector<SaleRecord> sales = sim.sales();
  j["salesTotal"] = sales.size();
  j["sales"] = json::array();
  for (std::size_t k = sales.size() > 500 ? sales.size() - 500 : 0; k < sales.size(); ++k) {
    const SaleRecord& s = sales[k];
    j["sales"].push_back({{"id", s.id},
                          {"kind", s.quote ? "debit quote" : "sale"},
                          {"card", s.cardName},
                          {"product", s.productCode},
                          {"price", money(s.price)},
                          {"quantity", money(s.quantity)},
                          {"amount", money(s.amount)},
                          {"charged", money(s.charged)},
                          {"discount", money(s.amount - s.charged)},
                          {"transaction", s.transactionNo},
                          {"refunded", s.refunded}});
  }
  j["faults"] = json::array();
  for (const FaultRule& r : sim.faults()) j["faults"].push_back(faultText(r));
  // The reply codes that have a text, for the page's fault form.
  j["replyCodes"] = json::array();
  for (int code = 0; code < 256; ++code) {
    if (code == 0 || code == 1 || (code >= 0x80 && code <= 0x93)) {
      j["replyCodes"].push_back(replyCodeJson(static_cast<std::uint8_t>(code)));
    }
  }
  const SimulatorCounters c = sim.counters();
  j["counters"] = {{"requests", c.requests},
                   {"malformed", c.malformed},
                   {"replies", c.replies},
                   {"refusals", c.refusals},
                   {"silenced", c.silenced},
                   {"replayed", c.replayed},
                   {"faults", c.faults},
                   {"handshakes", c.handshakes},
                   {"handshakesIgnored", c.handshakesIgnored}};
  return j;
}

json entryJson(const LineEntry& e) {
  json j = {{"seq", e.seq}, {"ms", tenths(e.ms)}, {"stamp", logStamp(e.clock)}};
  const RequestRecord& r = e.request;
  const std::optional<std::uint8_t> command =
      r.valid() && !r.command.empty() ? std::optional<std::uint8_t>(r.commandCode()) : std::nullopt;
  switch (e.kind) {
    case LineEntry::Kind::kRequest:
      j["kind"] = "request";
      j["wire"] = logreader::hexBytes(r.wire);
      if (!r.valid()) {
        j["name"] = "malformed text";
        j["text"] = "ignored: " + std::string(frameErrorName(r.error));
        j["problem"] = std::string(frameErrorName(r.error));
      } else {
        j["packet"] = r.packetIndex;
        j["command"] = r.commandCode();
        j["name"] = logreader::commandName(r.commandCode());
        j["text"] =
            "#" + std::to_string(r.packetIndex) + " " + logreader::describeRequest(r.command);
        j["body"] = logreader::hexBytes(r.command);
      }
      j["replayed"] = r.replayed;
      j["answered"] = !r.replyWire.empty();
      j["handshaken"] = r.handshaken;
      break;
    case LineEntry::Kind::kAnswer: {
      j["kind"] = "reply";
      j["wire"] = logreader::hexBytes(e.wire);
      j["written"] = e.written;
      j["replayed"] = r.replayed;
      if (e.wire.size() == 1 && e.wire[0] == kRefusal) {
        j["name"] = "N";
        j["text"] = "\"N\": not ready, the command is refused";
        j["refusal"] = true;
        break;
      }
      j["name"] = (command ? logreader::commandName(*command) : std::string("an unknown request")) +
                  " reply";
      j["text"] = logreader::describeReply(command, r.replyBody);
      j["body"] = logreader::hexBytes(r.replyBody);
      if (r.replyBody.size() > 2) j.update(replyCodeJson(r.replyBody[2]));
      std::size_t noise = 0;
      const std::string problem = answerProblem(e.wire, noise);
      if (!problem.empty()) j["problem"] = problem;
      if (noise > 0) j["noise"] = noise;
      break;
    }
    case LineEntry::Kind::kLine: {
      // As the cash desk sees its lines: its RTS and DTR are our CTS, our RTS is its CTS.
      j["kind"] = "line";
      static constexpr const char* kLabels[][2] = {
          {"desk", "RTS, DTR on"},
          {"desk", "RTS, DTR off"},
          {"terminal", "CTS off"},
          {"terminal", "CTS on"},
          {"terminal", "hand-shake not answered"},
      };
      const auto* label = kLabels[static_cast<std::size_t>(e.line)];
      j["side"] = label[0];
      j["text"] = label[1];
      if (e.line == LineEvent::kHandshakeIgnored) j["fault"] = "no CTS answer";
      break;
    }
    case LineEntry::Kind::kAction:
      j["kind"] = "action";
      j["text"] = e.text;
      break;
  }
  if (e.kind != LineEntry::Kind::kLine && e.kind != LineEntry::Kind::kAction && r.fault) {
    j["fault"] = std::string(faultKindName(*r.fault));
  }
  return j;
}

std::string insertCard(TerminalSimulator& sim, const std::string& name) {
  if (name == "none") {
    sim.removeCard();
    return "card taken out of the reader";
  }
  if (!sim.insertCard(name)) throw ApiError{404, "no card '" + name + "'"};
  return "card " + name + " put in the reader";
}

std::string editCard(TerminalSimulator& sim, const std::string& name, const json& body) {
  if (!body.is_object()) throw ApiError{400, "a JSON object is expected"};
  onlyFields(body, {"balance", "discount", "status", "blocked"});
  std::optional<std::int64_t> balance;
  std::optional<std::uint32_t> discount;
  std::optional<std::string> status;
  std::optional<bool> blocked;
  std::string what;
  auto text = [&](const char* key) -> std::optional<std::string> {
    if (!body.contains(key)) return std::nullopt;
    const json& v = body.at(key);
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number()) return v.dump();
    throw ApiError{400, std::string(key) + ": a string is expected"};
  };
  if (const auto t = text("balance")) {
    balance = parseAmount(*t);
    if (!balance)
      throw ApiError{400, "balance: '" + *t + "' is not an amount (at most two decimals)"};
    what += ", balance " + money(*balance);
  }
  if (const auto t = text("discount")) {
    const auto d = parseAmount(*t);
    if (!d || *d > 10000)
      throw ApiError{400, "discount: '" + *t + "' is not a percent from 0 to 100"};
    discount = static_cast<std::uint32_t>(*d);
    what += ", discount " + money(*d) + " %";
  }
  if (const auto t = text("status")) {
    status = logreader::parseHexBytes(*t);
    if (!status || status->size() != 2)
      throw ApiError{400, "status: two hex bytes are expected, e.g. 00 01"};
    what += ", status " + logreader::hexBytes(
                              std::span(reinterpret_cast<const std::uint8_t*>(status->data()), 2));
  }
  if (body.contains("blocked")) {
    if (!body.at("blocked").is_boolean()) throw ApiError{400, "blocked: true or false"};
    blocked = body.at("blocked").get<bool>();
    what += *blocked ? ", blocked" : ", not blocked";
  }
  if (what.empty()) throw ApiError{400, "nothing to change (balance, discount, status, blocked)"};
  const bool found = sim.editCard(name, [&](SimCard& c) {
    if (balance) c.balance = *balance;
    if (discount) c.discount = *discount;
    if (status) {
      c.status1 = static_cast<std::uint8_t>((*status)[0]);
      c.status2 = static_cast<std::uint8_t>((*status)[1]);
    }
    if (blocked) c.blocked = *blocked;
  });
  if (!found) throw ApiError{404, "no card '" + name + "'"};
  return "card " + name + what.replace(0, 1, ":");
}

FaultRule faultFromJson(const json& body) {
  if (!body.is_object()) throw ApiError{400, "a JSON object is expected"};
  onlyFields(body, {"command", "kind", "count", "at", "bytes"});
  auto field = [&](const char* key) {
    if (!body.contains(key)) return std::string();
    const json& v = body.at(key);
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number_integer()) return v.dump();
    throw ApiError{400, std::string(key) + ": a string or a number is expected"};
  };
  const std::string command = field("command"), kind = field("kind"), count = field("count");
  if (kind.empty()) throw ApiError{400, "kind is missing"};
  const bool patch = kind == "patch";
  // The command-line syntax checks the command, the kind and the count.
  const std::string text = (command.empty() ? "" : command + "=") + (patch ? "silence" : kind) +
                           (count.empty() ? "" : ":" + count);
  FaultRule rule;
  try {
    rule = parseFaultRule(text);
  } catch (const Exception& e) {
    throw ApiError{400, e.message()};
  }
  if (patch) {
    const std::string at = field("at"), bytes = field("bytes");
    const auto hex = logreader::parseHexBytes(bytes);
    unsigned offset = 0;
    const auto r = std::from_chars(at.data(), at.data() + at.size(), offset);
    if (at.empty() || r.ec != std::errc() || r.ptr != at.data() + at.size() || offset > 254) {
      throw ApiError{400, "at: a body offset from 0 to 254 is expected"};
    }
    if (!hex || hex->empty())
      throw ApiError{400, "bytes: hex bytes are expected, e.g. FE 10 27 00"};
    rule = FaultRule::patchReply(offset, Bytes(hex->begin(), hex->end())).times(rule.count);
    if (!command.empty()) rule = rule.on(*parseFaultRule(command + "=silence").command);
  }
  return rule;
}

std::string armFault(TerminalSimulator& sim, const json& body) {
  const FaultRule rule = faultFromJson(body);
  try {
    sim.injectFault(rule);
  } catch (const Exception& e) {
    throw ApiError{400, e.message()};
  }
  return "fault armed: " + faultText(rule);
}

std::string clearFaults(TerminalSimulator& sim) {
  sim.clearFaults();
  return "faults cleared";
}

json decodeLogJson(std::string_view log, std::size_t maxEntries) {
  logreader::LogDecoder decoder;
  json entries = json::array();
  bool truncated = false;
  bool rts = false, handshakeOpen = false;
  std::optional<std::uint8_t> lastCommand;  // of the latest "Send:", for the reply after it
  for (const std::string_view line : logreader::splitLines(log)) {
    const std::vector<std::string> decoded = decoder.feed(line);
    const std::optional<logreader::LogLine> parsed = logreader::parseLogLine(line);
    if (!parsed) continue;
    if (entries.size() >= maxEntries) {
      truncated = true;
      break;
    }
    const std::string_view text = parsed->text;
    json j = {{"ms", parsed->ms}, {"stamp", std::string(parsed->stamp)}};
    const std::string note =
        decoded.size() > 1 ? decoded[1].substr(decoded[1].find_first_not_of(' ')) : "";
    const auto& port = parsed->port;
    if (port) j["port"] = port->port;
    if (port && port->text.substr(0, 5) == "Send:") {
      handshakeOpen = false;
      const std::vector<std::uint8_t> chars =
          logreader::dumpBytes(port->text.substr(logreader::trailingDumpStart(port->text)))
              .value_or(std::vector<std::uint8_t>{});
      const logreader::DecodedRequest req = logreader::parseRequestText(chars);
      lastCommand =
          req.command.empty() ? std::nullopt : std::optional<std::uint8_t>(req.command[0]);
      j["kind"] = "request";
      j["name"] = req.command.empty() ? std::string("malformed text")
                                      : logreader::commandName(req.command[0]);
      j["wire"] = logreader::hexBytes(chars);
      if (!req.problem.empty()) j["problem"] = req.problem;
      j["replayed"] = note.find("[attempt") != std::string::npos;
      j["text"] = note.substr(note.find(' ') + 1);
    } else if (port && note.rfind("← ", 0) == 0) {
      const std::size_t hexFrom = logreader::trailingDumpStart(port->text);
      const std::vector<std::uint8_t> body =
          logreader::dumpBytes(port->text.substr(hexFrom)).value_or(std::vector<std::uint8_t>{});
      const bool good = note.rfind("← no good reply", 0) != 0;
      j["kind"] = "reply";
      j["name"] =
          good ? note.substr(std::string("← ").size(), note.find(':') - std::string("← ").size())
               : std::string("no good reply");
      j["body"] = logreader::hexBytes(body);
      if (!good) j["problem"] = logreader::utf8(port->text.substr(0, hexFrom));
      if (good && body.size() > 2) j.update(replyCodeJson(body[2]));
      // "← tsSale reply: code 0 ...": the name is shown apart.
      j["text"] = good ? note.substr(note.find(": ") + 2) : note.substr(note.find(' ') + 1);
      if (const auto reply = logreader::parseReplyLine(port->text); reply && !good) {
        j["fault"] = faultOfLinkState(reply->linkState, reply->body.empty());
        // The driver logs the time-out text with the bytes it decoded only when a whole body
        // came and its checksum did not match (the receiver then ignores the rest of the
        // reply until the wait runs out): a bad checksum, not a silent terminal.
        if (reply->linkState == link::kLinkReplyTimeout && !reply->body.empty()) {
          std::string logged = j["problem"].get<std::string>();
          logged.erase(logged.find_last_not_of(' ') + 1);
          j["name"] =
              (lastCommand ? logreader::commandName(*lastCommand) : std::string("a")) + " reply";
          j["problem"] = "bad checksum (logged as the time-out «" + logged + "»)";
          j["text"] = std::string("refused for its checksum, then waited out: ") +
                      logreader::describeReply(lastCommand, reply->body);
        }
      } else if (good && body.size() > 2 && body[2] != 0) {
        j["fault"] = "refused";
      }
    } else if (text == "RTS_ON" || text == "RTS_OFF") {
      // A rise of RTS that no request follows before it drops: the hand-shake failed.
      if (text == "RTS_OFF" && handshakeOpen) j["fault"] = "hand-shake";
      handshakeOpen = text == "RTS_ON" && !rts;
      rts = text == "RTS_ON";
      j["kind"] = "line";
      j["side"] = "desk";
      j["text"] = text == "RTS_ON" ? "RTS, DTR on" : "RTS, DTR off";
    } else if (text == "CTS_ON" || text == "CTS_OFF") {
      j["kind"] = "line";
      j["side"] = "terminal";
      j["text"] = text == "CTS_ON" ? "CTS on" : "CTS off";
    } else {
      if (text.find(": connection lost: ") != std::string_view::npos) j["fault"] = "connection";
      j["kind"] = "note";
      j["text"] = logreader::utf8(text);
    }
    entries.push_back(std::move(j));
  }
  return {{"entries", std::move(entries)},
          {"truncated", truncated},
          {"requests", decoder.requests()},
          {"replies", decoder.replies()}};
}

std::optional<std::pair<std::string, std::uint16_t>> parsePanelAddress(std::string_view text) {
  const auto colon = text.rfind(':');
  std::string host = "127.0.0.1";
  std::string_view port = text;
  if (colon != std::string_view::npos) {
    std::string_view h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    if (h.find_first_of("[]/ ") != std::string_view::npos) return std::nullopt;
    if (h.find(':') != std::string_view::npos && text[colon - 1] != ']') return std::nullopt;
    if (!h.empty()) host = std::string(h);
    port = text.substr(colon + 1);
  }
  unsigned value = 0;
  const auto r = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || r.ec != std::errc() || r.ptr != port.data() + port.size() || value > 65535) {
    return std::nullopt;
  }
  return std::make_pair(host, static_cast<std::uint16_t>(value));
}

OriginCheck::OriginCheck(std::string listenHost, std::uint16_t port) {
  const std::string p = ":" + std::to_string(port);
  listenHost = lower(listenHost);
  anyHost_ = listenHost.empty() || listenHost == "0.0.0.0" || listenHost == "::";
  const std::string bracketed =
      listenHost.find(':') != std::string::npos ? "[" + listenHost + "]" : listenHost;
  hosts_ = {bracketed + p, "localhost" + p, "127.0.0.1" + p, "[::1]" + p};
}

bool OriginCheck::hostAllowed(std::string_view host) const {
  if (host.empty()) return false;
  if (anyHost_) return true;
  const std::string h = lower(host);
  return std::find(hosts_.begin(), hosts_.end(), h) != hosts_.end();
}

bool OriginCheck::postAllowed(std::string_view host, std::optional<std::string_view> origin) const {
  if (!hostAllowed(host)) return false;
  return !origin || lower(*origin) == "http://" + lower(host);
}

}  // namespace vexcard::sim::panel
