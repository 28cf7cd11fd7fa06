#include "driver/card_ops.h"

#include <cmath>

#include "link/command_table.h"
#include "link/status_texts.h"
#include "link/wire_values.h"
#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/decimal_separator.h"
#include "runtime/extended_math.h"
#include "vexcard/exception.h"
#include "vexcard/runtime.h"

namespace vexcard::driver::ops {

using namespace vexcard::literals;

std::uint32_t Reply::wireAt(std::size_t offset) const {
  return static_cast<std::uint32_t>(body[offset]) |
         static_cast<std::uint32_t>(body[offset + 1]) << 8 |
         static_cast<std::uint32_t>(body[offset + 2]) << 16 |
         static_cast<std::uint32_t>(body[offset + 3]) << 24;
}

Currency Reply::currencyAt(std::size_t offset) const { return DecodeMoney(wireAt(offset)); }

double Reply::moneyAt(std::size_t offset) const { return toDouble(currencyAt(offset)); }

std::string Reply::cardDigits() const {
  std::string digits;
  digits.reserve(2 * kCardNumberSize);
  for (std::size_t k = 0; k < kCardNumberSize; ++k) digits += BcdToDigits(body[kCardNumberAt + k]);
  return digits;
}

void takeReplyCode(const Reply& reply, std::uint8_t& status) {
  status = reply.code();
  link::CheckReaderReply(status);
}

std::string hexByte(std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[b >> 4], kDigits[b & 0x0F]};
}

std::string_view qtyLabel() { return "Колво"_w1251; }
std::string_view sumLabel() { return "Сумма"_w1251; }
std::string_view priceLabel() { return "Цена"_w1251; }

void requireFinite(double value, std::string_view label) {
  if (std::isfinite(value)) return;
  throw Exception(std::string("Недопустимое значение: "_w1251) + std::string(label) + " = " +
                  formatGeneral(value));
}

void requireEncodable(Currency amount, std::string_view label) {
  try {
    (void)EncodeMoney(amount);
  } catch (const Exception&) {
    throw Exception(std::string(label) + std::string(" вне допустимого диапазона: "_w1251) +
                    currencyText(amount) + std::string(" (допустимо от 0 до 167772,15)"_w1251));
  }
}

SaleFigures saleFigures(double qty, double sum) {
  requireFinite(qty, qtyLabel());
  requireFinite(sum, sumLabel());
  if (qty == 0.0) throw Exception(std::string("Не указано количество (Колво = 0)"_w1251));
  const long double price = static_cast<long double>(sum) / static_cast<long double>(qty);
  // The quotient goes to currency without passing through a double.
  const long double scaled = roundHalfEven(price * 10000.0L);
  if (!fitsInt64(scaled)) {
    throw Exception(std::string(priceLabel()) + std::string(" вне допустимого диапазона: "_w1251) +
                    numberText(static_cast<double>(price)) +
                    std::string(" (допустимо от 0 до 167772,15)"_w1251));
  }
  SaleFigures figures;
  figures.price = Currency::fromRaw(static_cast<std::int64_t>(scaled));
  figures.quantity = currencyFromDouble(qty);
  figures.amount = currencyFromDouble(sum);
  requireEncodable(figures.quantity, qtyLabel());
  requireEncodable(figures.price, priceLabel());
  return figures;
}

void requireNonZeroSum(double sum) {
  if (sum == 0.0) throw Exception(std::string("Не указана сумма (Сумма = 0)"_w1251));
}

std::int64_t saleGrossRaw(const Reply& reply) {
  const std::int64_t gross = reply.currencyAt(kMoney1At).raw;
  if (gross == 0) {
    throw Exception(
        std::string("Терминал вернул нулевую сумму продажи: скидка не может быть вычислена"_w1251));
  }
  return gross;
}

namespace {

std::string_view commandName(LineCommand command) {
  switch (command) {
    case LineCommand::Sale:
      return link::kTsSale.name;
    case LineCommand::Debit:
    case LineCommand::DebitByTransaction:
      return link::kTsDebit.name;
    case LineCommand::Refund:
      return link::kTsRefund.name;
    case LineCommand::RefundReset:
      return link::kTsRefundReset.name;
  }
  return {};
}

// The line written for a money request that went to the terminal and whose outcome is
// unknown: what must be reconciled with the terminal's shift report.
std::string unknownOutcomeLine(const SaleLine& line, const TKodTovar& product,
                               std::int32_t transactionNo) {
  return std::string("Результат операции неизвестен: "_w1251) +
         std::string(commandName(line.command)) + std::string(" транзакция "_w1251) +
         std::to_string(static_cast<std::uint32_t>(transactionNo)) + std::string(" Кош: "_w1251) +
         std::to_string(line.purse) + " " + std::string(product.name) +
         std::string(" Цена: "_w1251) + numberText(toDouble(line.figures.price)) +
         std::string(" Колво: "_w1251) + numberText(toDouble(line.figures.quantity));
}

}  // namespace

namespace {

// The card of a line: a refund's is the one its card block names (its first ten bytes are
// the card number in BCD), a sale's the one its operation read.
std::string journalCard(const SaleLine& line) {
  if (line.command != LineCommand::Refund && line.command != LineCommand::RefundReset) {
    return line.card;
  }
  std::string digits;
  for (std::size_t k = 0; k < kCardNumberSize; ++k) digits += BcdToDigits(line.cardBlock[k]);
  return digits;
}

}  // namespace

void noteMoneyOutcome(TSmartDriver& driver, link::RequestOutcome outcome) {
  const auto weight = [](MoneyOutcome o) {
    switch (o) {
      case MoneyOutcome::kUnknown:
        return 4;
      case MoneyOutcome::kDone:
        return 3;
      case MoneyOutcome::kRefused:
        return 2;
      case MoneyOutcome::kNotCarriedOut:
        return 1;
      case MoneyOutcome::kNone:
        break;
    }
    return 0;
  };
  MoneyOutcome money = MoneyOutcome::kUnknown;
  switch (outcome) {
    case link::RequestOutcome::kDone:
      money = MoneyOutcome::kDone;
      break;
    case link::RequestOutcome::kRefused:
      money = MoneyOutcome::kRefused;
      break;
    case link::RequestOutcome::kNotCarriedOut:
      money = MoneyOutcome::kNotCarriedOut;
      break;
    case link::RequestOutcome::kUnknown:
      break;
  }
  if (weight(money) > weight(driver.OperationOutcome)) driver.OperationOutcome = money;
}

SoldLine sellLine(TSmartDriver& driver, std::uint8_t& status, const SaleLine& line,
                  const std::function<void(const TKodTovar&)>& announce) {
  SoldLine sold;
  sold.product = ProductOfPurse(line.purse);
  if (announce) announce(sold.product);
  const TKodTovar& product = sold.product;
  const SaleFigures& figures = line.figures;
  std::lock_guard<platform::RecursiveLock> hold(driver.ExchangeLock);
  driver.MoneyRequestWritten = false;
  // For the journal: what the link cannot read from the request itself.
  driver.NextMoneyRequest =
      link::JournalContext{std::string(driver.HostOperation), line.purse, std::string(product.name),
                           figures.amount, journalCard(line)};
  struct Forget {
    TSmartDriver& driver;
    ~Forget() { driver.NextMoneyRequest.reset(); }
  } forget{driver};
  driver.LastLineOutcome = link::RequestOutcome::kNotCarriedOut;
  try {
    sold.reply = exchange(driver, status, [&] {
      switch (line.command) {
        case LineCommand::Sale:
          driver.tsSale(transactionWord(driver.TransactionNo), line.requestByte, product.code,
                        product.name, figures.price, figures.quantity, kRequestTag);
          break;
        case LineCommand::Debit:
          driver.tsDebit(line.requestByte, product.code, product.name, figures.price,
                         figures.quantity);
          break;
        case LineCommand::DebitByTransaction:
          driver.tsDebit(static_cast<std::uint8_t>(driver.TransactionNo), product.code,
                         product.name, figures.price, figures.quantity);
          break;
        case LineCommand::Refund:
          driver.tsRefund(transactionWord(driver.TransactionNo), line.requestByte, product.code,
                          product.name, figures.price, figures.quantity, kRequestTag,
                          line.cardBlock);
          break;
        case LineCommand::RefundReset:
          driver.tsRefundReset(transactionWord(driver.TransactionNo), line.requestByte,
                               product.code, product.name, figures.price, figures.quantity,
                               kRequestTag, line.cardBlock);
          break;
      }
    });
  } catch (...) {
    // A request that reached the line may have been recorded by the terminal under its
    // transaction number, whatever came back: the next one must carry a new number.
    if (driver.MoneyRequestWritten) {
      driver.LastLineOutcome = driver.LastOutcome;
      if (driver.LastOutcome == link::RequestOutcome::kUnknown) {
        logging::WriteLog(1, unknownOutcomeLine(line, product, driver.TransactionNo));
      }
      driver.TransactionNo = nextTransaction(driver.TransactionNo);
    }
    noteMoneyOutcome(driver, driver.LastLineOutcome);
    throw;
  }
  driver.LastLineOutcome = driver.LastOutcome;
  noteMoneyOutcome(driver, driver.LastLineOutcome);
  driver.TransactionNo = nextTransaction(driver.TransactionNo);
  takeReplyCode(sold.reply, status);
  return sold;
}

void resetCardInfo(TCardInfo* result) {
  result->Status = 0xFF;
  result->CardType.set("");
  result->CardDigits.set("");
  result->Available = 0.0;
  result->Zero40 = 0.0;
  result->Zero48 = 0.0;
  result->Available2 = 0.0;
  result->DateFrom = platform::nowOle() - 365.0;
  result->DateTo = platform::nowOle() + 365.0;
}

std::string numberText(double value) { return formatGeneral(value, platform::decimalSeparator()); }
std::string numberText(long double value) {
  return formatGeneral(value, platform::decimalSeparator());
}

std::string saleLineHead(std::string_view head, std::string_view cardType,
                         std::string_view cardNumber, std::uint8_t purse,
                         std::string_view productName) {
  return std::string(head) + std::string(cardType) + " " + std::string(cardNumber) +
         std::string(" Кош: "_w1251) + std::to_string(purse) + " " + std::string(productName);
}

std::string attemptLine(const std::string& head, double qty, double sum) {
  const long double unitPrice = static_cast<long double>(sum) / qty;
  return head + std::string(" Цена: "_w1251) + numberText(unitPrice) +
         std::string(" Колво: "_w1251) + numberText(qty);
}

std::string resultLine(const std::string& head, double summaSk, double skidka, double costeSk) {
  return head + " SummaSk: " + numberText(summaSk) + " Skidka: " + numberText(skidka) +
         " CosteSK: " + numberText(costeSk);
}

}  // namespace vexcard::driver::ops
