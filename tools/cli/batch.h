// vexcard batch [FILE|-]: several host operations on one driver, one per line, in the
// syntax of the subcommands:
//
//   # a sale and its check
//   card-info
//   bonus-sale --purse 19 --qty 20 --sum 370
//   sleep 2
//   open-shift --shift 2 --date "2007-03-05 08:00"
//
// The file is UTF-8: a byte-order mark at its start is skipped, and a line to run that is
// not UTF-8 is a bad line. Blank lines and lines starting with "#" are skipped; a value
// with blanks is quoted.
// "sleep SECONDS" pauses (a decimal number, up to one hour). "insert CARD" puts a card of
// the simulated terminal in its reader (a name as --card takes it; none empties the
// reader), as a customer presents another card (on a real port the line is only shown: the
// terminal has its own reader). A refund line may take "--block last",
// the card block of the latest sale before it. The options of the whole command (--port,
// --simulator, --sim-config, --sim-state, --card, --fault, --log, --json) go before
// "batch", not on a line.
//
// Every line is checked before anything is sent: a line that does not parse is reported
// with its number and nothing runs (exit 2). Then the driver is created once and the lines
// run in order, each result printed as it completes (text: a "--- line N: ..." heading and
// the command's own output; --json: the command's JSON object with a "line" field, one per
// line of output). A failing operation is reported (on standard error too) and the batch
// goes on; the exit code is 1 when any operation failed, else 0.
#pragma once

#include <iosfwd>

#include "cli/args.h"

namespace vexcard::cli {

inline constexpr const char* kBatchSummary =
    "Runs several operations on one driver: one per line of FILE (or standard input),\n"
    "in the syntax of the commands, each result printed as it completes.";
inline constexpr const char* kBatchDetails =
    "Lines: a command and its options (card-info, bonus-sale --purse 19 --qty 20 --sum 370),\n"
    "sleep SECONDS, or insert CARD (a card of the simulated terminal, or none, into its\n"
    "reader); blank lines and # comments are skipped; quote values with blanks.\n"
    "A refund takes --block last: the card block of the latest sale before it (or of the\n"
    "--sim-state file, which keeps the simulator's cards, shift and sales between runs).\n"
    "examples/batch/shift.batch in the sources is a whole shift.\n"
    "The file is UTF-8 text (a byte-order mark at its start is skipped).\n"
    "Options such as --port, --card, --fault and --json go before `batch`, for all lines.\n"
    "Every line is checked first: one that does not parse is reported and nothing runs\n"
    "(exit 2). An operation that fails is reported and the batch goes on; the exit code\n"
    "is then 1. With --json each line's result is one JSON object on its own line.";

// a: the parsed options of the whole command, the file as its one positional word.
int runBatch(const ParsedArgs& a, std::ostream& out, std::ostream& err, bool errIsTerminal);

}  // namespace vexcard::cli
