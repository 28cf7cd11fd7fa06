// `vexcard demo`: a whole shift against the simulated terminal, through the operation
// table as a cash-desk program runs it: open shift, card info, a bonus sale with its
// discount, the refund of that sale, a non-cash sale, the quantity a card pays for, close
// shift. Each result is printed with the simulator's real figures.
#pragma once

#include <iosfwd>
#include <vector>

#include "cli/args.h"

namespace vexcard::cli {

std::vector<OptionDef> demoOptions();

// Returns the exit code (app.h).
int runDemo(const ParsedArgs& args, std::ostream& out, std::ostream& err, bool errIsTerminal);

}  // namespace vexcard::cli
