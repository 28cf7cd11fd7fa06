// The line check of the vexcard command: `check` (one probe of a port, line_probe.h, with
// a verdict and an exit code per verdict) and `find-port` (a probe of each port in turn).
//
// Without --port, `check` probes a terminal simulated in-process on the same kind of line
// as the sessions use (so --fault shows each verdict), with the driver's settings kept
// apart. Not thread-safe: the simulator's port mapping is process-wide.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/line_probe.h"

namespace vexcard::cli {

// The ports find-port tries without --ports: COM1..COM32 and every COM n with a
// VEXCARD_COM<n> mapping, in ascending order.
std::vector<unsigned> defaultSearchPorts();
// "1-8,12,40" into port numbers (1..255, ascending, each once). Throws UsageError.
std::vector<unsigned> parsePortList(const std::string& text);

std::vector<OptionDef> checkOptions();
std::vector<OptionDef> findPortOptions();
extern const char* const kCheckHelp;
extern const char* const kFindPortHelp;

int runCheck(const ParsedArgs& args, std::ostream& out, std::ostream& err);
int runFindPort(const ParsedArgs& args, std::ostream& out, std::ostream& err);

}  // namespace vexcard::cli
