// `vexcard journal`: the driver's journal of money requests, each with its outcome; with
// --unknown only the requests whose outcome is unknown (the terminal may have carried them
// out: reconcile them with its shift report), with --since only those from a time on.
//
// Which journal: --file names one; with --port the station's (link::journalPath()); else,
// as every command of the program defaults to the simulated terminal, the journal that
// sessions with the simulator write (simulatorJournalPath(), driver_loader.h).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/args.h"

namespace vexcard::cli {

std::vector<OptionDef> journalOptions();

// Returns the exit code (app.h).
int runJournal(const ParsedArgs& args, std::ostream& out);

}  // namespace vexcard::cli
