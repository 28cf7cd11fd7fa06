#include "cli/line_check.h"

#include <algorithm>
#include <memory>
#include <ostream>

#include "cli/app.h"
#include "cli/driver_loader.h"
#include "cli/host_commands.h"
#include "cli/report.h"
#include "cli/session.h"
#include "cli/text_util.h"
#include "comport/device_virtual.h"

namespace vexcard::cli {

std::vector<unsigned> defaultSearchPorts() {
  std::vector<unsigned> ports;
  for (unsigned n = 1; n <= 255; ++n) {
    const std::string variable = std::string("VEXCARD_COM") + std::to_string(n);
    const char* value = std::getenv(variable.c_str());
    if (n <= 32 || (value != nullptr && *value != 0)) ports.push_back(n);
  }
  return ports;
}

std::vector<unsigned> parsePortList(const std::string& text) {
  std::vector<unsigned> ports;
  const auto number = [&](const std::string& word) {
    std::size_t used = 0;
    unsigned long n = 0;
    try {
      n = std::stoul(word, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (word.empty() || used != word.size() || n < 1 || n > 255) {
      throw UsageError("--ports " + text + ": ports are 1..255, e.g. 1-8,12");
    }
    return static_cast<unsigned>(n);
  };
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    const std::size_t dash = item.find('-');
    const unsigned from = number(item.substr(0, dash));
    const unsigned to = dash == std::string::npos ? from : number(item.substr(dash + 1));
    if (to < from) throw UsageError("--ports " + text + ": a range runs upwards, e.g. 1-8");
    for (unsigned n = from; n <= to; ++n) ports.push_back(n);
    start = end + 1;
  }
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

namespace {

// The probe's waits: a check waits as long as the driver does for one CTS answer; a search
// less, since it goes through many ports. --test-timing shortens both for tests (the
// simulator answers the hand-shake within milliseconds).
ProbeTiming probeTiming(const ParsedArgs& a, bool search) {
  if (a.has("test-timing")) return {400, 1000};
  return search ? ProbeTiming{400, 1500} : ProbeTiming{1000, 3000};
}

// The terminal simulated in-process for `check` without --port, on the same kind of line
// as the sessions use, with the driver's settings kept apart (TemporarySettings).
class SimulatedTerminal {
 public:
  explicit SimulatedTerminal(const SessionOptions& o) {
    settings_ = std::make_unique<TemporarySettings>();
    line_ = comport::NewVirtualSerialPair();
    sim_ = std::make_unique<sim::TerminalSimulator>(line_->open(1), o.simConfig);
    for (const sim::FaultRule& rule : o.faults) sim_->injectFault(rule);
    sim_->start();
    link_ = std::make_unique<SimulatorLink>(o.port, *line_);
  }
  ~SimulatedTerminal() {
    link_.reset();
    sim_->stop();
  }
  SimulatedTerminal(const SimulatedTerminal&) = delete;
  SimulatedTerminal& operator=(const SimulatedTerminal&) = delete;

 private:
  std::unique_ptr<TemporarySettings> settings_;
  std::shared_ptr<comport::VirtualSerialPair> line_;
  std::unique_ptr<sim::TerminalSimulator> sim_;
  std::unique_ptr<SimulatorLink> link_;
};

// The probe as JSON fields. device: what the port stands for.
Report probeReport(unsigned port, const std::string& device, const ProbeResult& r,
                   const ProbeTiming& timing) {
  Report rep;
  rep.integer("port", "", port).text("device", "", device);
  rep.text("verdict", "", verdictName(r.verdict)).flag("ok", "", r.verdict == LineVerdict::kOk);
  rep.text("text", "", verdictText(r, timing));
  if (r.verdict != LineVerdict::kNoPort) rep.integer("cts_ms", "", r.ctsMs);
  if (r.verdict >= LineVerdict::kNoReply) {
    rep.integer("round_trip_ms", "", r.roundTripMs);
    rep.integer("bytes_received", "", static_cast<std::int64_t>(r.bytesReceived));
  }
  if (r.replyCode) rep.integer("reply_code", "", *r.replyCode);
  return rep;
}

}  // namespace

std::vector<OptionDef> checkOptions() { return {}; }

std::vector<OptionDef> findPortOptions() {
  return {{"ports", "LIST",
           "the ports to try, e.g. 1-8,12 (default: COM1-COM32 and every "
           "VEXCARD_COM<n>)"}};
}

const char* const kCheckHelp =
    "One harmless exchange with the terminal (a tsReset, which it only answers) and a\n"
    "verdict on the line, in a few seconds at most where a dead line costs an operation\n"
    "45 s. Without --port, against the simulated terminal (try --fault no-cts, silence,\n"
    "bad-checksum, wrong-terminator, refuse or code-0x8F).\n"
    "\n"
    "Verdicts and exit codes:\n"
    "  ok        0   the terminal answered, with its round-trip time\n"
    "  no-port  10   the port cannot be opened (no such device, busy, no access)\n"
    "  no-cts   11   no CTS answer to the hand-shake (the cable, the power, a wrong port)\n"
    "  no-reply 12   CTS answers but no reply comes (another device, wrong line settings)\n"
    "  spoiled  13   replies come spoiled (noise: bad checksums, wrong terminators)\n"
    "  refused  14   the terminal refused (a non-zero reply code, or \"N\": not ready)\n"
    "  (2 usage error, 3 the simulator cannot start)";

const char* const kFindPortHelp =
    "Tries each port with a short hand-shake (at most 0.4 s where nothing answers) and,\n"
    "where CTS answers, one tsReset; says where a terminal answers and what it found at\n"
    "the others. Ports: COM1-COM32 and every COM n that VEXCARD_COM<n> maps, or --ports.\n"
    "Exit code 0 when a terminal answered (ok or refused), 11 when none did.";

int runCheck(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  if (!a.positional().empty())
    throw UsageError("check takes no argument '" + a.positional()[0] + "'");
  const SessionOptions o = sessionOptionsFrom(a);
  const ProbeTiming timing = probeTiming(a, false);
  std::unique_ptr<SimulatedTerminal> terminal;
  if (o.simulator) {
    try {
      terminal = std::make_unique<SimulatedTerminal>(o);
    } catch (const std::exception& e) {
      err << "vexcard: the simulated terminal cannot start: " << errorText(e) << "\n";
      return kExitFailure;
    }
  }
  const ProbeResult r = probeLine(o.port, timing);
  const unsigned port = o.port;
  const std::string device = o.simulator ? "the simulated terminal" : portDeviceName(port);
  if (a.has("json")) {
    Report j;
    j.text("command", "", "check").flag("simulator", "", o.simulator);
    for (Field& f : probeReport(port, device, r, timing).fields) j.fields.push_back(std::move(f));
    out << toJson(j) << "\n";
    return verdictExitCode(r.verdict);
  }
  out << "Line check of COM" << port << " (" << device << ")\n"
      << "  Verdict:     " << verdictName(r.verdict) << "\n"
      << "               " << verdictText(r, timing) << "\n";
  if (r.verdict != LineVerdict::kNoPort && r.verdict != LineVerdict::kNoCts) {
    out << "  CTS answer:  " << r.ctsMs << " ms after RTS\n"
        << "  Received:    " << r.bytesReceived << " byte(s) in " << r.roundTripMs << " ms\n";
  }
  return verdictExitCode(r.verdict);
}

int runFindPort(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  if (!a.positional().empty()) {
    throw UsageError("find-port takes no argument '" + a.positional()[0] + "'");
  }
  for (const char* o : {"port", "simulator", "sim-config", "card", "fault"}) {
    if (a.has(o)) throw UsageError(std::string("--") + o + " does not apply to find-port");
  }
  const std::vector<unsigned> ports =
      a.has("ports") ? parsePortList(*a.get("ports")) : defaultSearchPorts();
  const ProbeTiming timing = probeTiming(a, true);
  const bool json = a.has("json");
  std::vector<Report> rows;
  std::vector<unsigned> found;
  std::size_t deviceWidth = 0;  // the device column, known before the first probe
  for (const unsigned port : ports) {
    deviceWidth = std::max(deviceWidth, portDeviceName(port).size() + 2);
  }
  for (const unsigned port : ports) {
    const ProbeResult r = probeLine(port, timing);
    const bool terminal = r.verdict == LineVerdict::kOk || r.verdict == LineVerdict::kRefused;
    if (terminal) found.push_back(port);
    if (json) {
      rows.push_back(probeReport(port, portDeviceName(port), r, timing));
      continue;
    }
    std::string name = std::string("COM") + std::to_string(port);
    name.resize(7, ' ');
    std::string device = portDeviceName(port);
    device.resize(deviceWidth, ' ');
    std::string verdict = verdictName(r.verdict);
    verdict.resize(10, ' ');
    out << name << device << verdict << verdictText(r, timing) << "\n";
    out.flush();
  }
  if (json) {
    Report j;
    j.text("command", "", "find-port").array("ports", "", std::move(rows));
    std::vector<Report> at;
    for (const unsigned p : found) {
      at.push_back(Report().integer("port", "", p).text("device", "", portDeviceName(p)));
    }
    j.array("found", "", std::move(at));
    out << toJson(j) << "\n";
  } else if (found.empty()) {
    err << "vexcard: no terminal answered on the " << ports.size() << " port(s) tried\n";
  } else {
    for (const unsigned p : found) {
      out << "A terminal answers on COM" << p << " (" << portDeviceName(p) << "): use --port " << p
          << "\n";
    }
  }
  return found.empty() ? kExitNoCts : kExitOk;
}

}  // namespace vexcard::cli
