// vexcard-terminal: the terminal simulator as a program. It plays the payment terminal on a
// real serial port (wire a cash-desk computer to this one with a null-modem cable) or, with
// --listen, on an RFC 2217 network serial port, and prints every request and reply decoded.
//
//   vexcard-terminal --device /dev/ttyUSB0 [--config cards.conf] [--fault sale=silence]
//   vexcard-terminal --listen 127.0.0.1:7000
//   vexcard-terminal --listen 127.0.0.1:7000 --replay VexCard.log [--fast]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comport/device_virtual.h"
#include "logreader/log_decoder.h"
#include "logreader/replay_script.h"
#include "logreader/text.h"
#include "options/args.h"
#include "platform/clock.h"
#include "terminal-sim/default_config.h"
#include "terminal-sim/device_path.h"
#include "terminal-sim/fault_syntax.h"
#include "terminal-sim/replay/log_replay.h"
#include "terminal-sim/rfc2217_server.h"
#include "terminal-sim/sim_config.h"
#include "terminal-sim/terminal_simulator.h"
#include "terminal-sim/traffic_tap.h"
#include "vexcard/exception.h"
#include "vexcard/version.h"
#ifdef VEXCARD_PANEL
#include "terminal-sim/panel/control_panel.h"
#include "terminal-sim/panel/panel_api.h"
#endif

namespace {

using namespace vexcard;

constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2;

std::atomic<bool> g_stop{false};

extern "C" void onSignal(int) { g_stop.store(true); }

const std::vector<options::OptionDef>& programOptions() {
  static const std::vector<options::OptionDef> defs = {
      {"device", "PATH", "serial device to answer on (/dev/ttyS0, /dev/ttyUSB0; COM3 on Windows)"},
      {"listen", "HOST:PORT", "serve an RFC 2217 network serial port instead, e.g. 127.0.0.1:7000"},
      {"config", "FILE", "cards, balances, discounts and shift (docs/terminal-sim.md)"},
      {"card", "NAME", "the card in the reader at start (none: an empty reader)"},
      {"fault", "FAULT", "misbehave on purpose, e.g. read-card=silence:2 (repeatable)", true},
      {"replay", "LOG",
       "answer as the terminal in the driver's LOG did (older generations: LOG.1 LOG)"},
      {"fast", "", "with --replay: answer at once instead of after the logged delays"},
      {"panel", "[HOST:]PORT", "serve the control panel, a web page (host 127.0.0.1 by default)"},
      {"quiet", "", "do not print the traffic"},
      {"show-config", "", "print the built-in configuration and exit"},
      {"help", "", "show this help"},
      {"version", "", "print the program's version and exit"},
  };
  return defs;
}

void printHelp() {
  std::cout
      << "usage: vexcard-terminal (--device PATH | --listen HOST:PORT) [options]\n\n"
         "Plays the payment terminal, so that a cash-desk program can be tested without\n"
         "one: on a serial port (a null-modem cable to the cash-desk computer) or on an\n"
         "RFC 2217 network serial port (the driver's VEXCARD_COM<n>=rfc2217://HOST:PORT).\n"
         "Every request and reply is printed decoded. Ctrl+C stops it.\n\n"
         "Options:\n"
      << options::optionsHelp(programOptions()) << "\n"
      << sim::faultSyntaxHelp()
      << "\nWithout --config the terminal holds the built-in cards bonus, fuel and blocked\n"
         "(see --show-config). Exit codes: 0 stopped, 1 failure, 2 usage error.\n\n"
         "--replay LOG [LOG...] answers the k-th request with what the log's terminal did for\n"
         "its k-th request (several generations: oldest first) and reports every request that\n"
         "differs from the logged one, apart from the packet index, the transaction number and\n"
         "tsOpenShift's current date (docs/terminal-sim.md). It ends when the log's last request\n"
         "has been answered (on --listen: once the client has left) or on Ctrl+C (the log's\n"
         "requests that never came diverge too); exit code 0 when nothing diverged, 1 when\n"
         "something did.\n";
}

// Prints the traffic decoded, one line per frame. Thread-safe.
class TrafficPrinter {
 public:
  void operator()(const sim::TapEvent& e) {
    std::lock_guard<std::mutex> g(lock_);
    std::string line = stamp();
    if (e.kind == sim::TapEvent::Kind::kRefusal) {
      line += "  terminal:  \"N\" (not ready, command refused)";
    } else {
      const logreader::DecodedRequest frame = logreader::parseRequestText(e.text);
      if (e.kind == sim::TapEvent::Kind::kRequest) {
        line += "  cash desk: ";
        if (!frame.problem.empty()) line += "malformed request (" + frame.problem + ") ";
        if (!frame.command.empty()) {
          lastCommand_ = frame.command[0];
          // Appended piece by piece: a literal + temporary string sets off a false
          // -Wrestrict in GCC 12 at -O3.
          line += '#';
          line += std::to_string(frame.packetIndex);
          line += ' ';
          line += logreader::describeRequest(frame.command);
        }
      } else {
        line += "  terminal:  ";
        if (!frame.problem.empty()) line += "(" + frame.problem + ") ";
        std::vector<std::uint8_t> body{frame.packetIndex};
        body.insert(body.end(), frame.command.begin(), frame.command.end());
        line += logreader::describeReply(lastCommand_, body);
      }
    }
    std::cout << line << std::endl;
  }

 private:
  static std::string stamp() {
    const platform::DateTimeParts p = platform::decodeOle(platform::nowOle());
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", p.hour, p.minute, p.second,
                  p.millisecond);
    return buf;
  }

  std::mutex lock_;
  std::optional<std::uint8_t> lastCommand_;
};

int run(const options::ParsedArgs& a) {
  if (a.has("help")) {
    printHelp();
    return kExitOk;
  }
  if (a.has("version")) {
    std::cout << "vexcard-terminal " << VEXCARD_VERSION_TEXT << "\n";
    return kExitOk;
  }
  if (a.has("show-config")) {
    std::cout << sim::defaultConfigText();
    return kExitOk;
  }
  if (!a.positional().empty() && !a.has("replay"))
    throw options::UsageError("unexpected argument '" + a.positional()[0] + "'");
  if (a.has("fast") && !a.has("replay")) throw options::UsageError("--fast applies to --replay");
  std::shared_ptr<sim::LogReplay> replay;
  if (const auto first = a.get("replay")) {
    std::string log = options::readInputFile(*first, "--replay");
    for (const std::string& more : a.positional()) log += options::readInputFile(more, "--replay");
    logreader::ReplayScript script = logreader::readReplayScript(log);
    if (script.exchanges.empty()) throw options::InputError("--replay: the log holds no request");
    std::cerr << "vexcard-terminal: replaying " << script.exchanges.size() << " requests of COM"
              << script.port << " from the log"
              << (a.has("fast") ? ", at once" : ", with the logged delays") << ".\n";
    replay = std::make_shared<sim::LogReplay>(
        std::move(script), a.has("fast"),
        [](const std::string& text) { std::cout << "DIVERGENCE: " << text << std::flush; });
  }
  if (a.has("device") == a.has("listen")) {
    throw options::UsageError("give either --device PATH or --listen HOST:PORT");
  }
  sim::SimulatorConfig config;
  std::vector<sim::FaultRule> faults;
  const std::string configText = a.has("config")
                                     ? options::readInputFile(*a.get("config"), "--config")
                                     : std::string(sim::defaultConfigText());
  try {
    config = sim::parseSimulatorConfig(configText);
    for (const std::string& f : a.all("fault")) faults.push_back(sim::parseFaultRule(f));
  } catch (const Exception& e) {
    throw options::UsageError(e.message());
  }
  if (const auto card = a.get("card")) {
    if (*card != "none" && config.findCard(*card) == nullptr) {
      throw options::UsageError("--card: no card '" + *card + "' in the configuration");
    }
    config.insertedCard = *card == "none" ? std::string() : *card;
  }
  std::string host;
  std::uint16_t port = 0;
  if (const auto listen = a.get("listen")) {
    const auto colon = listen->rfind(':');
    const auto number = colon == std::string::npos
                            ? std::nullopt
                            : logreader::parseUnsigned(listen->substr(colon + 1), 65535);
    if (!number || colon == 0)
      throw options::UsageError("--listen takes HOST:PORT, e.g. 127.0.0.1:7000");
    host = listen->substr(0, colon);
    port = static_cast<std::uint16_t>(*number);
  }

#ifdef VEXCARD_PANEL
  std::optional<std::pair<std::string, std::uint16_t>> panelAt;
  if (const auto p = a.get("panel")) {
    panelAt = sim::panel::parsePanelAddress(*p);
    if (!panelAt) throw options::UsageError("--panel takes [HOST:]PORT, e.g. 127.0.0.1:8080");
  }
#else
  if (a.has("panel")) throw options::UsageError("--panel: this build has no control panel");
#endif

  TrafficPrinter printer;
  const bool quiet = a.has("quiet");
  const auto tap = [&](std::unique_ptr<comport::SerialDevice> device) {
    if (quiet) return device;
    return std::unique_ptr<comport::SerialDevice>(std::make_unique<sim::TrafficTap>(
        std::move(device), [&printer](const sim::TapEvent& e) { printer(e); }));
  };

  // On a network port the simulator answers on one end of a virtual line and the server
  // puts the other end on the network.
  std::shared_ptr<comport::VirtualSerialPair> line;
  std::unique_ptr<comport::SerialDevice> serverEnd;
  std::unique_ptr<comport::SerialDevice> device;
  std::string where;
  if (a.has("device")) {
    if (sim::isPseudoTerminal(*a.get("device"))) {
      std::cerr << "vexcard-terminal: " << *a.get("device")
                << " is a pseudo-terminal: pseudo-terminals carry no modem lines (RTS, DTR,"
                   " CTS), so the driver's hand-shake cannot work over one. Serve a network"
                   " serial port instead: --listen 127.0.0.1:7000 and, for the driver,"
                   " VEXCARD_COM<n>=rfc2217://127.0.0.1:7000.\n";
      return kExitFailure;
    }
    device = sim::openDevicePath(*a.get("device"));
    if (!device) {
      std::cerr << "vexcard-terminal: cannot open " << *a.get("device")
                << " (missing, busy, not a serial device, or no access)\n";
      return kExitFailure;
    }
    where = *a.get("device");
  } else {
    line = comport::NewVirtualSerialPair();
    serverEnd = line->open(0);
    device = line->open(1);
  }
  sim::TerminalSimulator terminal(tap(std::move(device)), config);
  for (const sim::FaultRule& f : faults) terminal.injectFault(f);
  if (replay) terminal.setAnswerSource(replay);
  terminal.start();
  std::unique_ptr<sim::Rfc2217Server> server;
  if (serverEnd) {
    server = std::make_unique<sim::Rfc2217Server>(*serverEnd);
    if (!server->start(host, port)) {
      terminal.stop();
      std::cerr << "vexcard-terminal: cannot listen on " << host << ":" << port << "\n";
      return kExitFailure;
    }
    where = "rfc2217://" + host + ":" + std::to_string(server->port());
    terminal.setHangUpHandler([s = server.get()] { s->dropClient(); });
  }

#ifdef VEXCARD_PANEL
  std::unique_ptr<sim::panel::ControlPanel> panel;
  if (panelAt) {
    panel = std::make_unique<sim::panel::ControlPanel>(terminal);
    if (!panel->start(panelAt->first, panelAt->second)) {
      if (server) server->stop();
      terminal.stop();
      std::cerr << "vexcard-terminal: cannot serve the panel on " << panelAt->first << ":"
                << panelAt->second << ": " << panel->error() << "\n";
      return kExitFailure;
    }
    std::cerr << "vexcard-terminal: control panel on " << panel->url() << "\n";
  }
#endif
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::cerr << "vexcard-terminal: answering as the payment terminal on " << where << "; card in "
            << "the reader: " << (config.insertedCard.empty() ? "none" : config.insertedCard)
            << ". Ctrl+C stops.\n";
  int rc = kExitOk;
  // The signal handler can only set a flag: look at it a few times a second.
  while (!g_stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const sim::SimulatorCounters c = terminal.counters();
    if (c.deviceFailures != 0) {
      std::cerr << "vexcard-terminal: the device failed (unplugged?)\n";
      rc = kExitFailure;
      break;
    }
    // A replay ends once the log's last request has been answered and (on the network) the
    // cash desk has left, so that its driver sees no connection lost meanwhile.
    if (replay && replay->finished() && c.handled >= c.frames &&
        !(server && server->clientConnected())) {
      break;
    }
  }
#ifdef VEXCARD_PANEL
  if (panel) panel->stop();
#endif
  terminal.setHangUpHandler({});
  if (server) server->stop();
  terminal.stop();
  const sim::SimulatorCounters c = terminal.counters();
  std::cerr << "vexcard-terminal: stopped after " << c.requests << " requests (" << c.malformed
            << " malformed, " << c.faults << " faults injected).\n";
  if (replay && !replay->finished()) {
    // The session ended before the log did: the requests not received diverge too.
    replay->reportMissing();
  }
  if (replay) {
    const std::size_t diverged = replay->divergences();
    std::cerr << "vexcard-terminal: replay: " << std::min(c.frames, replay->requests()) << " of "
              << replay->requests() << " logged requests received, " << diverged
              << (diverged == 1 ? " divergence" : " divergences") << ".\n";
    if (rc == kExitOk && diverged != 0) rc = kExitFailure;
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return run(options::parseArgs(args, programOptions()));
  } catch (const options::InputError& e) {
    std::cerr << "vexcard-terminal: " << e.what() << "\n";
    return kExitFailure;
  } catch (const options::UsageError& e) {
    std::cerr << "vexcard-terminal: " << e.what() << "\nRun `vexcard-terminal --help`.\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "vexcard-terminal: " << e.what() << "\n";
    return kExitFailure;
  }
}
