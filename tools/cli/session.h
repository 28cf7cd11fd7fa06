// A driver session of the vexcard command: the driver created through GeTDriver, as a host
// creates it, on a real port or on a virtual line to a terminal simulated in-process.
//
// The driver comes from the program itself (POSIX) or from a VexCard.dll it loads
// (Windows); see driver_loader.h.
//
// Real port: COM n opens whatever the platform maps it to (on POSIX /dev/ttyS<n-1>, on
// Windows \\.\COM<n>, or the device or rfc2217://HOST:PORT named by VEXCARD_COM<n>).
//
// Simulator: a virtual line joins COM n to a TerminalSimulator with the built-in cards or
// those of a configuration file (SimulatorLink). On POSIX, unless VEXCARD_SETTINGS_DIR is
// set, the driver's settings (packet counter, shift number) are kept in a temporary
// folder, removed at the end, so a try-out never touches the station's own values; the
// Windows library keeps them in its registry key.
//
// The log goes to the driver's default path, or (POSIX) to the file the user names (the
// driver's default-path override is set before the driver is created).
//
// Not thread-safe: one session at a time per process (the device override, the log path
// and the environment are process-wide).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "platform/timing.h"
#include "terminal-sim/sim_config.h"
#include "terminal-sim/terminal_simulator.h"
#include "vexcard/host_interface.h"

namespace vexcard::comport {
class VirtualSerialPair;
}

namespace vexcard::cli {

class DriverLoader;
class SimulatorLink;
class TemporarySettings;

struct SessionOptions {
  std::uint8_t port = 1;
  bool simulator = true;
  sim::SimulatorConfig simConfig;      // simulator only
  std::vector<sim::FaultRule> faults;  // simulator only
  std::optional<std::string> logFile;  // empty: the driver's default path
  bool testTiming = false;             // testTimingPolicy() for the built-in driver
  std::optional<std::string> dll;  // Windows: the VexCard.dll to load; empty: beside the program
  // --sim-state: the file the simulated terminal's state is loaded from (when it exists)
  // and saved to by Session::saveState.
  std::optional<std::string> simState;
};

// The timing of --test-timing: the driver's pauses (pacing, the pauses before a retry, a
// poll or a re-synchronisation, a script's seconds) at 1/20 and the reply wait at 2 s, so
// that a session with faults runs in seconds. The waits that an answer ends early (the CTS
// answer, the network's) and the keep-alive's idle time keep their real lengths: a busy
// machine never turns a prompt answer into a time-out, and no poll comes between operations.
timing::Policy testTimingPolicy();

// The session options of the command line: --port, --simulator, --sim-config, --sim-state,
// --card, --fault, --log, --test-timing and --dll. A --sim-state file that exists is the
// simulator's configuration (it was written from one), in place of --sim-config. Throws UsageError
// for bad values (an unknown card, a malformed fault, a configuration that does not parse, a log
// folder that does not exist) and InputError for a configuration file that cannot be read.
SessionOptions sessionOptionsFrom(const ParsedArgs& args);

class Session {
 public:
  // Creates the simulator (when asked) and the driver. Throws vexcard::Exception with the
  // driver's message when GeTDriver fails, and for a simulator that cannot start.
  explicit Session(const SessionOptions& options);
  // Destroys the driver through its destructor slot, then stops the simulator.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  HostObject* object() const { return object_; }
  const HostSlots& slots() const { return hostSlots(object_); }
  // The simulated terminal; nullptr on a real port.
  sim::TerminalSimulator* simulator() const { return sim_.get(); }
  std::uint8_t port() const { return port_; }
  // The log file the driver writes (Windows-1251 text).
  const std::string& logPath() const { return logPath_; }

  // The card block the latest sale of this run handed out, or the one the kept simulator
  // state remembers: what `--block last` refunds. Empty: none.
  const std::vector<std::uint8_t>& lastBlock() const { return lastBlock_; }
  void setLastBlock(std::vector<std::uint8_t> block) { lastBlock_ = std::move(block); }

  // With --sim-state: writes the simulated terminal's cards (their balances), shift,
  // inserted card and refundable sales, and the last card block, for the next run. Throws
  // InputError when the file cannot be written. Does nothing without --sim-state.
  void saveState() const;

 private:
  void release() noexcept;

  std::uint8_t port_;
  std::unique_ptr<DriverLoader> driver_;
  std::unique_ptr<TemporarySettings> settings_;
  std::shared_ptr<comport::VirtualSerialPair> line_;
  std::unique_ptr<sim::TerminalSimulator> sim_;
  std::unique_ptr<SimulatorLink> link_;
  std::string logPath_;
  HostObject* object_ = nullptr;
  std::vector<std::uint8_t> lastBlock_;
  std::optional<std::string> statePath_;
  sim::SimulatorConfig startConfig_;  // what saveState updates
};

}  // namespace vexcard::cli
