#include "cli/app.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <ostream>
#include <sstream>

#include "cli/args.h"
#include "cli/batch.h"
#include "cli/demo.h"
#include "cli/driver_loader.h"
#include "cli/host_commands.h"
#include "cli/journal_command.h"
#include "cli/line_check.h"
#include "cli/log_summary_report.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/session.h"
#include "cli/shift_report.h"
#include "cli/support_bundle.h"
#include "cli/text_util.h"
#include "comport/serial_errors.h"
#include "driver/product_table.h"
#include "logreader/card_mask.h"
#include "logreader/log_compare.h"
#include "logreader/log_decoder.h"
#include "terminal-sim/fault_syntax.h"
#include "vexcard/exception.h"
#include "vexcard/version.h"

namespace vexcard::cli {

namespace {

const std::vector<OptionDef>& globalOptions() {
  static const std::vector<OptionDef> options = {
      {"port", "N", "use the real port COM N (on POSIX /dev/ttyS<N-1>, or VEXCARD_COM<N>)"},
      {"simulator", "", "use a terminal simulated in-process (the default without --port)"},
      {"sim-config", "FILE", "the simulated terminal's cards and shift (docs/terminal-sim.md)"},
      {"sim-state", "FILE",
       "keep the simulated terminal between runs: start from FILE if it exists, save it there"},
      {"card", "NAME", "card in the simulated reader: bonus, fuel, blocked, none, or from FILE"},
      {"fault", "FAULT", "make the simulated terminal misbehave, e.g. read-card=silence:2", true},
      {"log", "FILE", "write the driver's log to FILE (its folder must exist)"},
      {"test-timing", "",
       "short pauses (1/20) and a 2 s reply wait, for tests and replays (not with VexCard.dll)"},
      {"dll", "PATH", "Windows: the VexCard.dll to load (default: the one beside vexcard.exe)"},
      {"json", "", "print the result as one JSON object"},
      {"help", "", "show help (also after a command)"},
  };
  return options;
}

// The options of the program without a command: the global ones and --version.
const std::vector<OptionDef>& programOptions() {
  static const std::vector<OptionDef> options = [] {
    std::vector<OptionDef> o = globalOptions();
    o.push_back({"version", "", "print the program's version and commit, and exit"});
    return o;
  }();
  return options;
}

const char* const kUsage =
    "usage: vexcard [options] COMMAND [command options]\n"
    "\n"
    "A command-line host of the VexCard card-terminal driver: it creates the driver with\n"
    "GeTDriver and calls its operations through the operation table, as a cash-desk\n"
    "program does, against a real terminal (--port N) or a simulated one (the default).\n";

const char* const kExitCodes =
    "Exit codes: 0 success, 1 the driver raised an error, 2 usage error, 3 other failure,\n"
    "4 the driver raised an error and the terminal may have carried the money request out;\n"
    "check and find-port: 10 no port, 11 no CTS answer, 12 no reply, 13 spoiled, 14 refused.\n";

std::string commandsHelp() {
  std::string out = "Commands:\n";
  const auto row = [&](const std::string& name, const std::string& summary) {
    out += "  " + name + std::string(name.size() < 15 ? 15 - name.size() : 1, ' ') + summary + "\n";
  };
  for (const HostCommand& c : hostCommands()) row(c.name, c.summary);
  row("batch [FILE]", "run the operations of FILE (or standard input), one per line");
  row("demo", "a whole shift against the simulator, with real figures");
  row("log FILE", "a driver log decoded; its summary, or its card numbers masked");
  row("journal", "the journal of money requests with their outcomes (--unknown: to reconcile)");
  row("report", "the shift from the journal: sales, discounts, refunds, open outcomes");
  row("products", "the product table: purse numbers, product codes and names");
  row("support-bundle", "OUT: one archive for support: logs, journal (cards masked), versions");
  row("check", "one short exchange and a verdict on the line (exit code per verdict)");
  row("find-port", "tries COM1-COM32 and the mapped ports: where does a terminal answer?");
  return out;
}

std::string generalHelp() {
  return std::string(kUsage) + "\n" + commandsHelp() + "\nOptions:\n" +
         optionsHelp(programOptions()) + "\n" + sim::faultSyntaxHelp() + "\n" + kExitCodes +
         "Run `vexcard COMMAND --help` for the options of a command.\n";
}

std::string commandHelp(const std::string& usage, const std::string& summary,
                        const std::string& details, const std::vector<OptionDef>& options) {
  std::string out = "usage: vexcard [options] " + usage + "\n\n" + summary + "\n";
  if (!details.empty()) out += "\n" + details + "\n";
  if (!options.empty()) out += "\nCommand options:\n" + optionsHelp(options);
  return out + "\nOptions:\n" + optionsHelp(globalOptions()) + "\n" + kExitCodes;
}

std::vector<OptionDef> withGlobals(std::vector<OptionDef> defs) {
  defs.insert(defs.end(), globalOptions().begin(), globalOptions().end());
  return defs;
}

// The first word that is neither an option nor the value of a global option.
std::optional<std::size_t> commandIndex(std::span<const std::string> args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-') return i;
    if (a.rfind("--", 0) == 0 && a.find('=') == std::string::npos) {
      for (const OptionDef& s : globalOptions()) {
        if (a.substr(2) == s.name && !s.valueName.empty()) ++i;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

namespace {

int runHostCommand(const HostCommand& command, const ParsedArgs& a, std::ostream& out,
                   std::ostream& err, bool tty) {
  if (a.has("help")) {
    std::string usage = command.name;
    if (std::string(command.name) == "host-slot") usage += " N";
    out << commandHelp(usage + " [command options]", command.summary, command.details,
                       command.options);
    return kExitOk;
  }
  const PreparedCall call = prepareHostCall(command, a);
  const SessionOptions options = sessionOptionsFrom(a);
  const bool json = a.has("json");
  Progress progress(err, tty);
  std::unique_ptr<Session> session;
  try {
    session = std::make_unique<Session>(options);
  } catch (const std::exception& e) {
    progress.clear();
    err << "vexcard: cannot create the driver: " << errorText(e) << "\n";
    // Which device was tried and why it failed, as the driver logged it.
    if (const auto* open = dynamic_cast<const comport::EOpenPortFail*>(&e);
        open != nullptr && !open->reason().empty()) {
      err << "  " << open->reason() << "\n";
    }
    if (json) {
      out << toJson(Report()
                        .text("command", "", command.name)
                        .flag("ok", "", false)
                        .text("error", "", errorText(e)))
          << "\n";
    }
    return kExitDriverError;
  }
  const Outcome outcome = call(*session);
  progress.clear();
  printOutcome(command.name, outcome, *session, json, out, err);
  try {
    session->saveState();
  } catch (const InputError& e) {
    err << "vexcard: " << e.what() << "\n";
    if (outcome.ok()) return kExitFailure;
  }
  return outcome.exitCode();
}

std::vector<OptionDef> logOptions() {
  return {{"only-exchanges", "", "print only the request and reply lines"},
          {"comparable", "", "the lines without stamps, CTS lines and run fields (golden logs)"},
          {"mask-cards", "", "write the log with card numbers masked (first 6, last 4 kept)"},
          {"summary", "", "the line's health per day: requests, faults, exchange durations"},
          {"hourly", "", "with --summary: per hour"}};
}

int runLog(const ParsedArgs& a, std::ostream& out) {
  if (a.has("help")) {
    out << commandHelp(
        "log FILE [--only-exchanges | --comparable | --mask-cards]\n"
        "       vexcard [options] log --summary FILE... [--hourly] [--json]",
        "Prints a driver log (Windows-1251) in UTF-8 and decodes every request\n"
        "(\"Send:\") and reply dump into the command's name and fields.",
        "FILE - reads standard input.", logOptions());
    return kExitOk;
  }
  if (a.has("summary")) {
    if (a.positional().empty()) throw UsageError("log --summary takes FILE... (oldest first)");
    std::string log;
    for (const std::string& file : a.positional()) log += readInputFile(file, "log");
    const auto periods = logreader::summarizeLog(log, a.has("hourly"));
    out << (a.has("json") ? summaryJson(periods) + "\n" : summaryText(periods));
    return kExitOk;
  }
  if (a.has("hourly")) throw UsageError("--hourly applies to --summary");
  if (a.positional().size() != 1) throw UsageError("log takes one FILE (or -)");
  const std::string log = readInputFile(a.positional()[0], "log");
  if (a.has("mask-cards")) {
    out << logreader::maskCards(log);
    return kExitOk;
  }
  if (a.has("comparable")) {
    for (const std::string& line : logreader::comparableLines(log)) out << line << "\n";
    return kExitOk;
  }
  const bool only = a.has("only-exchanges");
  logreader::LogDecoder decoder;
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string_view line(log.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string> lines = decoder.feed(line);
    if (!only || lines.size() > 1) {
      for (const std::string& l : lines) out << l << "\n";
    }
    start = end + 1;
  }
  return kExitOk;
}

int runProducts(const ParsedArgs& a, std::ostream& out) {
  if (a.has("help")) {
    out << commandHelp("products", "The product table: purse number, product code, name.", "", {});
    return kExitOk;
  }
  std::vector<Report> rows;
  for (std::int32_t p = 1; p <= driver::kProductCount; ++p) {
    const driver::TKodTovar row = driver::ProductOfPurse(p);
    rows.push_back(Report()
                       .integer("purse", "Purse", p)
                       .integer("code", "Code", row.code)
                       .text("name", "Name", utf8(row.name)));
  }
  if (a.has("json")) {
    out << toJson(Report().array("products", "", rows)) << "\n";
    return kExitOk;
  }
  out << "Purse     Code  (hex)     Name\n";
  for (const Report& r : rows) {
    char buf[64];
    std::snprintf(
        buf, sizeof buf, "%5lld  %7lld  0x%-7llX ", static_cast<long long>(r.fields[0].integer),
        static_cast<long long>(r.fields[1].integer), static_cast<long long>(r.fields[1].integer));
    out << buf << r.fields[2].text << "\n";
  }
  return kExitOk;
}

}  // namespace

int runCli(std::span<const std::string> args, std::ostream& out, std::ostream& err,
           bool errIsTerminal) {
  try {
    const auto at = commandIndex(args);
    if (!at) {
      const ParsedArgs a = parseArgs(args, programOptions());
      if (a.has("help")) {
        out << generalHelp();
        return kExitOk;
      }
      if (a.has("version")) {
        out << "vexcard " << VEXCARD_VERSION_TEXT << "\n";
        return kExitOk;
      }
      throw UsageError("no command given");
    }
    const std::string name = args[*at];
    std::vector<std::string> rest(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(*at));
    rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(*at) + 1, args.end());
    if (name == "help") {
      if (rest.empty()) {
        out << generalHelp();
        return kExitOk;
      }
      std::vector<std::string> again{rest[0], "--help"};
      return runCli(again, out, err, errIsTerminal);
    }
    if (const HostCommand* c = findHostCommand(name)) {
      return runHostCommand(*c, parseArgs(rest, withGlobals(c->options)), out, err, errIsTerminal);
    }
    if (name == "demo") {
      return runDemo(parseArgs(rest, withGlobals(demoOptions())), out, err, errIsTerminal);
    }
    if (name == "log") {
      return runLog(parseArgs(rest, withGlobals(logOptions())), out);
    }
    if (name == "products") return runProducts(parseArgs(rest, globalOptions()), out);
    if (name == "journal") {
      const ParsedArgs a = parseArgs(rest, withGlobals(journalOptions()));
      if (a.has("help")) {
        out << commandHelp(
            "journal [--unknown] [--since TIME] [--until TIME] [--csv|--json-lines|--json]\n"
            "       vexcard [options] journal resolve PACKET --as done|not-done [--note TEXT]",
            "Lists the driver's journal of money requests (tsSale, tsRefund,\n"
            "tsRefundReset, tsDebit), each with its figures and its outcome: done,\n"
            "refused, not carried out or unknown. A request of unknown outcome may\n"
            "have been carried out by the terminal: reconcile it with the terminal's\n"
            "shift report before selling again. Each line shows price x quantity as\n"
            "they went out with their product, the host's sum beside it, and the\n"
            "reply's figures by their meaning; damaged bytes are skipped and said.",
            "`journal resolve PACKET --as done|not-done` records, from the terminal's\n"
            "shift report, how the request of unknown outcome with that packet number\n"
            "ended: a record appended to the journal (earlier lines stay as they are).\n"
            "--unknown then leaves it out and the listing shows the settlement and its\n"
            "note. It refuses (exit 2, nothing written) when no such request is open,\n"
            "or when several are and --port, --since or --until do not single one out.\n"
            "\n"
            "Times are local, as the journal holds them; --until includes the whole of\n"
            "its last minute or day. --csv: a header row, RFC 4180 quoting, money as\n"
            "the journal holds it. --json-lines: one JSON object a record.\n"
            "\n"
            "The journal read: --file FILE; with --port N the station's own\n"
            "journal, only COM N's records; otherwise the one the sessions with the\n"
            "simulated terminal write (" +
                simulatorJournalPath() + ").",
            journalOptions());
        return kExitOk;
      }
      return runJournal(a, out);
    }
    if (name == "support-bundle") {
      const ParsedArgs a = parseArgs(rest, withGlobals(supportBundleOptions()));
      if (a.has("help")) {
        out << commandHelp("support-bundle OUT [--force] [--log-dir DIR] [--journal FILE]",
                           supportBundleHelp(), "", supportBundleOptions());
        return kExitOk;
      }
      return runSupportBundle(a, out);
    }
    if (name == "check" || name == "find-port") {
      const bool check = name == "check";
      const ParsedArgs a = parseArgs(rest, withGlobals(check ? checkOptions() : findPortOptions()));
      if (a.has("help")) {
        out << commandHelp(
            check ? "check [--port N] [--json]" : "find-port [--ports LIST] [--json]",
            check ? "Checks the line to the terminal and names the fault."
                  : "Finds the port the terminal answers on.",
            check ? kCheckHelp : kFindPortHelp, check ? checkOptions() : findPortOptions());
        return kExitOk;
      }
      return check ? runCheck(a, out, err) : runFindPort(a, out, err);
    }
    if (name == "report") {
      const ParsedArgs a = parseArgs(rest, withGlobals(reportOptions()));
      if (a.has("help")) {
        out << commandHelp("report [--since TIME] [--until TIME] [--port N] [--csv|--json]",
                           kReportSummary, kReportDetails, reportOptions());
        return kExitOk;
      }
      return runReport(a, out);
    }
    if (name == "batch") {
      const ParsedArgs a = parseArgs(rest, globalOptions());
      if (a.has("help")) {
        out << commandHelp("batch [FILE|-]", kBatchSummary, kBatchDetails, {});
        return kExitOk;
      }
      return runBatch(a, out, err, errIsTerminal);
    }
    throw UsageError("unknown command '" + name + "'");
  } catch (const InputError& e) {
    err << "vexcard: " << e.what() << "\n";
    return kExitFailure;
  } catch (const UsageError& e) {
    err << "vexcard: " << e.what() << "\n"
        << "Run `vexcard --help` for the commands and their options.\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "vexcard: " << errorText(e) << "\n";
    return kExitFailure;
  }
}

}  // namespace vexcard::cli
