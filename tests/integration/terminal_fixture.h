// Integration fixture: the real driver on COM1 of a virtual line, the terminal simulator
// on the line's other end, settings and log in temporary folders.
//
// Timing: sleeps that only pace the terminal are cut to 10 ms; waits that a test expects
// to be ended by an event (the CTS answer, the reply) stay long, so that no result depends
// on how fast the machine is; the keep-alive idle period stays at its production length
// unless a test is about keep-alive polling. Tests that expect a wait to run out shorten
// that wait only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/driver_factory.h"
#include "driver/smart_driver.h"
#include "platform/timing.h"
#include "support/driver_env.h"
#include "terminal-sim/terminal_simulator.h"

namespace vexcard::test {

using timing::Delay;

// A simulated terminal on its own virtual line, standing for COM `port`.
struct SimulatedTerminal {
  SimulatedTerminal(DriverEnv& env, unsigned port, const sim::SimulatorConfig& config = {})
      : line(env.line(port)),
        sim(std::make_unique<sim::TerminalSimulator>(line->open(DriverEnv::kTerminalEnd), config)) {
    sim->setReplyDelay(1);
    sim->start();
  }
  ~SimulatedTerminal() { sim->stop(); }

  std::vector<sim::RequestRecord> requests() const { return sim->requests(); }
  // The command bytes (code and parameters) of every valid request, in order.
  std::vector<sim::Bytes> commands() const {
    std::vector<sim::Bytes> out;
    for (const auto& r : sim->requests()) {
      if (r.valid()) out.push_back(r.command);
    }
    return out;
  }
  void fault(sim::FaultKind kind, std::optional<std::uint8_t> command, int count = 1) {
    sim::FaultRule rule;
    rule.kind = kind;
    rule.command = command;
    rule.count = count;
    sim->injectFault(rule);
  }
  void replyCode(std::uint8_t code, std::optional<std::uint8_t> command, int count = 1,
                 std::optional<std::uint8_t> shiftByte = std::nullopt) {
    sim::FaultRule rule;
    rule.kind = sim::FaultKind::kReplyCode;
    rule.command = command;
    rule.count = count;
    rule.replyCode = code;
    rule.shiftByte = shiftByte;
    sim->injectFault(rule);
  }

  std::shared_ptr<comport::VirtualSerialPair> line;
  std::unique_ptr<sim::TerminalSimulator> sim;
};

class TerminalTest : public ::testing::Test {
 protected:
  // A generous bound for waits on the simulator: a hang guard, never a timing assertion.
  static constexpr std::uint32_t kHangGuardMs = 60000;

  static timing::Policy basePolicy() {
    timing::Policy p = timing::Policy::production();
    for (Delay d :
         {Delay::kHandshakeRetry, Delay::kResyncPause, Delay::kResyncCloseShift, Delay::kBusyPause,
          Delay::kExecutingPause, Delay::kPace500, Delay::kPace400, Delay::kPace300}) {
      p.set(d, 10);
    }
    p.set(Delay::kCtsAnswer, 1000).set(Delay::kReplyWait, 5000);
    return p;
  }
  // Installs the base policy with some delays changed.
  static void use(std::initializer_list<std::pair<Delay, std::uint32_t>> changes) {
    timing::Policy p = basePolicy();
    for (auto [d, ms] : changes) p.set(d, ms);
    retime(p);
  }
  // After an attempt that ended without a good reply RTS is still up, so the next
  // attempt's first hand-shake try raises no edge and must run out before RTS is dropped
  // and raised again. Tests with failed attempts shorten the CTS wait for that; the
  // simulator answers a real edge within milliseconds, and a try that still ran out would
  // only cost another try, never the result.
  static constexpr std::pair<Delay, std::uint32_t> kQuickHandshakeRetry{Delay::kCtsAnswer, 250};

  driver::TSmartDriver& startDriver() {
    driver = driver::createDriver(1);
    return *driver;
  }

  DriverEnv env{basePolicy()};
  SimulatedTerminal terminal{env, 1};
  std::unique_ptr<driver::TSmartDriver> driver;
};

// The wire text of hex digits followed by ETX.
inline sim::Bytes wire(std::string_view hex) {
  sim::Bytes out(hex.begin(), hex.end());
  out.push_back(0x03);
  return out;
}

}  // namespace vexcard::test
