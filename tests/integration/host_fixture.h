// Integration fixture of the host operations: the driver handed to a test host exactly as
// GeTDriver hands it over, on COM1 of a virtual line with the terminal simulator on the
// other end. Operations are called by their slot index with the slot's exact type.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver_factory.h"
#include "integration/terminal_fixture.h"
#include "library/host_table.h"
#include "support/host_calls.h"
#include "terminal-sim/sim_config.h"

namespace vexcard::test {

inline constexpr char kCardDigits[] = "12345678901234567890";

// A card of the simulated terminal: number 1234...7890, the given status bytes and balance
// (hundredths), discount in hundredths of a percent.
inline sim::SimCard simCard(const std::string& name, std::uint8_t status1, std::uint8_t status2,
                            std::int64_t balance = 1000000, std::uint32_t discount = 0,
                            const char* digits = kCardDigits) {
  sim::SimCard card;
  card.name = name;
  card.number = *sim::parseCardNumber(digits);
  card.status1 = status1;
  card.status2 = status2;
  card.balance = balance;
  card.discount = discount;
  return card;
}

// The four bytes of a wire money value in hundredths, exponent -2.
inline sim::Bytes moneyBytes(std::uint32_t hundredths) {
  return {0xFE, static_cast<std::uint8_t>(hundredths), static_cast<std::uint8_t>(hundredths >> 8),
          static_cast<std::uint8_t>(hundredths >> 16)};
}

class HostTest : public TerminalTest {
 protected:
  ~HostTest() override {
    if (host != nullptr) hostDestructor(host)(host);
  }

  // Inserts the card into the simulated terminal and starts the driver.
  void start(const sim::SimCard& card) {
    terminal.sim->addCard(card);
    terminal.sim->insertCard(card.name);
    host = library::wrapDriver(driver::createDriver(1));
  }
  driver::TSmartDriver& drv() { return library::driverOf(host); }

  std::vector<std::uint8_t> codes() const {
    std::vector<std::uint8_t> out;
    for (const auto& c : terminal.commands()) out.push_back(c.empty() ? 0 : c[0]);
    return out;
  }
  // Makes the next reply to `command` carry these bytes from body offset `at` on.
  void patchReply(std::uint8_t command, std::size_t at, sim::Bytes bytes) {
    sim::FaultRule rule;
    rule.kind = sim::FaultKind::kPatchReply;
    rule.command = command;
    rule.patchAt = at;
    rule.patch = std::move(bytes);
    terminal.sim->injectFault(rule);
  }

  HostObject* host = nullptr;
};

}  // namespace vexcard::test
