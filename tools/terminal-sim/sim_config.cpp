// The configuration text format: one directive per line, words separated by blanks, "#"
// starts a comment. Card directives apply to the card most recently opened by "card".
//
//   reply-delay-ms 20           shift open 3          card bonus 12345678901234567890
//   trickle-delay-ms 5          shift closed            status 00 01
//   shift-check on              insert bonus            balance 1000.00
//                                                       discount 5
//                                                       discount 92 3.5
//                                                       purse 92 19 150.00
//                                                       blocked
//   sale 3 bonus 357.05 HEX     a sale on record that can still be refunded: its number,
//                               card, amount charged and 79-byte card block
//   last-block HEX              the card block the host last received (kept state)
#include "terminal-sim/sim_config.h"

#include <fstream>
#include <set>
#include <sstream>

#include "vexcard/exception.h"

namespace vexcard::sim {

namespace {

constexpr std::int64_t kAmountLimit = 10'000'000'000'000;  // 10^13 hundredths

std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) words.push_back(line.substr(i, j - i));
    i = j;
  }
  return words;
}

// Unsigned decimal, or hexadecimal after "0x"; empty when malformed or above max.
std::optional<std::uint64_t> parseUnsigned(std::string_view text, std::uint64_t max) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 16) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (d >= base) return std::nullopt;
    value = value * base + d;
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<std::uint8_t> parseHexByte(std::string_view text) {
  if (text.size() != 2) return std::nullopt;
  const auto v = parseUnsigned(std::string("0x").append(text), 0xFF);
  if (!v) return std::nullopt;
  return static_cast<std::uint8_t>(*v);
}

// Percent with at most two decimals, 0 to 100, in hundredths of a percent.
std::optional<std::uint32_t> parsePercent(std::string_view text) {
  const auto v = parseAmount(text);
  if (!v || *v > 10000) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

class Parser {
 public:
  SimulatorConfig run(std::string_view text) {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      ++line_;
      std::string_view line = text.substr(start, end - start);
      const auto hash = line.find('#');
      if (hash != std::string_view::npos) line = line.substr(0, hash);
      const auto words = splitWords(line);
      if (!words.empty()) directive(words);
      start = end + 1;
    }
    if (!config_.insertedCard.empty() && config_.findCard(config_.insertedCard) == nullptr) {
      line_ = insertLine_;
      fail("insert names an unknown card '" + config_.insertedCard + "'");
    }
    return std::move(config_);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Exception("simulator configuration, line " + std::to_string(line_) + ": " + what);
  }

  void expectWords(const std::vector<std::string_view>& w, std::size_t min, std::size_t max) {
    if (w.size() < min || w.size() > max)
      fail("wrong number of words for '" + std::string(w[0]) + "'");
  }

  std::uint32_t delay(std::string_view text) {
    const auto v = parseUnsigned(text, 60000);
    if (!v) fail("delay must be 0 to 60000 ms");
    return static_cast<std::uint32_t>(*v);
  }

  std::int64_t amount(std::string_view text) {
    const auto v = parseAmount(text);
    if (!v) fail("bad amount '" + std::string(text) + "' (digits, at most two decimals)");
    return *v;
  }

  std::int32_t productCode(std::string_view text) {
    const auto v = parseUnsigned(text, 0x7FFFFFFF);
    if (!v) fail("bad product code '" + std::string(text) + "'");
    return static_cast<std::int32_t>(*v);
  }

  SimCard& currentCard(std::string_view directive) {
    if (config_.cards.empty()) fail("'" + std::string(directive) + "' before any 'card'");
    return config_.cards.back();
  }

  void directive(const std::vector<std::string_view>& w) {
    const std::string_view d = w[0];
    if (d == "reply-delay-ms" || d == "trickle-delay-ms") {
      expectWords(w, 2, 2);
      (d == "reply-delay-ms" ? config_.replyDelayMs : config_.trickleDelayMs) = delay(w[1]);
    } else if (d == "shift") {
      expectWords(w, 2, 3);
      if (w[1] == "closed" && w.size() == 2) {
        config_.shiftOpen = false;
      } else if (w[1] == "open" && w.size() == 3) {
        const auto v = parseUnsigned(w[2], 255);
        if (!v) fail("shift number must be 0 to 255");
        config_.shiftOpen = true;
        config_.shiftNo = static_cast<std::uint8_t>(*v);
      } else {
        fail("expected 'shift open N' or 'shift closed'");
      }
    } else if (d == "shift-check") {
      expectWords(w, 2, 2);
      if (w[1] != "on" && w[1] != "off") fail("expected 'shift-check on' or 'shift-check off'");
      config_.shiftCheck = w[1] == "on";
    } else if (d == "insert") {
      expectWords(w, 2, 2);
      config_.insertedCard = w[1] == "none" ? std::string() : std::string(w[1]);
      insertLine_ = line_;
    } else if (d == "card") {
      newCard(w);
    } else if (d == "status") {
      expectWords(w, 3, 3);
      SimCard& card = currentCard(d);
      const auto s1 = parseHexByte(w[1]);
      const auto s2 = parseHexByte(w[2]);
      if (!s1 || !s2) fail("status takes two hex bytes, e.g. 'status 00 01'");
      card.status1 = *s1;
      card.status2 = *s2;
    } else if (d == "balance") {
      expectWords(w, 2, 2);
      currentCard(d).balance = amount(w[1]);
    } else if (d == "blocked") {
      expectWords(w, 1, 1);
      currentCard(d).blocked = true;
    } else if (d == "discount") {
      discount(w);
    } else if (d == "purse") {
      purse(w);
    } else if (d == "sale") {
      sale(w);
    } else if (d == "last-block") {
      expectWords(w, 2, 2);
      config_.lastBlock = block(w[1]);
    } else {
      fail("unknown directive '" + std::string(d) + "'");
    }
  }

  void newCard(const std::vector<std::string_view>& w) {
    expectWords(w, 3, 3);
    const std::string name(w[1]);
    if (name == "none") fail("'none' cannot name a card");
    if (config_.findCard(name) != nullptr) fail("card '" + name + "' defined twice");
    const auto number = parseCardNumber(w[2]);
    if (!number) fail("card number must be exactly 20 decimal digits");
    if (!numbers_.insert(std::string(w[2])).second) fail("card number used twice");
    SimCard card;
    card.name = name;
    card.number = *number;
    config_.cards.push_back(std::move(card));
  }

  void discount(const std::vector<std::string_view>& w) {
    expectWords(w, 2, 3);
    SimCard& card = currentCard(w[0]);
    const auto percent = parsePercent(w.back());
    if (!percent) fail("discount must be 0 to 100 percent with at most two decimals");
    if (w.size() == 2) {
      card.discount = *percent;
    } else if (!card.productDiscount.emplace(productCode(w[1]), *percent).second) {
      fail("discount for this product given twice");
    }
  }

  void purse(const std::vector<std::string_view>& w) {
    expectWords(w, 3, 4);
    SimCard& card = currentCard(w[0]);
    const std::int32_t code = productCode(w[1]);
    const auto no = parseUnsigned(w[2], 255);
    if (!no || *no == 0) fail("purse number must be 1 to 255");
    SimPurse p;
    p.purseNo = static_cast<std::uint8_t>(*no);
    if (w.size() == 4) p.allowedQuantity = amount(w[3]);
    if (!card.purses.emplace(code, p).second) fail("purse for this product given twice");
  }

  std::vector<std::uint8_t> block(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
      const auto b = parseHexByte(text.substr(i, 2));
      if (!b) break;
      bytes.push_back(*b);
    }
    if (text.size() != 2 * kBlockBytes || bytes.size() != kBlockBytes) {
      fail("a card block is 79 bytes: 158 hex digits");
    }
    return bytes;
  }

  void sale(const std::vector<std::string_view>& w) {
    expectWords(w, 5, 5);
    SimSale s;
    const auto id = parseUnsigned(w[1], 0xFFFFFFFF);
    if (!id || *id == 0) fail("sale number must be 1 to 4294967295");
    s.id = static_cast<std::uint32_t>(*id);
    s.cardName = std::string(w[2]);
    if (config_.findCard(s.cardName) == nullptr)
      fail("sale names an unknown card '" + s.cardName + "'");
    s.charged = amount(w[3]);
    s.block = block(w[4]);
    config_.sales.push_back(std::move(s));
  }

  static constexpr std::size_t kBlockBytes = 79;

  SimulatorConfig config_;
  std::set<std::string> numbers_;
  std::size_t line_ = 0;
  std::size_t insertLine_ = 0;
};

}  // namespace

const SimCard* SimulatorConfig::findCard(std::string_view name) const {
  for (const SimCard& c : cards) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::optional<std::int64_t> parseAmount(std::string_view text) {
  const auto dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() || frac.size() > 2 || (dot != std::string_view::npos && frac.empty())) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  for (char c : whole) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value >= kAmountLimit) return std::nullopt;
  }
  for (std::size_t k = 0; k < 2; ++k) {
    const char c = k < frac.size() ? frac[k] : '0';
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value >= kAmountLimit) return std::nullopt;
  return value;
}

SimulatorConfig parseSimulatorConfig(std::string_view text) { return Parser().run(text); }

namespace {

std::string amountText(std::int64_t hundredths) {
  std::string frac = std::to_string(hundredths % 100);
  if (frac.size() < 2) frac.insert(0, 1, '0');
  return std::to_string(hundredths / 100).append(".").append(frac);
}

std::string hexText(const std::vector<std::uint8_t>& bytes) {
  static const char* const kDigits = "0123456789ABCDEF";
  std::string out;
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::string hexByte(std::uint8_t b) { return hexText({b}); }

}  // namespace

std::string formatSimulatorConfig(const SimulatorConfig& config) {
  std::ostringstream out;
  out << "reply-delay-ms " << config.replyDelayMs << "\n"
      << "trickle-delay-ms " << config.trickleDelayMs << "\n"
      << "shift-check " << (config.shiftCheck ? "on" : "off") << "\n";
  if (config.shiftOpen) {
    out << "shift open " << static_cast<int>(config.shiftNo) << "\n";
  } else {
    out << "shift closed\n";
  }
  for (const SimCard& c : config.cards) {
    out << "\ncard " << c.name << " " << cardNumberDigits(c.number) << "\n"
        << "  status " << hexByte(c.status1) << " " << hexByte(c.status2) << "\n"
        << "  balance " << amountText(c.balance) << "\n";
    if (c.discount != 0) out << "  discount " << amountText(c.discount) << "\n";
    for (const auto& [code, percent] : c.productDiscount) {
      out << "  discount " << code << " " << amountText(percent) << "\n";
    }
    for (const auto& [code, purse] : c.purses) {
      out << "  purse " << code << " " << static_cast<int>(purse.purseNo);
      if (purse.allowedQuantity) out << " " << amountText(*purse.allowedQuantity);
      out << "\n";
    }
    if (c.blocked) out << "  blocked\n";
  }
  out << "\ninsert " << (config.insertedCard.empty() ? "none" : config.insertedCard) << "\n";
  for (const SimSale& s : config.sales) {
    out << "sale " << s.id << " " << s.cardName << " " << amountText(s.charged) << " "
        << hexText(s.block) << "\n";
  }
  if (!config.lastBlock.empty()) out << "last-block " << hexText(config.lastBlock) << "\n";
  return out.str();
}

SimulatorConfig loadSimulatorConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("simulator configuration: cannot open '" + path + "'");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw Exception("simulator configuration: cannot read '" + path + "'");
  return parseSimulatorConfig(text.str());
}

}  // namespace vexcard::sim
