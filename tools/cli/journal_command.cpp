#include "cli/journal_command.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>
#include <ostream>

#include "cli/app.h"
#include "cli/driver_loader.h"
#include "cli/report.h"
#include "link/journal.h"
#include "link/journal_format.h"
#include "logreader/card_mask.h"

namespace vexcard::cli {
namespace {

using link::JournalEntry;
using link::journalMoney;

// "YYYY-MM-DD", optionally followed by " hh:mm" or "Thh:mm" and ":ss", or "today": the
// journal's (local) time form cut short, so that it compares with the records' times as text.
std::string timeBound(const std::string& option, const std::string& text) {
  std::string t = text == "today" ? link::journalTime().substr(0, 10) : text;
  if (t.size() > 10 && t[10] == 'T') t[10] = ' ';
  const std::string shape = "dddd-dd-dd dd:dd:dd";
  const bool fits = (t.size() == 10 || t.size() == 16 || t.size() == 19) && [&] {
    for (std::size_t k = 0; k < t.size(); ++k) {
      const bool digit = std::isdigit(static_cast<unsigned char>(t[k])) != 0;
      if (shape[k] == 'd' ? !digit : t[k] != shape[k]) return false;
    }
    return true;
  }();
  // The digits must also name a real time: month 1..12, a day of that month, hh < 24 ...
  const auto number = [&](std::size_t at, std::size_t n) { return std::stoi(t.substr(at, n)); };
  const auto validTime = [&] {
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
    return t.size() == 10 ||
           (number(11, 2) < 24 && number(14, 2) < 60 && (t.size() == 16 || number(17, 2) < 60));
  };
  if (!fits || !validTime()) {
    throw UsageError("--" + option + ": '" + text + "' is not YYYY-MM-DD[ hh:mm[:ss]] or today");
  }
  return t;
}

// price x quantity as they went out, to the 4 decimals of the currency (rounded half away
// from zero), so that the line shows true arithmetic beside the host's sum.
Currency product(Currency price, Currency quantity) {
  // Exact in long double for every product of wire values (24-bit hundredths); a figure
  // beyond the currency's range (a file that is not the driver's) is held at its end.
  const long double exact = static_cast<long double>(price.raw) * quantity.raw / 10000.0L;
  constexpr long double kEnd = 9.2e18L;
  const long double held = exact > kEnd ? kEnd : exact < -kEnd ? -kEnd : exact;
  return Currency::fromRaw(static_cast<std::int64_t>(held < 0 ? held - 0.5L : held + 0.5L));
}

// The reply's money values by what they mean for the command: a sale charges the second
// (the first is the sum before the discount); tsDebit only quotes it (nothing is charged,
// the third is what the card allows); a refund's values have no meaning the driver reads.
struct MoneyLabels {
  const char* first;
  const char* second;
  const char* third;
  const char* lineWord;  // how the line names the second value; nullptr: all three raw
};
MoneyLabels labelsOf(const std::string& command) {
  if (command == "tsSale") return {"before discount", "charged", "third value", "charged"};
  if (command == "tsDebit") {
    return {"before discount", "quoted (not charged)", "card allows", "quoted, nothing charged"};
  }
  return {"reply value 1", "reply value 2", "reply value 3", nullptr};
}

// The entry as shown: with --mask-cards its card number and blocks masked.
JournalEntry shown(JournalEntry e, bool mask) {
  if (mask) {
    e.request.card = maskedCard(e.request.card);
    e.request.block = maskedBlock(e.request.block);
    e.outcome.block = maskedBlock(e.outcome.block);
  }
  return e;
}

std::string settlementText(const JournalEntry& e) {
  std::string text = "settled as ";
  text += link::settlementName(e.settledAs());
  text += " " + e.settlement.time;
  if (!e.settlement.note.empty()) text += " (" + e.settlement.note + ")";
  return text;
}

Report reportOf(const JournalEntry& e) {
  const link::JournalRequest& r = e.request;
  const link::JournalOutcome& o = e.outcome;
  Report out;
  out.text("time", "Time", r.time)
      .integer("port", "Port", r.port)
      .integer("packet", "Packet", r.packet)
      .integer("transaction", "Transaction", r.transaction)
      .text("command", "Command", r.command)
      .text("operation", "Operation", r.operation)
      .integer("purse", "Purse", r.purse)
      .integer("product_code", "Product", r.productCode)
      .text("product", "Name", r.productName)
      .text("price", "Price", journalMoney(r.price))
      .text("quantity", "Quantity", journalMoney(r.quantity))
      .text("wire_product", "Price x quantity", journalMoney(product(r.price, r.quantity)))
      .text("amount", "Amount", journalMoney(r.amount))
      .text("card", "Card", r.card);
  if (!r.block.empty()) out.text("block", "", r.block);
  out.text("outcome", "Outcome", std::string(link::outcomeName(o.outcome)),
           o.recorded ? std::string() : "no outcome recorded");
  if (o.recorded) out.text("outcome_time", "", o.time);
  if (o.code >= 0) out.integer("reply_code", "Reply code", o.code);
  if (o.outcome == link::RequestOutcome::kDone) {
    const MoneyLabels l = labelsOf(r.command);
    out.text("money1", std::string("Money 1 (") + l.first + ")", journalMoney(o.money1))
        .text("money2", std::string("Money 2 (") + l.second + ")", journalMoney(o.money2))
        .text("money3", std::string("Money 3 (") + l.third + ")", journalMoney(o.money3));
  }
  if (!o.block.empty()) out.text("reply_block", "", o.block);
  if (e.settledAs() != link::Settlement::kNone) {
    out.text("settled", "Settled", std::string(link::settlementName(e.settledAs())))
        .text("settled_time", "", e.settlement.time)
        .text("note", "Note", e.settlement.note);
  }
  return out;
}

// One line a record: when, where, what, for how much, and how it ended.
std::string lineOf(const JournalEntry& e) {
  const link::JournalRequest& r = e.request;
  const link::JournalOutcome& o = e.outcome;
  std::string line =
      r.time + "  COM" + std::to_string(r.port) + " packet " + std::to_string(r.packet) + " txn " +
      std::to_string(r.transaction) + "  " + r.command +
      (r.operation.empty() ? "" : " (" + r.operation + ")") + "  purse " + std::to_string(r.purse) +
      " " + std::to_string(r.productCode) + " " + r.productName + "  " + journalMoney(r.price) +
      " x " + journalMoney(r.quantity) + " = " + journalMoney(product(r.price, r.quantity)) +
      ", sum " + journalMoney(r.amount) + "  card " + (r.card.empty() ? "?" : r.card) + "  -> " +
      std::string(link::outcomeName(o.outcome));
  if (!o.recorded) line += " (no outcome recorded)";
  if (o.code >= 0 && o.outcome != link::RequestOutcome::kDone) {
    line += " code " + std::to_string(o.code);
  }
  if (o.outcome == link::RequestOutcome::kDone) {
    const MoneyLabels l = labelsOf(r.command);
    if (l.lineWord == nullptr) {
      line += ", reply values " + journalMoney(o.money1) + " / " + journalMoney(o.money2) + " / " +
              journalMoney(o.money3);
    } else {
      line += std::string(", ") + l.lineWord + " " + journalMoney(o.money2) + " (" + l.first + " " +
              journalMoney(o.money1) + ")";
    }
  }
  if (e.settledAs() != link::Settlement::kNone) line += ", " + settlementText(e);
  return line;
}

// The CSV columns: the JSON keys of a record, every record with all of them.
const std::vector<std::string>& csvColumns() {
  static const std::vector<std::string> columns = {
      "time",   "port",         "packet",       "transaction", "command",  "operation",
      "purse",  "product_code", "product",      "price",       "quantity", "amount",
      "card",   "outcome",      "outcome_time", "reply_code",  "money1",   "money2",
      "money3", "settled",      "settled_time", "note"};
  return columns;
}

std::string csvRecord(const Report& record) {
  std::string line;
  for (const std::string& key : csvColumns()) {
    if (&key != &csvColumns().front()) line += ',';
    const Field* f = record.find(key);
    if (f == nullptr) continue;
    line += csvField(f->kind == Field::Kind::kInteger ? std::to_string(f->integer) : f->text);
  }
  return line + kCsvLineEnd;
}

link::Settlement settlementOf(const std::string& text) {
  const link::Settlement how = link::parseSettlement(text);
  if (how == link::Settlement::kNone) {
    throw UsageError("--as: '" + text + "' is neither done nor not-done");
  }
  return how;
}

// `journal resolve PACKET`: the one unsettled request of unknown outcome with that packet
// number among those the filters select gets its settlement appended.
int runResolve(const ParsedArgs& a, std::ostream& out) {
  if (a.positional().size() != 2) {
    throw UsageError("journal resolve: give the request's packet number (PACKET)");
  }
  const std::string packetText = a.positional()[1];
  std::int32_t packet = 0;
  const auto [end, ec] =
      std::from_chars(packetText.data(), packetText.data() + packetText.size(), packet);
  if (ec != std::errc() || end != packetText.data() + packetText.size() || packet < 1 ||
      packet > 9999) {
    throw UsageError("journal resolve: '" + packetText + "' is no packet number (1..9999)");
  }
  const link::Settlement how = settlementOf(a.required("as"));
  const JournalSelection sel = selectJournal(a);
  std::vector<const JournalEntry*> matches;
  for (const JournalEntry& e : sel.contents.entries) {
    if (e.openUnknown() && e.request.packet == packet && sel.selects(e)) matches.push_back(&e);
  }
  if (matches.empty()) {
    throw UsageError("journal " + sel.path + ": no request of unknown outcome, not yet settled, " +
                     "has packet " + packetText + " (see `vexcard journal --unknown`)");
  }
  if (matches.size() > 1) {
    std::string which;
    for (const JournalEntry* e : matches) {
      which += "\n  " + e->request.time + " COM" + std::to_string(e->request.port);
    }
    throw UsageError(std::to_string(matches.size()) + " requests of unknown outcome have packet " +
                     packetText + ":" + which +
                     "\nname the one meant with --port N or --since/--until");
  }
  JournalEntry settled = *matches.front();
  settled.settlement = {link::journalTime(), how, a.get("note").value_or("")};
  if (!link::Journal(sel.path).settle(settled.request, settled.settlement)) {
    throw InputError("journal " + sel.path + ": the settlement could not be written");
  }
  const JournalEntry e = shown(settled, a.has("mask-cards"));
  if (a.has("json")) {
    out << toJson(Report().text("journal", "", sel.path).object("record", "", reportOf(e))) << "\n";
  } else {
    out << "Settled in " << sel.path << ":\n" << lineOf(e) << "\n";
  }
  return kExitOk;
}

}  // namespace

const char* const kCsvLineEnd =
#ifdef _WIN32
    "\n";
#else
    "\r\n";
#endif

std::string csvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

Report journalRecord(const JournalEntry& entry, bool mask) { return reportOf(shown(entry, mask)); }
std::string journalLine(const JournalEntry& entry, bool mask) { return lineOf(shown(entry, mask)); }

std::string maskedCard(const std::string& digits) { return logreader::maskCards(digits); }

std::string maskedBlock(const std::string& hex) {
  // The block begins with the card number's 20 BCD digits: digits 7 to 16 become the
  // nibble F, as in the masked log's dumps.
  std::string out = hex;
  for (std::size_t k = 6; k < 16 && k < out.size(); ++k) out[k] = 'F';
  return out;
}

bool JournalSelection::selects(const JournalEntry& e) const {
  const std::string& t = e.request.time;
  return (!port || e.request.port == *port) && (!since || t >= *since) &&
         (!until || t.compare(0, until->size(), *until) <= 0);
}

JournalSelection selectJournal(const ParsedArgs& a) {
  JournalSelection sel;
  if (a.get("since")) sel.since = timeBound("since", *a.get("since"));
  if (a.get("until")) sel.until = timeBound("until", *a.get("until"));
  if (a.has("port")) sel.port = static_cast<unsigned>(*a.integer("port", 1, 255));
  sel.path = a.get("file").value_or(sel.port ? link::journalPath() : simulatorJournalPath());
  sel.contents = link::readJournalContents(sel.path);
  std::int64_t damaged = 0;
  for (const link::JournalDamage& d : sel.contents.damage) damaged += d.bytes;
  // A file named on the command line must be there and hold records: "0 request(s)" would
  // say a journal was read.
  if (a.get("file") && sel.contents.files == 0) {
    throw InputError("journal " + sel.path + ": no such file or it cannot be read");
  }
  if (sel.contents.entries.empty() && damaged > 0) {
    throw InputError("journal " + sel.path + ": no journal record in it (" +
                     std::to_string(damaged) + " byte(s) that are none)");
  }
  return sel;
}

std::vector<OptionDef> journalOptions() {
  return {{"unknown", "", "only the requests of unknown outcome not yet settled (to reconcile)"},
          {"since", "TIME", "only the requests from TIME on: YYYY-MM-DD[ hh:mm[:ss]] or today"},
          {"until", "TIME", "only the requests up to TIME, its last minute or day included"},
          {"file", "FILE", "read this journal instead of the driver's"},
          {"csv", "", "print the records as CSV with a header row (for accounting)"},
          {"json-lines", "", "print one JSON object a line (for log shippers)"},
          {"mask-cards", "", "keep of every card number only the first 6 and last 4 digits"},
          {"as", "done|not-done", "resolve: how the terminal's shift report settles it"},
          {"note", "TEXT", "resolve: a note kept with the settlement"}};
}

int runJournal(const ParsedArgs& a, std::ostream& out) {
  const bool resolve = !a.positional().empty() && a.positional()[0] == "resolve";
  if (!a.positional().empty() && !resolve) {
    throw UsageError("journal: unknown word '" + a.positional()[0] + "' (resolve?)");
  }
  if (!resolve && (a.has("as") || a.has("note"))) {
    throw UsageError("journal: --as and --note belong to `journal resolve PACKET`");
  }
  if (a.has("csv") + a.has("json-lines") + a.has("json") > 1) {
    throw UsageError("journal: one of --json, --json-lines and --csv");
  }
  if (resolve) {
    if (a.has("unknown") || a.has("csv") || a.has("json-lines")) {
      throw UsageError("journal resolve: --unknown, --csv and --json-lines are for the listing");
    }
    return runResolve(a, out);
  }
  const JournalSelection sel = selectJournal(a);
  const bool unknownOnly = a.has("unknown"), mask = a.has("mask-cards");
  std::vector<Report> rows, damage;
  std::vector<std::string> lines;
  for (const JournalEntry& entry : sel.contents.entries) {
    if (unknownOnly && !entry.openUnknown()) continue;
    if (!sel.selects(entry)) continue;
    const JournalEntry e = shown(entry, mask);
    rows.push_back(reportOf(e));
    lines.push_back(lineOf(e));
  }
  for (const link::JournalDamage& d : sel.contents.damage) {
    damage.push_back(Report()
                         .text("file", "", d.file)
                         .integer("offset", "", d.offset)
                         .integer("bytes", "", d.bytes));
  }
  if (a.has("json")) {
    out << toJson(Report()
                      .text("journal", "", sel.path)
                      .array("records", "", rows)
                      .array("damage", "", damage))
        << "\n";
    return kExitOk;
  }
  if (a.has("csv")) {
    std::string header;
    for (const std::string& key : csvColumns()) header += (header.empty() ? "" : ",") + key;
    out << header << kCsvLineEnd;
    for (const Report& row : rows) out << csvRecord(row);
    return kExitOk;
  }
  if (a.has("json-lines")) {
    for (const Report& row : rows) out << toJson(row) << "\n";
    for (const Report& d : damage) out << toJson(Report().object("damage", "", d)) << "\n";
    return kExitOk;
  }
  out << "Journal " << sel.path << ": " << lines.size()
      << (unknownOnly ? " request(s) of unknown outcome" : " request(s)") << "\n";
  for (const std::string& line : lines) out << line << "\n";
  // Damage is skipped up to the next record; it is said, with its place, so that nobody
  // takes the list for the whole story.
  for (const link::JournalDamage& d : sel.contents.damage) {
    out << "Damaged: " << d.bytes << " byte(s) at offset " << d.offset << " of " << d.file
        << " that are no record (skipped)\n";
  }
  return kExitOk;
}

}  // namespace vexcard::cli
