// Faults of the simulated terminal as written on a command line:
//
//   [COMMAND=]KIND[:COUNT]
//
//   COMMAND  the request the fault applies to (any request when left out): reset,
//            close-session, open-shift, close-shift, resume-shift, select-purse,
//            query-quantity, sale, refund, read-card, query-purse, refund-reset, debit,
//            or a command code such as 0x0A
//   KIND     silence            no answer at all (the command is not carried out)
//            refuse             answer "N" (not carried out)
//            bad-checksum       the reply's checksum is wrong
//            wrong-terminator   the reply ends with CR instead of ETX
//            trickle            the reply comes one byte at a time
//            garbage            line noise just before the reply
//            no-cts             the hand-shake is not answered (no COMMAND allowed)
//            hang-up            no answer, and a network port's client is dropped
//            code-N             an error reply with reply code N (decimal or 0x..), e.g.
//                               code-0x87 "no card in the reader"; not carried out
//   COUNT    how many times (default 1), or "always"
//
// Examples: read-card=silence:2   sale=code-0x8A   refuse:always   no-cts:3
//
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "terminal-sim/sim_faults.h"

namespace vexcard::sim {

// Parses one fault. Throws vexcard::Exception (ASCII message) naming what is wrong.
FaultRule parseFaultRule(std::string_view text);

// The syntax above as help text for the programs' --help.
std::string faultSyntaxHelp();

}  // namespace vexcard::sim
