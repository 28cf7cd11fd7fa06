#include "cli/journal_command.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <ostream>

#include "cli/app.h"
#include "cli/driver_loader.h"
#include "cli/report.h"
#include "link/journal_format.h"

namespace vexcard::cli {
namespace {

using link::JournalEntry;
using link::journalMoney;

// "YYYY-MM-DD", optionally followed by " hh:mm" or "Thh:mm" and ":ss": the journal's time
// form cut short, so that it compares with the records' times as text.
std::string sinceTime(const std::string& text) {
  std::string t = text;
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
    throw UsageError("--since: '" + text + "' is not YYYY-MM-DD[ hh:mm[:ss]]");
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
      ", sum " + journalMoney(r.amount) + "  card " +
      (r.card.empty() ? "?" : r.card) + "  -> " + std::string(link::outcomeName(o.outcome));
  if (!o.recorded) line += " (no outcome recorded)";
  if (o.code >= 0 && o.outcome != link::RequestOutcome::kDone) {
    line += " code " + std::to_string(o.code);
  }
  if (o.outcome == link::RequestOutcome::kDone) {
    const MoneyLabels l = labelsOf(r.command);
    if (l.lineWord == nullptr) {
      line += ", reply values " + journalMoney(o.money1) + " / " + journalMoney(o.money2) +
              " / " + journalMoney(o.money3);
    } else {
      line += std::string(", ") + l.lineWord + " " + journalMoney(o.money2) + " (" + l.first +
              " " + journalMoney(o.money1) + ")";
    }
  }
  return line;
}

}  // namespace

std::vector<OptionDef> journalOptions() {
  return {{"unknown", "", "only the requests whose outcome is unknown (to reconcile)"},
          {"since", "TIME", "only the requests from TIME on: YYYY-MM-DD[ hh:mm[:ss]]"},
          {"file", "FILE", "read this journal instead of the driver's"}};
}

int runJournal(const ParsedArgs& a, std::ostream& out) {
  const std::optional<std::string> since =
      a.get("since") ? std::optional(sinceTime(*a.get("since"))) : std::nullopt;
  const std::optional<std::int64_t> port =
      a.has("port") ? a.integer("port", 1, 255) : std::optional<std::int64_t>();
  const std::string path =
      a.get("file").value_or(port ? link::journalPath() : simulatorJournalPath());
  const bool unknownOnly = a.has("unknown");
  const link::JournalContents contents = link::readJournalContents(path);
  std::int64_t damaged = 0;
  for (const link::JournalDamage& d : contents.damage) damaged += d.bytes;
  // A file named on the command line must be there and hold records: "0 request(s)" would
  // say a journal was read.
  if (a.get("file") && contents.files == 0) {
    throw InputError("journal " + path + ": no such file or it cannot be read");
  }
  if (contents.entries.empty() && damaged > 0) {
    throw InputError("journal " + path + ": no journal record in it (" +
                     std::to_string(damaged) + " byte(s) that are none)");
  }
  std::vector<Report> rows, damage;
  std::vector<std::string> lines;
  for (const JournalEntry& e : contents.entries) {
    if (unknownOnly && e.outcome.outcome != link::RequestOutcome::kUnknown) continue;
    if (since && e.request.time < *since) continue;
    if (port && e.request.port != static_cast<unsigned>(*port)) continue;
    rows.push_back(reportOf(e));
    lines.push_back(lineOf(e));
  }
  for (const link::JournalDamage& d : contents.damage) {
    damage.push_back(Report().text("file", "", d.file).integer("offset", "", d.offset).integer(
        "bytes", "", d.bytes));
  }
  if (a.has("json")) {
    out << toJson(Report().text("journal", "", path).array("records", "", rows).array(
               "damage", "", damage))
        << "\n";
    return kExitOk;
  }
  out << "Journal " << path << ": " << lines.size()
      << (unknownOnly ? " request(s) of unknown outcome" : " request(s)") << "\n";
  for (const std::string& line : lines) out << line << "\n";
  // Damage is skipped up to the next record; it is said, with its place, so that nobody
  // takes the list for the whole story.
  for (const link::JournalDamage& d : contents.damage) {
    out << "Damaged: " << d.bytes << " byte(s) at offset " << d.offset << " of " << d.file
        << " that are no record (skipped)\n";
  }
  return kExitOk;
}

}  // namespace vexcard::cli
