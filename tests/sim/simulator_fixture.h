// The simulator's test fixture: a TerminalSimulator on one end of a line and a LineProbe
// (the driver's side) on the other, with helpers for the exchanges the driver makes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "comport/device_rfc2217.h"
#include "comport/device_virtual.h"
#include "sim/fake_serial_pair.h"
#include "sim/line_probe.h"
#include "terminal-sim/rfc2217_server.h"
#include "terminal-sim/terminal_simulator.h"

namespace vexcard::sim {

// Bound of every wait; reached only when something is broken.
constexpr std::uint32_t kWait = 10000;

constexpr char kFixtureConfig[] = R"(
reply-delay-ms 0
trickle-delay-ms 1
shift open 2
card bonus 12345678901234567890
  status 00 01
  balance 1000.00
insert bonus
)";

class SimulatorTest : public ::testing::Test {
 protected:
  enum class Line { kVirtual, kFake, kNetwork };

  // The terminal on one end of a line, the probe (the driver's side) on the other: a virtual
  // line, the fake pair, or a virtual line whose driver's end is served over TCP by the
  // RFC 2217 server and reached through the network serial port.
  explicit SimulatorTest(Line line = Line::kVirtual) {
    std::unique_ptr<comport::SerialDevice> terminalEnd;
    if (line == Line::kFake) {
      auto ends = simtest::newFakeSerialPair();
      fake_ = ends.first.get();
      line_ = std::move(ends.first);
      terminalEnd = std::move(ends.second);
    } else {
      pair_ = comport::NewVirtualSerialPair();
      terminalEnd = pair_->open(1);
      if (line == Line::kVirtual) {
        line_ = pair_->open(0);
      } else {
        serverEnd_ = pair_->open(0);
        server_ = std::make_unique<Rfc2217Server>(*serverEnd_);
        if (!server_->start()) ADD_FAILURE() << "no RFC 2217 server";
        line_ =
            comport::openRfc2217Device("rfc2217://127.0.0.1:" + std::to_string(server_->port()));
        if (!line_) throw std::runtime_error("cannot reach the RFC 2217 server");
      }
    }
    sim_ = std::make_unique<TerminalSimulator>(std::move(terminalEnd),
                                               parseSimulatorConfig(kFixtureConfig));
    sim_->start();
    driver_ = std::make_unique<simtest::LineProbe>(*line_);
  }

  static Bytes request(std::uint8_t index, Bytes command) {
    command.insert(command.begin(), index);
    return encodeFrameText(command);
  }

  void send(const Bytes& text) { driver_->write(text); }

  // Hand-shake and write, as the driver does.
  void handshakeAndSend(const Bytes& text) {
    driver_->setRts(true);
    ASSERT_TRUE(driver_->waitForCts(false, kWait));
    send(text);
  }

  // Ends the exchange: drops RTS and waits for the terminal to be ready again.
  void finish() {
    driver_->setRts(false);
    ASSERT_TRUE(driver_->waitForCts(true, kWait));
  }

  // One whole exchange; returns what arrived up to and including `last`.
  Bytes exchange(const Bytes& text, std::uint8_t last = kEtx) {
    handshakeAndSend(text);
    const auto reply = driver_->readThrough(last, kWait);
    finish();
    return reply.value_or(Bytes{});
  }

  static Bytes body(const Bytes& replyText) { return decodeFrameText(replyText).body; }

  std::shared_ptr<comport::VirtualSerialPair> pair_;
  std::unique_ptr<comport::SerialDevice> serverEnd_;  // Line::kNetwork
  std::unique_ptr<Rfc2217Server> server_;             // Line::kNetwork
  std::unique_ptr<comport::SerialDevice> line_;       // the driver's end of the line
  simtest::FakeSerialEnd* fake_ = nullptr;            // line_, when it is the fake pair's
  std::unique_ptr<TerminalSimulator> sim_;
  std::unique_ptr<simtest::LineProbe> driver_;
};

// For the tests that hold the terminal's events or count its writes.
class FakeLineSimulatorTest : public SimulatorTest {
 protected:
  FakeLineSimulatorTest() : SimulatorTest(Line::kFake) {}
};

class NetworkSimulatorTest : public SimulatorTest {
 protected:
  NetworkSimulatorTest() : SimulatorTest(Line::kNetwork) {}
};

}  // namespace vexcard::sim
