#include "cli/session.h"

#include <cstdio>
#include <filesystem>

#include "cli/driver_loader.h"
#include "comport/device_virtual.h"
#include "driver/env.h"
#include "link/journal_format.h"
#include "link/metrics.h"
#include "logging/logger.h"
#include "terminal-sim/default_config.h"
#include "terminal-sim/fault_syntax.h"
#include "vexcard/exception.h"

namespace vexcard::cli {

namespace {

bool folderOfFileExists(const std::string& file) {
  const auto slash = file.find_last_of(kDriverIsLoaded ? "/\\" : "/");
  const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
  std::error_code error;
  return std::filesystem::is_directory(folder, error);
}

}  // namespace

timing::Policy testTimingPolicy() {
  using timing::Delay;
  timing::Policy p = timing::Policy::production();
  for (const Delay d : {Delay::kHandshakeRetry, Delay::kResyncPause, Delay::kResyncCloseShift,
                        Delay::kBusyPause, Delay::kExecutingPause, Delay::kPace500, Delay::kPace400,
                        Delay::kPace300, Delay::kScriptSecond}) {
    p.set(d, p.get(d) / 20);
  }
  return p.set(Delay::kReplyWait, 2000);
}

SessionOptions sessionOptionsFrom(const ParsedArgs& a) {
  SessionOptions o;
  const bool simOptions =
      a.has("sim-config") || a.has("sim-state") || a.has("card") || a.has("fault");
  if (a.has("port")) {
    o.port = static_cast<std::uint8_t>(*a.integer("port", 1, 255));
    o.simulator = a.has("simulator");
    if (simOptions && !o.simulator) {
      throw UsageError(
          "--sim-config, --sim-state, --card and --fault apply to the simulator (--simulator)");
    }
  }
  o.simState = a.get("sim-state");
  std::error_code error;
  const bool stateKept = o.simState && std::filesystem::exists(*o.simState, error);
  if (o.simState && !stateKept && !folderOfFileExists(*o.simState)) {
    throw UsageError("--sim-state: the folder of '" + *o.simState + "' does not exist");
  }
  const std::string configText = stateKept ? readInputFile(*o.simState, "--sim-state")
                                 : a.has("sim-config")
                                     ? readInputFile(*a.get("sim-config"), "--sim-config")
                                     : std::string(sim::defaultConfigText());
  try {
    o.simConfig = sim::parseSimulatorConfig(configText);
    for (const std::string& f : a.all("fault")) o.faults.push_back(sim::parseFaultRule(f));
  } catch (const Exception& e) {
    throw UsageError(
        stateKept ? std::string("--sim-state ").append(*o.simState).append(": ").append(e.message())
                  : e.message());
  }
  if (const auto card = a.get("card")) {
    if (*card != "none" && o.simConfig.findCard(*card) == nullptr) {
      throw UsageError("--card: the simulated terminal has no card '" + *card + "'");
    }
    o.simConfig.insertedCard = *card == "none" ? std::string() : *card;
  }
  if (const auto dll = a.get("dll")) {
    if (!kDriverIsLoaded) throw UsageError("--dll applies on Windows; this program has its driver");
    o.dll = *dll;
  }
  if (a.has("test-timing")) {
    if (kDriverIsLoaded) throw UsageError("--test-timing applies to the driver built into vexcard");
    o.testTiming = true;
  }
  if (const auto log = a.get("log")) {
    if (kDriverIsLoaded) {
      throw UsageError(
          "--log: VexCard.dll writes its log to C:\\DOVA\\LogFiles when that folder exists");
    }
    if (log->empty() || log->back() == '/' || !folderOfFileExists(*log)) {
      throw UsageError("--log: the folder of '" + *log + "' does not exist");
    }
    o.logFile = *log;
  }
  return o;
}

Session::Session(const SessionOptions& options)
    : port_(options.port),
      lastBlock_(options.simConfig.lastBlock),
      statePath_(options.simulator ? options.simState : std::nullopt),
      startConfig_(options.simConfig) {
  try {
    if (options.logFile) {
      logging::setDefaultLogPathOverride(*options.logFile);
    }
    if (options.testTiming) retime(testTimingPolicy());
    driver_ = std::make_unique<DriverLoader>(options.dll);
    if (options.simulator) {
      // Before the temporary settings: the simulator's journal lies beside the station's.
      link::setJournalPathOverride(simulatorJournalPath());
      link::setMetricsFolderOverride("");  // a try-out's numbers are not the station's
      settings_ = std::make_unique<TemporarySettings>();
      line_ = comport::NewVirtualSerialPair();
      sim_ = std::make_unique<sim::TerminalSimulator>(line_->open(1), options.simConfig);
      for (const sim::FaultRule& rule : options.faults) sim_->injectFault(rule);
      sim_->start();
      link_ = std::make_unique<SimulatorLink>(port_, *line_);
    }
    logPath_ = logging::DefaultLogPath();
    object_ = driver_->create(port_);
  } catch (...) {
    release();
    throw;
  }
}

Session::~Session() { release(); }

void Session::saveState() const {
  if (!statePath_ || !sim_) return;
  sim::SimulatorConfig state = startConfig_;
  for (sim::SimCard& card : state.cards) {
    if (const auto now = sim_->card(card.name)) card = *now;
  }
  const sim::ShiftState shift = sim_->shift();
  state.shiftOpen = shift.open;
  state.shiftNo = shift.number;
  state.insertedCard = sim_->insertedCard().value_or("");
  state.sales.clear();
  for (const sim::SaleRecord& s : sim_->sales()) {
    if (s.quote || s.refunded) continue;
    state.sales.push_back({s.id, s.cardName, s.charged, {s.block.begin(), s.block.end()}});
  }
  state.lastBlock = lastBlock_;
  // Written beside the file and renamed over it: an interrupted run leaves the old state.
  const std::string temporary = *statePath_ + ".new";
  {
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    const std::string text =
        std::string("# The simulated terminal as `vexcard --sim-state` left it.\n")
            .append(sim::formatSimulatorConfig(state));
    const bool written = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != nullptr && std::fclose(f) != 0)
      throw InputError("--sim-state: cannot write '" + temporary + "'");
    if (!written) throw InputError("--sim-state: cannot write '" + temporary + "'");
  }
  std::error_code error;
  std::filesystem::rename(temporary, *statePath_, error);
  if (error)
    throw InputError("--sim-state: cannot replace '" + *statePath_ + "': " + error.message());
}

void Session::release() noexcept {
  if (object_ != nullptr) {
    try {
      hostDestructor(object_)(object_);
    } catch (...) {
      // The destructor slot has nothing to report; the process ends anyway.
    }
    object_ = nullptr;
  }
  if (sim_) sim_->stop();
  link_.reset();
  sim_.reset();
  line_.reset();
  settings_.reset();
  driver_.reset();
  logging::setDefaultLogPathOverride({});
  link::setJournalPathOverride({});
  link::setMetricsFolderOverride(std::nullopt);
}

}  // namespace vexcard::cli
