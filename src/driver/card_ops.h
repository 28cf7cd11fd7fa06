// Helpers shared by the host operations of the card subsystem (card_info_ops.cpp,
// bonus_sale_ops.cpp, noncash_sale_ops.cpp, shift_ops.cpp): taking a command's reply,
// reading its fields, the card texts, the checks of the host's figures, selling one line,
// the sale log lines and the numbers in them.
//
// Everything here runs on the host's thread. The reply of a command is copied out of the
// driver while the exchange lock is still held, so a keep-alive poll can never come between
// a command and the reading of its reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "driver/product_table.h"
#include "driver/smart_driver.h"
#include "vexcard/currency.h"

namespace vexcard::driver::ops {

// Reply body offsets read by the card operations.
inline constexpr std::size_t kReplyCodeAt = 2;
inline constexpr std::size_t kByteAt11 = 11;  // purse handle, purse number
inline constexpr std::size_t kMoney1At = 11;
inline constexpr std::size_t kMoney2At = 15;
inline constexpr std::size_t kMoney3At = 19;
inline constexpr std::size_t kCardNumberAt = 23;
inline constexpr std::size_t kCardNumberSize = 10;
inline constexpr std::size_t kStatus1At = 33;
inline constexpr std::size_t kStatus2At = 34;
inline constexpr std::size_t kCardBlockAt = 23;

// A copy of the reply body of one command.
struct Reply {
  std::array<std::uint8_t, link::ReplyReceiver::kReplyCapacity> body{};

  std::uint8_t code() const { return body[kReplyCodeAt]; }
  std::uint8_t at(std::size_t offset) const { return body[offset]; }
  // The 4-byte wire money value at offset, little-endian.
  std::uint32_t wireAt(std::size_t offset) const;
  // DecodeMoney of the value at offset.
  Currency currencyAt(std::size_t offset) const;
  // The value at offset in currency units.
  double moneyAt(std::size_t offset) const;
  // BcdToDigits of the card number bytes 23..32: 20 characters.
  std::string cardDigits() const;
  // Bytes 23..101 of a sale reply.
  std::span<const std::uint8_t, kCardBlockSize> cardBlock() const {
    return std::span<const std::uint8_t, kCardBlockSize>(body.data() + kCardBlockAt,
                                                         kCardBlockSize);
  }
};
static_assert(kCardBlockAt + kCardBlockSize <= link::ReplyReceiver::kReplyCapacity);

// Runs one terminal command of the driver (a callable that sends it) and returns a copy of
// its reply, both under the exchange lock. The command's errors pass through; when the
// terminal took the command but its outcome is unknown (a final reply code 0x01), status
// (the operation's result Status) takes that code first, so that the host sees it beside
// the error.
template <class Command>
Reply exchange(TSmartDriver& driver, std::uint8_t& status, Command&& command) {
  std::lock_guard<platform::RecursiveLock> hold(driver.ExchangeLock);
  try {
    command();
  } catch (...) {
    if (driver.OutcomeUnknown) status = driver.ReplyData[kReplyCodeAt];
    throw;
  }
  Reply reply;
  reply.body = driver.ReplyData;
  return reply;
}

// exchange, then status := the reply code and CheckReaderReply: what every card operation
// does with a command whose reply it goes on to use.
template <class Command>
Reply exchangeAndCheck(TSmartDriver& driver, std::uint8_t& status, Command&& command);

// status := the reply code, then CheckReaderReply of it.
void takeReplyCode(const Reply& reply, std::uint8_t& status);

template <class Command>
Reply exchangeAndCheck(TSmartDriver& driver, std::uint8_t& status, Command&& command) {
  Reply reply = exchange(driver, status, std::forward<Command>(command));
  takeReplyCode(reply, status);
  return reply;
}

// One byte as two upper-case hexadecimal digits.
std::string hexByte(std::uint8_t b);

// The low 16 bits of TransactionNo, as tsSale and the refunds carry them.
inline std::uint16_t transactionWord(std::int32_t transactionNo) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(transactionNo));
}

// TransactionNo + 1, wrapping like the 32-bit counter of the terminal's protocol instead of
// overflowing.
inline std::int32_t nextTransaction(std::int32_t transactionNo) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(transactionNo) + 1u);
}

// ---- Checks of the host's figures --------------------------------------------------------
// All throw vexcard::Exception with a Windows-1251 message. The operations run them before
// anything is sent, so that a figure the terminal could not be given, or that would make
// a division by zero, never leaves a half-done operation behind.

// Labels of the figures in messages.
std::string_view qtyLabel();    // "Колво"
std::string_view sumLabel();    // "Сумма"
std::string_view priceLabel();  // "Цена"

// Refuses NaN and infinities.
void requireFinite(double value, std::string_view label);

// Refuses an amount that the wire money value cannot carry (below 0, or 167 772.16 and
// above after rounding to hundredths).
void requireEncodable(Currency amount, std::string_view label);

// The unit price Sum / Qty and the quantity Qty as currency, as the sale and refund
// commands take them: the quotient stays in extended precision up to the rounding to
// currency. Refuses a Qty of 0 ("Не указано количество (Колво = 0)") and figures that
// cannot be sent.
struct SaleFigures {
  Currency price;
  Currency quantity;
  Currency amount;  // Sum, as the journal records the line's amount
};
SaleFigures saleFigures(double qty, double sum);

// Refuses a Sum of 0 for a sale whose discount is computed as a share of Sum.
void requireNonZeroSum(double sum);

// The stored integer of the first money value of a sale reply, refused when 0: the
// discount is the share of it that was not charged.
std::int64_t saleGrossRaw(const Reply& reply);

// ---- Selling one line --------------------------------------------------------------------
// Every sale, debit and refund of the host operations sends its line through sellLine.

// The command that sells, or takes back, one line.
enum class LineCommand {
  Sale,                // tsSale: the transaction word and the request byte
  Debit,               // tsDebit, the request byte as its first byte
  DebitByTransaction,  // tsDebit, the low byte of TransactionNo as its first byte
  Refund,              // tsRefund: the transaction word, the request byte and the card block
  RefundReset,         // tsRefundReset: tsReset, then the fields of tsRefund
};

using CardBlockBytes = std::array<std::uint8_t, kCardBlockSize>;

// One line: the command, its request byte, the purse whose product row it carries, the
// figures (checked by the caller before anything was sent) and, sent by the refunds only,
// the card block.
struct SaleLine {
  LineCommand command = LineCommand::Sale;
  std::uint8_t requestByte = 0;
  std::uint8_t purse = 0;
  SaleFigures figures{};
  CardBlockBytes cardBlock{};
  // The card number's digits as the card read gave them, for the journal (a refund's
  // journal record takes them from its card block).
  std::string card{};
};

// Names the host operation under way (TSmartDriver::HostOperation) for the journal, for
// the life of the object. An operation that another one calls (DebitNonCash within
// CardQuantityEx, BonusSaleEx within BonusSale) keeps the outer name.
class NamedOperation {
 public:
  NamedOperation(TSmartDriver& driver, std::string_view name)
      : driver_(driver), outer_(driver.HostOperation.empty()) {
    if (outer_) {
      driver_.HostOperation = name;
      driver_.OperationOutcome = MoneyOutcome::kNone;
    }
  }
  // The outer operation ends here, its money outcome final: it is counted for the metrics.
  ~NamedOperation() {
    if (!outer_) return;
    driver_.HostOperation = {};
    driver_.Metrics.addMoneyOperation(driver_.OperationOutcome);
  }
  NamedOperation(const NamedOperation&) = delete;
  NamedOperation& operator=(const NamedOperation&) = delete;

 private:
  TSmartDriver& driver_;
  bool outer_;
};

// Adds the outcome of a money request the operation sent to OperationOutcome, which
// keeps the weightiest of them: unknown, then done, refused, not carried out. So an
// operation whose later request failed still tells that an earlier one moved money.
void noteMoneyOutcome(TSmartDriver& driver, link::RequestOutcome outcome);

// Inside the catch block of a money operation: gives the error its operation's outcome.
// The driver's money operations end in
//   catch (Exception& e) { ops::stampOutcome(*this, e); throw; }
inline void stampOutcome(const TSmartDriver& driver, Exception& error) noexcept {
  error.setOutcome(driver.OperationOutcome);
}

// The product row a line was sold with and the reply to its command.
struct SoldLine {
  TKodTovar product;
  Reply reply;
};

// Sells one line:
// - looks up the purse's product row; ProductOfPurse's error comes before anything is sent;
// - hands the row to announce, when given (the operations that log their attempt do it
//   there, so the line is written only for a product that exists);
// - sends the command through exchange: on an error, a reply code 0x01 of an unknown
//   outcome is first written to status. tsSale and the refunds carry transactionWord of
//   TransactionNo, read under the exchange lock;
// - advances TransactionNo once the command's frame went to the line, whatever came back
//   (the terminal may have recorded it under that number), and not when it never left;
// - writes "Результат операции неизвестен: ..." with the line's figures when the request
//   went out and its outcome is unknown (a lost reply, a final reply code 0x01);
// - status := the reply code, then CheckReaderReply of it, which throws on a refusal.
SoldLine sellLine(TSmartDriver& driver, std::uint8_t& status, const SaleLine& line,
                  const std::function<void(const TKodTovar&)>& announce = {});

// ---- Card information records ------------------------------------------------------------

// A card information record as CardInfo and CardQuantityEx start it, before the card is
// read: Status 0xFF, empty texts, every figure 0, and dates a year either side of now.
void resetCardInfo(TCardInfo* result);

// ---- Log lines ---------------------------------------------------------------------------

// A double as the log lines print it: the general number format with the user's decimal
// separator.
std::string numberText(double value);
// The same for a value kept in extended precision (the unit price Sum / Qty).
std::string numberText(long double value);

// The log lines a sale writes about its line start with saleLineHead: head, the card type,
// " ", the card number, " Кош: ", the purse, " " and the product's name.
std::string saleLineHead(std::string_view head, std::string_view cardType,
                         std::string_view cardNumber, std::uint8_t purse,
                         std::string_view productName);
// The attempt line: the head, then the unit price Sum / Qty in extended precision and Qty.
std::string attemptLine(const std::string& head, double qty, double sum);
// The result line: the head, then SummaSk, Skidka and CosteSK.
std::string resultLine(const std::string& head, double summaSk, double skidka, double costeSk);

}  // namespace vexcard::driver::ops
