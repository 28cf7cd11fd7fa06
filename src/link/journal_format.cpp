#include "link/journal_format.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/settings_store.h"

namespace vexcard::link {
namespace {

constexpr std::string_view kRequestTag = "request";
constexpr std::string_view kOutcomeTag = "outcome";

void escapeInto(std::string& out, std::string_view value) {
  for (const char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
}

std::string unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t k = 0; k < value.size(); ++k) {
    if (value[k] != '\\' || k + 1 == value.size()) {
      out += value[k];
      continue;
    }
    const char c = value[++k];
    out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
  }
  return out;
}

void field(std::string& line, std::string_view key, std::string_view value) {
  line += '\t';
  line += key;
  line += '=';
  escapeInto(line, value);
}

// time, tag and the fields that name the request in both lines.
std::string head(std::string_view time, std::string_view tag, const JournalRequest& r) {
  std::string line(time);
  line += '\t';
  line += tag;
  field(line, "port", std::to_string(r.port));
  field(line, "packet", std::to_string(r.packet));
  field(line, "txn", std::to_string(r.transaction));
  field(line, "command", r.command);
  return line;
}

template <class Int>
bool parseInt(std::string_view text, Int& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parseOutcome(std::string_view text, RequestOutcome& outcome) {
  for (const RequestOutcome o : {RequestOutcome::kDone, RequestOutcome::kRefused,
                                 RequestOutcome::kNotCarriedOut, RequestOutcome::kUnknown}) {
    if (text == outcomeName(o)) {
      outcome = o;
      return true;
    }
  }
  return false;
}

// One line's tag and fields; false when it is not a journal line.
struct Line {
  std::string time;
  std::string tag;
  std::map<std::string, std::string, std::less<>> fields;
};
bool splitLine(std::string_view text, Line& line) {
  std::size_t start = 0;
  int column = 0;
  while (start <= text.size()) {
    std::size_t tab = text.find('\t', start);
    if (tab == std::string_view::npos) tab = text.size();
    const std::string_view part = text.substr(start, tab - start);
    if (column == 0) {
      line.time = std::string(part);
    } else if (column == 1) {
      line.tag = std::string(part);
    } else {
      const std::size_t eq = part.find('=');
      if (eq == std::string_view::npos) return false;
      line.fields[std::string(part.substr(0, eq))] = unescape(part.substr(eq + 1));
    }
    ++column;
    start = tab + 1;
  }
  return column >= 2 && (line.tag == kRequestTag || line.tag == kOutcomeTag);
}

std::string_view get(const Line& line, std::string_view key) {
  const auto it = line.fields.find(key);
  return it == line.fields.end() ? std::string_view() : std::string_view(it->second);
}

bool readKey(const Line& line, JournalRequest& r) {
  return parseInt(get(line, "port"), r.port) && parseInt(get(line, "packet"), r.packet) &&
         parseInt(get(line, "txn"), r.transaction) && !(r.command = get(line, "command")).empty();
}

bool readRequest(const Line& line, JournalRequest& r) {
  r.time = line.time;
  if (!readKey(line, r)) return false;
  r.operation = get(line, "op");
  r.productName = get(line, "name");
  r.card = get(line, "card");
  r.block = get(line, "block");
  return parseInt(get(line, "purse"), r.purse) && parseInt(get(line, "product"), r.productCode) &&
         parseJournalMoney(get(line, "price"), r.price) &&
         parseJournalMoney(get(line, "qty"), r.quantity) &&
         parseJournalMoney(get(line, "amount"), r.amount);
}

bool readOutcome(const Line& line, JournalOutcome& o) {
  o.time = line.time;
  o.recorded = true;
  if (!parseOutcome(get(line, "result"), o.outcome)) return false;
  if (const std::string_view code = get(line, "code"); !code.empty() && !parseInt(code, o.code)) {
    return false;
  }
  o.block = get(line, "block");
  for (const auto& [key, value] : {std::pair{"money1", &o.money1}, std::pair{"money2", &o.money2},
                                   std::pair{"money3", &o.money3}}) {
    const std::string_view text = get(line, key);
    if (!text.empty() && !parseJournalMoney(text, *value)) return false;
  }
  return true;
}

}  // namespace

std::string journalTime() {
  const platform::DateTimeParts p = platform::decodeOle(platform::nowOle());
  char buf[40];
  const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year,
                              p.month, p.day, p.hour, p.minute, p.second, p.millisecond);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string journalMoney(Currency value) {
  const std::int64_t raw = value.raw;
  const std::uint64_t magnitude =
      raw < 0 ? 0 - static_cast<std::uint64_t>(raw) : static_cast<std::uint64_t>(raw);
  std::string text = raw < 0 ? "-" : "";
  text += std::to_string(magnitude / 10000);
  std::string fraction = std::to_string(magnitude % 10000 + 10000).substr(1);
  while (fraction.size() > 2 && fraction.back() == '0') fraction.pop_back();
  return text + "." + fraction;
}

bool parseJournalMoney(std::string_view text, Currency& value) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  std::int64_t units = 0, part = 0;
  if (whole.empty() || fraction.size() > 4 || !parseInt(whole, units) ||
      (!fraction.empty() && !parseInt(fraction, part)) || units > 922337203685477) {
    return false;
  }
  for (std::size_t k = fraction.size(); k < 4; ++k) part *= 10;
  value.raw = (units * 10000 + part) * (negative ? -1 : 1);
  return true;
}

std::string formatRequestLine(const JournalRequest& r) {
  std::string line = head(r.time, kRequestTag, r);
  field(line, "op", r.operation);
  field(line, "purse", std::to_string(r.purse));
  field(line, "product", std::to_string(r.productCode));
  field(line, "name", r.productName);
  field(line, "price", journalMoney(r.price));
  field(line, "qty", journalMoney(r.quantity));
  field(line, "amount", journalMoney(r.amount));
  field(line, "card", r.card);
  if (!r.block.empty()) field(line, "block", r.block);
  line += '\n';
  return line;
}

std::string_view settlementName(Settlement how) {
  return how == Settlement::kDone ? "done" : how == Settlement::kNotDone ? "not-done" : "";
}

Settlement parseSettlement(std::string_view text) {
  return text == "done"       ? Settlement::kDone
         : text == "not-done" ? Settlement::kNotDone
                              : Settlement::kNone;
}

std::string formatSettlementLine(const JournalRequest& r, const JournalSettlement& s) {
  std::string line = head(s.time, kOutcomeTag, r);
  field(line, "result", outcomeName(RequestOutcome::kUnknown));
  field(line, "settled", settlementName(s.how));
  field(line, "of", r.time);
  if (!s.note.empty()) field(line, "note", s.note);
  line += '\n';
  return line;
}

std::string formatOutcomeLine(const JournalRequest& r, const JournalOutcome& o) {
  std::string line = head(o.time, kOutcomeTag, r);
  field(line, "result", outcomeName(o.outcome));
  if (o.code >= 0) field(line, "code", std::to_string(o.code));
  if (o.outcome == RequestOutcome::kDone) {
    field(line, "money1", journalMoney(o.money1));
    field(line, "money2", journalMoney(o.money2));
    field(line, "money3", journalMoney(o.money3));
  }
  if (!o.block.empty()) field(line, "block", o.block);
  line += '\n';
  return line;
}

namespace {

// True when a record starts at text[at]: a time "YYYY-MM-DD hh:mm:ss.zzz", a tab, a tag, a tab.
bool recordStartsAt(std::string_view text, std::size_t at) {
  constexpr std::string_view shape = "dddd-dd-dd dd:dd:dd.ddd\t";
  if (text.size() - at < shape.size()) return false;
  for (std::size_t k = 0; k < shape.size(); ++k) {
    const char c = text[at + k];
    if (shape[k] == 'd' ? (c < '0' || c > '9') : c != shape[k]) return false;
  }
  const std::string_view rest = text.substr(at + shape.size());
  for (const std::string_view tag : {kRequestTag, kOutcomeTag}) {
    if (rest.size() > tag.size() && rest.substr(0, tag.size()) == tag && rest[tag.size()] == '\t') {
      return true;
    }
  }
  return false;
}

// A settlement names its request by time, port, packet, transaction and command; it settles
// only a request whose outcome is unknown. One that names no such request is a record all
// the same (its request may be in a generation rotated away) and changes nothing.
bool takeSettlement(const Line& line, const JournalRequest& key, std::string_view settled,
                    std::vector<JournalEntry>& entries) {
  JournalSettlement s;
  s.time = line.time;
  s.how = parseSettlement(settled);
  s.note = get(line, "note");
  const std::string_view of = get(line, "of");
  if (s.how == Settlement::kNone || of.empty()) return false;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const JournalRequest& r = it->request;
    if (r.time == of && r.port == key.port && r.packet == key.packet &&
        r.transaction == key.transaction && r.command == key.command) {
      if (it->openUnknown()) it->settlement = std::move(s);
      break;
    }
  }
  return true;
}

// Takes one complete line (without its line feed) as a record; false when it is none.
bool takeRecord(std::string_view one, std::vector<JournalEntry>& entries) {
  Line line;
  if (!splitLine(one, line)) return false;
  if (line.tag == kRequestTag) {
    JournalEntry entry;
    if (!readRequest(line, entry.request)) return false;
    entries.push_back(std::move(entry));
    return true;
  }
  JournalRequest key;
  JournalOutcome outcome;
  if (!readKey(line, key) || !readOutcome(line, outcome)) return false;
  if (const std::string_view settled = get(line, "settled"); !settled.empty()) {
    return takeSettlement(line, key, settled, entries);
  }
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const JournalRequest& r = it->request;
    if (!it->outcome.recorded && r.port == key.port && r.packet == key.packet) {
      it->outcome = std::move(outcome);
      break;
    }
  }
  return true;
}

}  // namespace

void parseJournal(std::string_view text, std::vector<JournalEntry>& entries,
                  std::vector<JournalDamage>* damage, const std::string& file) {
  std::optional<JournalDamage> pending;  // the damaged stretch not yet reported
  const auto flush = [&] {
    if (pending && damage != nullptr) damage->push_back(std::move(*pending));
    pending.reset();
  };
  const auto damaged = [&](std::size_t from, std::size_t to) {
    if (from >= to) return;
    const auto at = static_cast<std::int64_t>(from), size = static_cast<std::int64_t>(to - from);
    if (pending && pending->offset + pending->bytes == at) {
      pending->bytes += size;
      return;
    }
    flush();
    pending = JournalDamage{file, at, size};
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t lf = text.find('\n', pos);
    // A last line without its line feed was cut short: it is damage, never a record.
    if (lf == std::string_view::npos) {
      damaged(pos, text.size());
      break;
    }
    // The record is the first record start of the line from which the rest reads whole;
    // what comes before it is junk.
    bool taken = false;
    for (std::size_t at = pos; at < lf && !taken; ++at) {
      if (!recordStartsAt(text, at)) continue;
      taken = takeRecord(text.substr(at, lf - at), entries);
      if (taken) damaged(pos, at);
    }
    if (!taken) damaged(pos, lf + 1);
    pos = lf + 1;
  }
  flush();
}

JournalContents readJournalContents(const std::string& path) {
  JournalContents contents;
  std::string text;
  // .10 .. .0, the stage of a rotation under way or cut short, the active file.
  for (int n = kJournalGenerations - 1; n >= -2; --n) {
    const std::string file = n == -2   ? path
                             : n == -1 ? platform::rotationStage(path)
                                       : path + "." + std::to_string(n);
    if (!platform::readWholeFile(file, text)) continue;
    ++contents.files;
    parseJournal(text, contents.entries, &contents.damage, file);
  }
  return contents;
}

std::vector<JournalEntry> readJournal(const std::string& path) {
  return readJournalContents(path).entries;
}

namespace {

struct Override {
  std::mutex lock;
  std::string path;  // guarded by lock
};
Override& journalOverride() {
  static Override o;
  return o;
}

}  // namespace

void setJournalPathOverride(std::string path) {
  Override& o = journalOverride();
  std::lock_guard<std::mutex> g(o.lock);
  o.path = std::move(path);
}

std::string journalPath() {
  {
    Override& o = journalOverride();
    std::lock_guard<std::mutex> g(o.lock);
    if (!o.path.empty()) return o.path;
  }
  return platform::journalFolder() + platform::kPathSeparator + std::string(kJournalFileName);
}

}  // namespace vexcard::link
