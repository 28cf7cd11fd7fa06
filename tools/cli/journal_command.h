// `vexcard journal`: the driver's journal of money requests, each with its outcome; with
// --unknown only the requests whose outcome is unknown and not yet settled (the terminal may
// have carried them out: reconcile them with its shift report), with --since and --until only
// those of a time span, with --port N only COM N's. As text, as one JSON object (--json), as
// CSV for accounting (--csv) or as one JSON object a line for log shippers (--json-lines);
// --mask-cards keeps of every card number only the first 6 and the last 4 digits.
//
// `vexcard journal resolve PACKET --as done|not-done [--note TEXT]` records how a request of
// unknown outcome was settled, as a record appended to the journal (earlier lines are never
// edited). It refuses, writing nothing, when no unsettled request of unknown outcome has
// that packet number among those the filters leave, or when more than one has.
//
// Which journal: --file names one; with --port the station's (link::journalPath()); else,
// as every command of the program defaults to the simulated terminal, the journal that
// sessions with the simulator write (simulatorJournalPath(), driver_loader.h).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "link/journal_format.h"

namespace vexcard::cli {

std::vector<OptionDef> journalOptions();

// Returns the exit code (app.h).
int runJournal(const ParsedArgs& args, std::ostream& out);

// The journal a command reads and the part of it that --port, --since and --until select;
// shared by `journal` and `report`.
struct JournalSelection {
  std::string path;
  link::JournalContents contents;
  std::optional<unsigned> port;
  std::optional<std::string> since, until;  // in the journal's time form, cut short

  bool selects(const link::JournalEntry& entry) const;
};
// Reads the journal; UsageError for a malformed time, InputError for a --file that is
// missing or holds no record.
JournalSelection selectJournal(const ParsedArgs& args);

// One record as the listing shows it: as a report (JSON, CSV) and as one line of text; with
// mask, its card number and card blocks masked.
struct Report;
Report journalRecord(const link::JournalEntry& entry, bool mask);
std::string journalLine(const link::JournalEntry& entry, bool mask);

// The card number's digits and a card block's hex with the middle digits masked, as the
// log's masking does: the first 6 and the last 4 digits kept.
std::string maskedCard(const std::string& digits);
std::string maskedBlock(const std::string& hex);

// One field of a CSV record (RFC 4180): quoted when it holds a comma, a quote or a line
// break, its quotes doubled.
std::string csvField(const std::string& value);
// The end of a CSV record: CR LF (on Windows the text-mode output adds the CR itself).
extern const char* const kCsvLineEnd;

}  // namespace vexcard::cli
