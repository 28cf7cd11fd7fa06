// The simulated terminal's state and its answer to each command.
//
// TerminalModel is the pure core of the simulator: it takes the command bytes of one request
// (code first, then the parameters) and returns the reply body; no threads, no I/O. It is not
// thread-safe: TerminalSimulator calls it under its own lock.
//
// Reply bodies (offsets within the body; multi-byte values little-endian; money as in
// sim_wire.h; every byte not listed is 0):
//   every reply   0 packet index of the request, 1 command code, 2 reply code,
//                 4 the terminal's shift number (0 when no shift is open).
//   error reply   5 bytes; the command was not carried out.
//   tsReadCard    35 bytes: 11 balance, 23..32 card number (BCD), 33 and 34 status bytes.
//   tsSelectPurse 12 bytes: 11 purse handle.
//   tsQueryPurse  12 bytes: 11 purse number of the product on the card (0: none).
//   tsQueryQuantity 15 bytes: 11 the quantity the card pays for: min(asked, purse limit).
//   tsSale, tsDebit 102 bytes: 11 amount before discount (price x quantity), 15 amount charged
//                 after discount, 19 amount before discount again, 23..101 CardBlock.
//   tsRefund, tsRefundReset 19 bytes: 11 amount given back, 15 balance after the refund.
//   tsReset, tsCloseSession and the shift commands: 5 bytes.
//
// CardBlock (79 bytes): 0..9 card number, 10 and 11 status bytes, 12..15 the sale's id,
// 16 kind (1 sale, 2 debit quote), 17 amount, 21 amount charged, 25 price, 29 quantity
// (money values), 33..36 product code, 37..38 the request's transaction number, 39 shift.
//
// tsDebit is a quote: it computes the sale figures and checks the balance but charges
// nothing and leaves nothing to refund. A refund must carry the block of a recorded,
// not yet refunded tsSale (0x8D otherwise); it gives the charged amount back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "terminal-sim/sim_config.h"
#include "terminal-sim/sim_wire.h"

namespace vexcard::sim {

// Command codes.
namespace cmd {
inline constexpr std::uint8_t tsReset = 0x00;
inline constexpr std::uint8_t tsCloseSession = 0x01;
inline constexpr std::uint8_t tsOpenShift = 0x03;
inline constexpr std::uint8_t tsCloseShift = 0x04;
inline constexpr std::uint8_t tsResumeShift = 0x05;
inline constexpr std::uint8_t tsSelectPurse = 0x06;
inline constexpr std::uint8_t tsQueryQuantity = 0x07;
inline constexpr std::uint8_t tsSale = 0x08;
inline constexpr std::uint8_t tsRefund = 0x09;
inline constexpr std::uint8_t tsReadCard = 0x0A;
inline constexpr std::uint8_t tsQueryPurse = 0x0B;
inline constexpr std::uint8_t tsRefundReset = 0x0D;
inline constexpr std::uint8_t tsDebit = 0x0E;
}  // namespace cmd

// Reply codes the model produces.
namespace code {
inline constexpr std::uint8_t kDone = 0x00;
inline constexpr std::uint8_t kExecuting = 0x01;
inline constexpr std::uint8_t kUnknownCommand = 0x80;
inline constexpr std::uint8_t kShiftOutOfStep = 0x81;
inline constexpr std::uint8_t kShiftClosed = 0x82;
inline constexpr std::uint8_t kShiftOpen = 0x83;
inline constexpr std::uint8_t kNoDialog = 0x84;
inline constexpr std::uint8_t kNoCard = 0x87;
inline constexpr std::uint8_t kNoFunds = 0x8A;
inline constexpr std::uint8_t kCardBlocked = 0x8C;
inline constexpr std::uint8_t kRefundMismatch = 0x8D;
inline constexpr std::uint8_t kBusy = 0x8F;
inline constexpr std::uint8_t kGoodsForbidden = 0x91;
}  // namespace code

// The number of command bytes (code included) of a known command; empty for other codes.
std::optional<std::size_t> commandLength(std::uint8_t command);

inline constexpr std::size_t kCardBlockSize = 79;
using CardBlock = std::array<std::uint8_t, kCardBlockSize>;

// One tsSale or tsDebit the terminal carried out.
struct SaleRecord {
  std::uint32_t id = 0;
  bool quote = false;  // tsDebit: nothing charged, not refundable
  std::string cardName;
  std::int32_t productCode = 0;
  std::int64_t price = 0, quantity = 0, amount = 0, charged = 0;  // hundredths
  std::uint16_t transactionNo = 0;
  std::uint8_t requestByte = 0;
  CardBlock block{};
  bool refunded = false;
};

struct ShiftState {
  bool open = false;
  std::uint8_t number = 0;
  bool inStep = true;  // false after setShiftOutOfStep() until the host re-synchronises
  std::array<std::uint8_t, 6> openedAt{};   // the current date of the last tsOpenShift
  std::array<std::uint8_t, 6> shiftDate{};  // the shift date of the last tsOpenShift
};

class TerminalModel {
 public:
  explicit TerminalModel(const SimulatorConfig& config = {});

  // Carries out one request. command holds the code and its parameters.
  Bytes execute(std::uint8_t packetIndex, std::span<const std::uint8_t> command);

  // An error reply carrying reply code rc; byte 4 holds shiftByte (default: the
  // terminal's shift number). Nothing is carried out.
  Bytes errorReply(std::uint8_t packetIndex, std::uint8_t command, std::uint8_t rc,
                   std::optional<std::uint8_t> shiftByte = std::nullopt) const;

  // Adds a card; throws vexcard::Exception when its name or number is taken.
  void addCard(const SimCard& card);
  // Puts the named card into the reader; false (and the reader unchanged) when unknown.
  bool insertCard(const std::string& name);
  void removeCard();
  const SimCard* card(const std::string& name) const;
  SimCard* card(const std::string& name);
  const std::vector<SimCard>& cards() const { return cards_; }
  const SimCard* insertedCard() const;

  void setShift(bool open, std::uint8_t number);
  // Marks the shift out of step (as after a restart of the terminal); with the shift check
  // on, card commands get 0x81 until tsResumeShift or tsOpenShift.
  void setShiftOutOfStep();
  void setShiftCheck(bool on) { shiftCheck_ = on; }
  const ShiftState& shift() const { return shift_; }

  const std::vector<SaleRecord>& sales() const { return sales_; }

 private:
  Bytes reply(std::uint8_t packetIndex, std::uint8_t command, std::size_t size) const;
  SimCard* inserted();
  Bytes readCard(std::uint8_t idx, std::span<const std::uint8_t> c);
  Bytes selectPurse(std::uint8_t idx, std::span<const std::uint8_t> c);
  Bytes queryPurse(std::uint8_t idx, std::span<const std::uint8_t> c);
  Bytes queryQuantity(std::uint8_t idx, std::span<const std::uint8_t> c);
  Bytes sale(std::uint8_t idx, std::span<const std::uint8_t> c);
  Bytes refund(std::uint8_t idx, std::span<const std::uint8_t> c);
  Bytes shiftCommand(std::uint8_t idx, std::span<const std::uint8_t> c);

  std::vector<SimCard> cards_;
  std::optional<std::size_t> inserted_;
  ShiftState shift_;
  bool shiftCheck_ = false;
  bool session_ = false;  // a purse is selected (tsSelectPurse until tsCloseSession)
  std::uint8_t handle_ = 0;
  std::uint8_t nextHandle_ = 1;
  std::vector<SaleRecord> sales_;  // the configuration's sales on record first
  std::uint32_t nextSaleId_ = 1;
};

}  // namespace vexcard::sim
