#include "cli/demo.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "cli/app.h"
#include "cli/driver_loader.h"
#include "cli/host_commands.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/session.h"
#include "cli/text_util.h"
#include "driver/product_table.h"

namespace vexcard::cli {

namespace {

struct DemoStep {
  std::string title;
  std::string command;
  std::vector<std::pair<std::string, std::string>> options;
  std::string insertCard;  // the card the customer presents before this step
};

std::string productName(int purse) { return utf8(driver::ProductOfPurse(purse).name); }

std::vector<DemoStep> demoSteps() {
  const std::string ai92 = productName(19), ai95 = productName(21);
  return {
      {"Open shift 1", "open-shift", {{"shift", "1"}}, ""},
      {"The customer presents a bonus card: read it", "card-info", {}, "bonus"},
      {"Sell 20 l of " + ai92 + " (purse 19) for 370.00 against the bonus card",
       "bonus-sale",
       {{"mode", "S"}, {"purse", "19"}, {"qty", "20"}, {"sum", "370"}},
       ""},
      {"Refund that sale, handing back its card block",
       "bonus-sale",
       {{"mode", "+"}, {"purse", "19"}, {"qty", "20"}, {"sum", "370"}, {"block", "last"}},
       ""},
      {"The customer pays with a fuel card: 30 l of " + ai95 + " (purse 21) for 1200.00",
       "noncash-sale",
       {{"purse", "21"}, {"qty", "30"}, {"sum", "1200"}},
       "fuel"},
      {"How much " + ai95 + " at 40.00 the fuel card's balance pays for",
       "card-quantity",
       {{"purse", "21"}, {"price", "40"}, {"ex", ""}},
       ""},
      {"Close the shift", "close-shift", {}, ""},
  };
}

// What the simulated terminal holds now.
Report terminalReport(const sim::TerminalSimulator& sim) {
  Report r;
  const sim::ShiftState shift = sim.shift();
  r.flag("shift_open", "", shift.open).integer("shift", "", shift.number);
  const auto inserted = sim.insertedCard();
  r.text("card", "", inserted.value_or(""));
  if (inserted) {
    if (const auto card = sim.card(*inserted)) {
      r.money("balance", "", static_cast<double>(card->balance) / 100.0);
    }
  }
  return r;
}

std::string terminalLine(const sim::TerminalSimulator& sim) {
  const sim::ShiftState shift = sim.shift();
  std::string line = "terminal: shift " +
                     (shift.open ? std::to_string(shift.number) + " open" : std::string("closed"));
  const auto inserted = sim.insertedCard();
  if (inserted) {
    if (const auto card = sim.card(*inserted)) {
      line += ", card '" + *inserted + "' in the reader, balance " +
              formatMoney(Currency{card->balance * 100});
    }
  }
  return line;
}

std::string logLine(const std::string& path) {
  const auto slash = path.find_last_of(kDriverIsLoaded ? "/\\" : "/");
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::error_code error;
  if (std::filesystem::is_directory(folder, error)) {
    return "Log:    " + path + "  (read it with: vexcard log " + path + ")";
  }
  return "Log:    none - the driver's log folder " + folder + " does not exist (create it" +
         (kDriverIsLoaded ? std::string(")") : std::string(", or give --log FILE)"));
}

}  // namespace

std::vector<OptionDef> demoOptions() { return {}; }

int runDemo(const ParsedArgs& a, std::ostream& out, std::ostream& err, bool tty) {
  if (a.has("help")) {
    out << "usage: vexcard [options] demo\n\n"
           "Runs a whole shift against the simulated terminal through the driver's operation\n"
           "table: open shift, card info, a bonus sale with discount, its refund, a non-cash\n"
           "sale, card quantity, close shift; prints each result with the simulator's figures.\n"
           "Options that apply: --log FILE, --json, --fault FAULT (see `vexcard --help`),\n"
           "--sim-config FILE (it must define the cards 'bonus' and 'fuel'), --port N (the COM\n"
           "number the simulator is bound to).\n";
    return kExitOk;
  }
  if (!a.positional().empty()) throw UsageError("demo takes no arguments");
  if (a.has("card")) throw UsageError("demo chooses the cards itself; --card does not apply");
  if (a.has("sim-state"))
    throw UsageError("demo starts from the configuration; --sim-state does not apply");
  if (a.has("port") && !a.has("simulator")) {
    throw UsageError(
        "demo runs against the simulator only; --port N --simulator binds it to COM N");
  }
  SessionOptions options = sessionOptionsFrom(a);
  options.simulator = true;
  for (const char* name : {"bonus", "fuel"}) {
    if (options.simConfig.findCard(name) == nullptr) {
      throw UsageError(std::string("demo: the simulator configuration has no card '") + name + "'");
    }
  }
  const bool json = a.has("json");

  Progress progress(err, tty);
  const auto started = std::chrono::steady_clock::now();
  std::unique_ptr<Session> session;
  try {
    session = std::make_unique<Session>(options);
  } catch (const std::exception& e) {
    progress.clear();
    err << "vexcard: cannot create the driver: " << errorText(e) << "\n";
    return kExitDriverError;
  }
  sim::TerminalSimulator& sim = *session->simulator();
  if (!json) {
    out << "VexCard demo: one shift at the cash desk, against the simulated terminal\n"
        << "              on COM" << static_cast<int>(session->port()) << " (" << kSimulatorLineText
        << ").\n"
        << "Timing: production - the driver's real waits and pauses; the simulated terminal\n"
        << "        answers each request after " << options.simConfig.replyDelayMs << " ms.\n"
        << logLine(session->logPath()) << "\n";
  }

  std::vector<Report> stepReports;
  bool ok = true;
  const std::vector<DemoStep> steps = demoSteps();
  for (std::size_t i = 0; i < steps.size() && ok; ++i) {
    const DemoStep& step = steps[i];
    if (!step.insertCard.empty()) sim.insertCard(step.insertCard);
    ParsedArgs args;
    for (const auto& [name, value] : step.options) args.add(name, value);
    const HostCommand* command = findHostCommand(step.command);
    const Outcome outcome = command->prepare(args)(*session);
    progress.clear();
    const Step& last = outcome.steps.back();
    ok = outcome.ok();

    Report r;
    r.text("title", "", step.title).text("command", "", step.command);
    r.text("operation", "", last.operation).integer("slot", "", last.slot);
    r.flag("ok", "", ok);
    if (last.error) r.text("error", "", *last.error);
    if (!last.request.fields.empty()) r.object("request", "", last.request);
    r.object("result", "", last.result).object("terminal", "", terminalReport(sim));
    stepReports.push_back(std::move(r));
    if (!json) {
      out << "\n"
          << i + 1 << ". " << step.title << "\n   " << last.operation << " (slot " << last.slot
          << ")" << (ok ? "" : ": FAILED") << "\n";
      const bool sent = !last.request.fields.empty();
      if (sent)
        out << toText(Report().object("request", "Request", last.request), 5) << "     Result\n";
      out << toText(last.error ? failedRecord(last.result) : last.result, sent ? 7 : 5) << "   "
          << terminalLine(sim) << "\n";
    }
    if (last.error) err << "vexcard: " << last.operation << " failed: " << *last.error << "\n";
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::size_t requests = sim.counters().requests;
  const std::string logPath = session->logPath();
  session.reset();

  if (json) {
    Report r;
    r.text("command", "", "demo").flag("ok", "", ok).text("timing", "", "production");
    r.text("log", "", logPath).integer("requests", "", static_cast<std::int64_t>(requests));
    r.array("steps", "", std::move(stepReports));
    out << toJson(r) << "\n";
  } else {
    char buf[160];
    std::snprintf(buf, sizeof buf, "\n%s: %zu operations, %zu requests to the terminal, %.1f s.\n",
                  ok ? "Done" : "Stopped after a failure", stepReports.size(), requests, seconds);
    out << buf;
  }
  return ok ? kExitOk : kExitDriverError;
}

}  // namespace vexcard::cli
