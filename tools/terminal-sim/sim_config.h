// The simulated terminal's configuration: its cards, its shift and its pacing, and the
// parser of the text format that describes them (docs/terminal-sim.md).
//
// Plain values; no thread-safety of their own.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "terminal-sim/sim_wire.h"

namespace vexcard::sim {

// A purse of a card: the purse number the terminal reports for a product and the quantity
// of it the card pays for (in hundredths; empty: as much as is asked).
struct SimPurse {
  std::uint8_t purseNo = 0;
  std::optional<std::int64_t> allowedQuantity;
};

struct SimCard {
  std::string name;  // how the configuration and the tests refer to the card
  CardNumber number{};
  std::uint8_t status1 = 0;  // first status byte (reply body byte 33)
  std::uint8_t status2 = 0;  // second status byte (byte 34): low 2 bits 1 = bonus, 0 = non-cash
  std::int64_t balance = 0;  // hundredths
  bool blocked = false;      // every card command answers 0x8C
  // Discount in hundredths of a percent (250 = 2.5 %): the card's default and per product code.
  std::uint32_t discount = 0;
  std::map<std::int32_t, std::uint32_t> productDiscount;
  // Purses by product code. A card without purses sells every product.
  std::map<std::int32_t, SimPurse> purses;

  std::uint32_t discountFor(std::int32_t productCode) const {
    const auto it = productDiscount.find(productCode);
    return it == productDiscount.end() ? discount : it->second;
  }
};

// A sale the terminal has on record and will still refund: the card it charged, the amount
// it gives back, and the card block a refund must carry (79 bytes). A configuration holds
// such sales when it is the kept state of an earlier run.
struct SimSale {
  std::uint32_t id = 0;  // the sale's number, as its card block carries it
  std::string cardName;
  std::int64_t charged = 0;  // hundredths
  std::vector<std::uint8_t> block;
};

struct SimulatorConfig {
  std::vector<SimCard> cards;
  std::vector<SimSale> sales;
  std::string insertedCard;  // name of the card in the reader; empty: none
  bool shiftOpen = false;
  std::uint8_t shiftNo = 0;
  // When on, every command but tsReset and the shift commands is answered 0x81 while no
  // shift is open or while the shift is out of step.
  bool shiftCheck = false;
  std::uint32_t replyDelayMs = 20;   // pause between a request's ETX and the reply
  std::uint32_t trickleDelayMs = 5;  // pause between bytes of a trickled reply
  // The card block the host last received from a sale (79 bytes; empty: none). The
  // terminal does not use it: it lets a kept state refund "the last sale" in a later run.
  std::vector<std::uint8_t> lastBlock;

  const SimCard* findCard(std::string_view name) const;
};

// Parses the text format. Throws vexcard::Exception naming the line and the problem; every
// line is checked, so a configuration that parses holds no half-read entries.
SimulatorConfig parseSimulatorConfig(std::string_view text);

// Reads and parses a configuration file. Throws vexcard::Exception when the file cannot be
// read or does not parse.
SimulatorConfig loadSimulatorConfig(const std::string& path);

// The configuration as text that parseSimulatorConfig reads back to the same values.
std::string formatSimulatorConfig(const SimulatorConfig& config);

// Decimal amount with at most two decimals ("1000", "12.5", "0.05") in hundredths; empty
// for anything else or for amounts of 10^13 and more.
std::optional<std::int64_t> parseAmount(std::string_view text);

}  // namespace vexcard::sim
