// Helpers shared by the host operations of the card subsystem (card_info_ops.cpp,
// bonus_sale_ops.cpp, noncash_sale_ops.cpp, shift_ops.cpp): taking a command's reply,
// reading its fields, the card texts, the checks of the host's figures and the numbers of
// the log lines.
//
// Everything here runs on the host's thread. The reply of a command is copied out of the
// driver while the exchange lock is still held, so a keep-alive poll can never come between
// a command and the reading of its reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

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
// its reply, both under the exchange lock. The command's errors pass through.
template <class Command>
Reply exchange(TSmartDriver& driver, Command&& command) {
  std::lock_guard<platform::RecursiveLock> hold(driver.ExchangeLock);
  command();
  Reply reply;
  reply.body = driver.ReplyData;
  return reply;
}

// exchange, then status := the reply code and CheckReaderReply: the step every card
// operation takes after a command whose reply it goes on to use.
template <class Command>
Reply exchangeAndCheck(TSmartDriver& driver, std::uint8_t& status, Command&& command);

// status := the reply code, then CheckReaderReply of it.
void takeReplyCode(const Reply& reply, std::uint8_t& status);

template <class Command>
Reply exchangeAndCheck(TSmartDriver& driver, std::uint8_t& status, Command&& command) {
  Reply reply = exchange(driver, std::forward<Command>(command));
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
};
SaleFigures saleFigures(double qty, double sum);

// Refuses a Sum of 0 for a sale whose discount is computed as a share of Sum.
void requireNonZeroSum(double sum);

// The stored integer of the first money value of a sale reply, refused when 0: the
// discount is the share of it that was not charged.
std::int64_t saleGrossRaw(const Reply& reply);

// ---- Log lines ---------------------------------------------------------------------------

// A double as the log lines print it: the general number format with the user's decimal
// separator.
std::string numberText(double value);
// The same for a value kept in extended precision (the unit price Sum / Qty).
std::string numberText(long double value);

}  // namespace vexcard::driver::ops
