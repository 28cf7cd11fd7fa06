// `vexcard report`: the shift from the driver's journal alone. Per product and card kind the
// sales (count, gross before the discount, discount, charged), the refunds (count, sum), and
// the unknown outcomes still open, each with its figures; --since, --until and --port select
// as for `vexcard journal`. As text, one JSON object (--json) or CSV (--csv, the figures'
// rows and their total).
//
// What counts: a done tsSale with its reply's figures (the first money value is the gross,
// the second what it charged); a done refund (tsRefund, tsRefundReset) with the sum it asked
// for; a request of unknown outcome settled as done (`vexcard journal resolve`) likewise,
// except a sale, whose reply is missing: it counts apart, with the sum it asked for. A
// tsDebit only quotes a price and moves no money. The card kind is the host operation's:
// bonus (BonusSaleEx and its forms, RefundSale) or non-cash (SubSchetEx, DebitNonCash and
// CardQuantityEx with their forms); a plain SubSchet checks none, and the card's second
// status byte in the reply's card block tells (low bits 01 bonus, 00 non-cash).
//
// Money is summed exactly in the currency's ten-thousandths and printed with two decimals
// (rounded half away from zero where the journal holds more).
#pragma once

#include <iosfwd>
#include <vector>

#include "cli/args.h"

namespace vexcard::cli {

inline constexpr const char* kReportSummary =
    "The shift from the driver's journal alone: per product and card kind the\n"
    "sales (count, gross, discount, charged) and the refunds, their total, and\n"
    "the unknown outcomes still open with their figures, to hold against the\n"
    "terminal's own shift report.";
inline constexpr const char* kReportDetails =
    "A sale counts with its reply's figures, a refund with the sum it asked for;\n"
    "a request of unknown outcome settled as done (`vexcard journal resolve`)\n"
    "counts likewise, but a sale apart (\"settled\"), with the sum it asked for:\n"
    "its reply is missing. A price quote (tsDebit) moves no money. Bonus or\n"
    "non-cash: the host operation's card kind (a plain SubSchet's from the card).\n"
    "--since, --until, --port and --file select as for `vexcard journal`; --csv\n"
    "gives the figures' rows and their total (the open outcomes: `vexcard\n"
    "journal --unknown --csv`).";

std::vector<OptionDef> reportOptions();

// Returns the exit code (app.h).
int runReport(const ParsedArgs& args, std::ostream& out);

}  // namespace vexcard::cli
