#include "cli/journal_command.h"

#include <cctype>
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
  if (!fits) {
    throw UsageError("--since: '" + text + "' is not YYYY-MM-DD[ hh:mm[:ss]]");
  }
  return t;
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
      .text("amount", "Amount", journalMoney(r.amount))
      .text("card", "Card", r.card);
  if (!r.block.empty()) out.text("block", "", r.block);
  out.text("outcome", "Outcome", std::string(link::outcomeName(o.outcome)),
           o.recorded ? std::string() : "no outcome recorded");
  if (o.recorded) out.text("outcome_time", "", o.time);
  if (o.code >= 0) out.integer("reply_code", "Reply code", o.code);
  if (o.outcome == link::RequestOutcome::kDone) {
    out.text("money1", "Money 1", journalMoney(o.money1))
        .text("money2", "Money 2 (charged)", journalMoney(o.money2))
        .text("money3", "Money 3", journalMoney(o.money3));
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
      " x " + journalMoney(r.quantity) + " = " + journalMoney(r.amount) + "  card " +
      (r.card.empty() ? "?" : r.card) + "  -> " + std::string(link::outcomeName(o.outcome));
  if (!o.recorded) line += " (no outcome recorded)";
  if (o.code >= 0 && o.outcome != link::RequestOutcome::kDone) {
    line += " code " + std::to_string(o.code);
  }
  if (o.outcome == link::RequestOutcome::kDone) line += ", charged " + journalMoney(o.money2);
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
  const std::string path =
      a.get("file").value_or(a.has("port") ? link::journalPath() : simulatorJournalPath());
  const bool unknownOnly = a.has("unknown");
  std::vector<Report> rows;
  std::vector<std::string> lines;
  for (const JournalEntry& e : link::readJournal(path)) {
    if (unknownOnly && e.outcome.outcome != link::RequestOutcome::kUnknown) continue;
    if (since && e.request.time < *since) continue;
    rows.push_back(reportOf(e));
    lines.push_back(lineOf(e));
  }
  if (a.has("json")) {
    out << toJson(Report().text("journal", "", path).array("records", "", rows)) << "\n";
    return kExitOk;
  }
  out << "Journal " << path << ": " << lines.size()
      << (unknownOnly ? " request(s) of unknown outcome" : " request(s)") << "\n";
  for (const std::string& line : lines) out << line << "\n";
  return kExitOk;
}

}  // namespace vexcard::cli
