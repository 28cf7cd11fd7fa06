// The vexcard command: subcommands, their options and help, exit codes.
//
// runCli is the whole program apart from main(): it parses the arguments, runs one
// subcommand and returns the exit code. Output goes to the given streams (results to out,
// errors and progress to err).
#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace vexcard::cli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitDriverError = 1;     // the driver raised an error
inline constexpr int kExitUsage = 2;           // bad arguments
inline constexpr int kExitFailure = 3;         // anything else (an input file that cannot be
                                               // read, the simulator failed to start, ...)
inline constexpr int kExitOutcomeUnknown = 4;  // the driver raised an error, and the terminal
                                               // may have carried the money request out

// args: the arguments after the program name. errIsTerminal: whether err is a terminal
// (progress lines are shown only there).
int runCli(std::span<const std::string> args, std::ostream& out, std::ostream& err,
           bool errIsTerminal);

}  // namespace vexcard::cli
