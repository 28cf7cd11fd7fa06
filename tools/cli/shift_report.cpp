#include "cli/shift_report.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>

#include "cli/app.h"
#include "cli/journal_command.h"
#include "cli/report.h"
#include "link/journal_format.h"

namespace vexcard::cli {
namespace {

using link::JournalEntry;

// Two decimals, rounded half away from zero from the currency's ten-thousandths.
std::string money(Currency value) {
  const std::int64_t raw = value.raw;
  const std::uint64_t magnitude =
      raw < 0 ? 0 - static_cast<std::uint64_t>(raw) : static_cast<std::uint64_t>(raw);
  const std::uint64_t cents = (magnitude + 50) / 100;
  std::string text = raw < 0 && cents > 0 ? "-" : "";
  text += std::to_string(cents / 100);
  text += '.';
  text += std::to_string(cents % 100 + 100).substr(1);
  return text;
}

Currency operator+(Currency a, Currency b) { return Currency::fromRaw(a.raw + b.raw); }
Currency operator-(Currency a, Currency b) { return Currency::fromRaw(a.raw - b.raw); }

bool isRefund(const std::string& command) {
  return command == "tsRefund" || command == "tsRefundReset";
}

std::string cardKind(const JournalEntry& e) {
  constexpr std::string_view kBonus[] = {"BonusSaleEx", "BonusSaleExStr", "BonusSale", "BonusSale2",
                                         "RefundSale"};
  constexpr std::string_view kNonCash[] = {"SubSchetEx", "DebitNonCash", "CardQuantityEx",
                                           "CardQuantity"};
  const std::string& op = e.request.operation;
  if (std::find(std::begin(kBonus), std::end(kBonus), op) != std::end(kBonus)) return "bonus";
  if (std::find(std::begin(kNonCash), std::end(kNonCash), op) != std::end(kNonCash)) {
    return "non-cash";
  }
  // The card block: the 10 BCD bytes of the card number, then its two status bytes.
  const std::string& block = e.outcome.block.empty() ? e.request.block : e.outcome.block;
  // The low two bits of the second status byte are those of its last hex digit.
  const char digit = block.size() >= 24 ? block[23] : 'x';
  const std::size_t value = std::string_view("0123456789ABCDEF").find(digit);
  if (value != std::string_view::npos && (value & 3) == 1) return "bonus";
  if (value != std::string_view::npos && (value & 3) == 0) return "non-cash";
  return "other";
}

struct Figures {
  std::int64_t sales = 0, refunds = 0, settledSales = 0;
  Currency gross{}, discount{}, charged{}, refunded{}, settledSum{};

  void add(const Figures& f) {
    sales += f.sales;
    refunds += f.refunds;
    settledSales += f.settledSales;
    gross = gross + f.gross;
    discount = discount + f.discount;
    charged = charged + f.charged;
    refunded = refunded + f.refunded;
    settledSum = settledSum + f.settledSum;
  }
  Report report(Report r) const {
    return r.integer("sales", "Sales", sales)
        .text("gross", "Gross", money(gross))
        .text("discount", "Discount", money(discount))
        .text("charged", "Charged", money(charged))
        .integer("refunds", "Refunds", refunds)
        .text("refunded", "Refunded", money(refunded))
        .integer("settled_sales", "Settled sales", settledSales)
        .text("settled_sales_sum", "Settled sum", money(settledSum));
  }
};

// Display width of UTF-8 text: its code points.
std::size_t width(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t k = 0; k < row.size(); ++k) widths[k] = std::max(widths[k], width(row[k]));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t k = 0; k < row.size(); ++k) {
      const std::string pad(widths[k] - width(row[k]), ' ');
      // Names to the left, figures to the right.
      line += k < 2 ? row[k] + pad : pad + row[k];
      if (k + 1 < row.size()) line += "  ";
    }
    out += line + "\n";
  }
  return out;
}

std::vector<std::string> cells(std::string product, std::string kind, const Figures& f) {
  return {std::move(product),
          std::move(kind),
          std::to_string(f.sales),
          money(f.gross),
          money(f.discount),
          money(f.charged),
          std::to_string(f.refunds),
          money(f.refunded),
          std::to_string(f.settledSales),
          money(f.settledSum)};
}

}  // namespace

std::vector<OptionDef> reportOptions() {
  return {{"since", "TIME", "only the requests from TIME on: YYYY-MM-DD[ hh:mm[:ss]] or today"},
          {"until", "TIME", "only the requests up to TIME, its last minute or day included"},
          {"file", "FILE", "read this journal instead of the driver's"},
          {"csv", "", "print the figures as CSV with a header row"},
          {"mask-cards", "", "keep of every card number only the first 6 and last 4 digits"}};
}

int runReport(const ParsedArgs& a, std::ostream& out) {
  if (!a.positional().empty()) throw UsageError("report: unknown word '" + a.positional()[0] + "'");
  if (a.has("csv") && a.has("json")) throw UsageError("report: one of --json and --csv");
  const JournalSelection sel = selectJournal(a);
  const bool mask = a.has("mask-cards");
  using Key = std::tuple<std::int32_t, std::string, std::string>;  // product code, name, kind
  std::map<Key, Figures> groups;
  std::vector<const JournalEntry*> open;
  std::int64_t quotes = 0, noMoney = 0;
  for (const JournalEntry& e : sel.contents.entries) {
    if (!sel.selects(e)) continue;
    const link::JournalRequest& r = e.request;
    if (e.openUnknown()) {
      open.push_back(&e);
      continue;
    }
    const bool done = e.outcome.outcome == link::RequestOutcome::kDone;
    const bool settledDone = e.settledAs() == link::Settlement::kDone;
    if (!done && !settledDone) {
      ++noMoney;
      continue;
    }
    if (r.command == "tsDebit") {
      ++quotes;
      continue;
    }
    Figures& f = groups[Key{r.productCode, r.productName, cardKind(e)}];
    if (isRefund(r.command)) {
      ++f.refunds;
      f.refunded = f.refunded + r.amount;
    } else if (done) {
      ++f.sales;
      f.gross = f.gross + e.outcome.money1;
      f.charged = f.charged + e.outcome.money2;
      f.discount = f.discount + (e.outcome.money1 - e.outcome.money2);
    } else {
      ++f.settledSales;
      f.settledSum = f.settledSum + r.amount;
    }
  }
  Figures total;
  for (const auto& [key, f] : groups) total.add(f);

  if (a.has("csv")) {
    out << "product_code,product,card_kind,sales,gross,discount,charged,refunds,refunded,"
           "settled_sales,settled_sales_sum"
        << kCsvLineEnd;
    const auto row = [&](const std::string& code, const std::string& name, const std::string& kind,
                         const Figures& f) {
      std::vector<std::string> c = cells(name, kind, f);
      out << code;
      for (const std::string& cell : c) out << ',' << csvField(cell);
      out << kCsvLineEnd;
    };
    for (const auto& [key, f] : groups) {
      row(std::to_string(std::get<0>(key)), std::get<1>(key), std::get<2>(key), f);
    }
    row("", "total", "", total);
    return kExitOk;
  }
  if (a.has("json")) {
    std::vector<Report> rows, openRows, damage;
    for (const auto& [key, f] : groups) {
      rows.push_back(f.report(Report()
                                  .integer("product_code", "", std::get<0>(key))
                                  .text("product", "", std::get<1>(key))
                                  .text("card_kind", "", std::get<2>(key))));
    }
    for (const JournalEntry* e : open) openRows.push_back(journalRecord(*e, mask));
    for (const link::JournalDamage& d : sel.contents.damage) {
      damage.push_back(Report()
                           .text("file", "", d.file)
                           .integer("offset", "", d.offset)
                           .integer("bytes", "", d.bytes));
    }
    Report r;
    r.text("journal", "", sel.path);
    sel.since ? r.text("since", "", *sel.since) : r.null("since", "");
    sel.until ? r.text("until", "", *sel.until) : r.null("until", "");
    sel.port ? r.integer("port", "", *sel.port) : r.null("port", "");
    r.array("groups", "", rows)
        .object("total", "", total.report(Report()))
        .integer("quotes", "", quotes)
        .integer("no_money_moved", "", noMoney)
        .array("open_unknown", "", openRows)
        .array("damage", "", damage);
    out << toJson(r) << "\n";
    return kExitOk;
  }
  out << "Shift report of " << sel.path << "\n"
      << "Requests " << (sel.since ? "from " + *sel.since : std::string("from the start"))
      << (sel.until ? " to " + *sel.until + " (included)" : std::string(" to the end")) << ", "
      << (sel.port ? "COM" + std::to_string(*sel.port) : std::string("every port")) << "\n\n";
  std::vector<std::vector<std::string>> rows = {{"Product", "Card", "Sales", "Gross", "Discount",
                                                 "Charged", "Refunds", "Refunded", "Settled",
                                                 "Settled sum"}};
  for (const auto& [key, f] : groups) {
    rows.push_back(
        cells(std::to_string(std::get<0>(key)) + " " + std::get<1>(key), std::get<2>(key), f));
  }
  rows.push_back(cells("Total", "", total));
  out << table(rows);
  if (total.settledSales > 0) {
    out << "Settled: sales of unknown outcome settled as done, at the sum they asked for "
           "(their reply is missing)\n";
  }
  out << "Price quotes (tsDebit, nothing charged): " << quotes << "\n"
      << "Refused or not carried out (no money moved): " << noMoney << "\n"
      << "Unknown outcomes still open: " << open.size() << "\n";
  for (const JournalEntry* e : open) out << "  " << journalLine(*e, mask) << "\n";
  if (!open.empty()) {
    out << "Hold them against the terminal's shift report and record each with\n"
           "`vexcard journal resolve PACKET --as done|not-done`.\n";
  }
  for (const link::JournalDamage& d : sel.contents.damage) {
    out << "Damaged: " << d.bytes << " byte(s) at offset " << d.offset << " of " << d.file
        << " that are no record (skipped)\n";
  }
  return kExitOk;
}

}  // namespace vexcard::cli
