// The subcommands that call the driver's host operations, one or two slots each, through
// the operation table exactly as a host does (result buffer, object, arguments).
//
// A command is prepared from its options first (so bad input is refused before anything
// is opened or sent) and then run on a session.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.h"
#include "cli/report.h"
#include "cli/session.h"
#include "vexcard/exception.h"

namespace vexcard::cli {

// One host operation called: its result record as a report, and the driver's message
// (UTF-8) when it raised. The record then shows what the operation had written so far.
struct Step {
  std::string operation;  // "CardInfo"
  int slot = 0;
  Report result;
  std::optional<std::string> error;
  // What came of the operation's money request when it raised (the driver's error says).
  MoneyOutcome money = MoneyOutcome::kNone;
  // What the command sent, for sales and refunds: the line's figures as they went out (the
  // unit price as the terminal receives it). Empty for the other operations.
  Report request;
  // How the line failed when the error is the exchange's (the driver's error says).
  LineFault line = LineFault::kNone;
};

struct Outcome {
  std::vector<Step> steps;  // in call order; the last one failed when any did
  bool ok() const { return steps.empty() || !steps.back().error; }
  // The last step failed and the terminal may have carried its money request out.
  bool unknown() const { return !ok() && steps.back().money == MoneyOutcome::kUnknown; }
  // kExitOk, kExitDriverError, or kExitOutcomeUnknown (app.h).
  int exitCode() const;
};

// "no-answer", "no-reply", "spoiled", "not-ready", "send-failed"; empty for kNone.
std::string_view lineFaultName(LineFault fault);
// What the line's failure means for a person, with the driver's own diagnosis where its
// log has one; empty for kNone. port: the COM port, for the check it suggests.
std::string lineFaultText(LineFault fault, unsigned port);

// "none", "not carried out", "refused", "unknown", "done".
std::string_view moneyOutcomeName(MoneyOutcome outcome);

using PreparedCall = std::function<Outcome(Session&)>;

struct HostCommand {
  const char* name;
  const char* summary;  // one line
  const char* details;  // more help text, may be empty
  std::vector<OptionDef> options;
  // Checks the options and returns the call. Throws UsageError.
  PreparedCall (*prepare)(const ParsedArgs& args);
};

std::span<const HostCommand> hostCommands();
const HostCommand* findHostCommand(const std::string& name);

// The command's call prepared from its parsed options (positional words refused but for
// host-slot's slot number). Throws UsageError.
PreparedCall prepareHostCall(const HostCommand& command, const ParsedArgs& args);

// The message of an error raised by the driver, in UTF-8 (the driver's own messages are
// Windows-1251).
std::string errorText(const std::exception& e);

// Runs one operation of the table (call), catching the driver's error into the step, and
// then describes the result record (describe) whether or not the operation raised.
template <class Call, class Describe>
Step callSlot(const char* operation, int slot, Call&& call, Describe&& describe) {
  Step step{operation, slot, {}, std::nullopt, MoneyOutcome::kNone, {}};
  try {
    call();
  } catch (const std::exception& e) {
    step.error = errorText(e);
    if (const auto* ve = dynamic_cast<const Exception*>(&e)) {
      step.money = ve->outcome();
      step.line = ve->lineFault();
    }
  }
  step.result = describe();
  return step;
}

// The record of a failed operation for the text form: a Status of 0 there is the reply code
// of the last command that completed, not the failing one's, and its note says so.
Report failedRecord(Report record);

// Prints what a command did: as text, each step's record; with json, one JSON object (the
// last step, and all steps when there were several). A failure is also told on err. line:
// the line of a batch the command came from (a "line" field, and named in the error).
void printOutcome(const std::string& command, const Outcome& outcome, const Session& session,
                  bool json, std::ostream& out, std::ostream& err,
                  std::optional<int> line = std::nullopt);

// Parses "YYYY-MM-DD", "YYYY-MM-DD HH:MM", "YYYY-MM-DD HH:MM:SS" (a "T" may stand for the
// blank) or "now" into an OLE date-time. Throws UsageError.
double parseDateTime(const std::string& text);

}  // namespace vexcard::cli
