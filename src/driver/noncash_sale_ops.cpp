// Non-cash card sale: SubSchetEx (slot 12), DebitNonCash (no slot of its own) and
// CardQuantityEx (slot 19). Host's thread only.
#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "driver/an_utils.h"
#include "driver/card_ops.h"
#include "driver/product_table.h"
#include "link/wire_values.h"
#include "logging/logger.h"
#include "platform/codepage.h"
#include "runtime/extended_math.h"
#include "vexcard/exception.h"

namespace vexcard::driver {

using namespace vexcard::literals;
using ops::LineCommand;
using ops::Reply;

namespace {

// The smallest quantity that SubSchetEx sells, as it compares it: the sale goes ahead only
// when |Qty - 0.0001| > 0.0001, both the constant and the difference in extended precision.
constexpr long double kQtyThreshold = 0.0001L;

bool saleGoesAhead(double qty) {
  return std::fabs(static_cast<long double>(qty) - kQtyThreshold) > kQtyThreshold;
}

// The record SubSchetEx and DebitNonCash start from, before their figures are checked:
// Status 0xFF, empty texts, no amount.
void startSaleRecord(TSaleResultEx* result) {
  result->Status = 0xFF;
  result->CardType.set("");
  result->CardNumber.set("");
  result->ExtraText.set("");
  result->Amount = 0.0;
  result->Word64 = 0;
  result->Word66 = 0;
}

// The card texts: the two status bytes in hexadecimal and the 20 digits of the number.
void fillCardTexts(TSaleResultEx* result, const Reply& card) {
  result->CardType.set(ops::hexByte(card.at(ops::kStatus1At)) +
                       ops::hexByte(card.at(ops::kStatus2At)));
  result->CardNumber.set(card.cardDigits());
}

[[noreturn]] void notNonCash() { throw Exception(std::string("Это не безналичная карта "_w1251)); }

// The share of the first money value (the sale before discount) that was not charged, in
// percent, in extended precision.
long double discountPercent(const Reply& sale, double summaSk) {
  const long double gross = static_cast<long double>(ops::saleGrossRaw(sale));
  return (gross - static_cast<long double>(summaSk) * 10000.0L) * 100.0L / gross;
}

// The head of SubSchetEx's lines, with the card texts as they stand in the record.
std::string lineHead(std::string_view head, const TSaleResultEx* result, std::uint8_t purse,
                     std::string_view productName) {
  return ops::saleLineHead(head, result->CardType.view(), result->CardNumber.view(), purse,
                           productName);
}

}  // namespace

void TSmartDriver::SubSchetEx(TSaleResultEx* result, std::uint8_t requestByte, std::uint8_t purse,
                              double qty, double sum) try {
  const ops::NamedOperation named(*this, "SubSchetEx");
  startSaleRecord(result);
  ops::requireFinite(qty, ops::qtyLabel());
  ops::requireFinite(sum, ops::sumLabel());
  const bool goesAhead = saleGoesAhead(qty);
  // A quantity that goes ahead must be one the terminal can be given: a negative one is
  // refused here instead of reaching the terminal.
  const ops::SaleFigures figures = goesAhead ? ops::saleFigures(qty, sum) : ops::SaleFigures{};
  // Its discount is a share of the sale's gross amount: a Sum of 0 would be charged at
  // price 0.00 and leave no discount to compute.
  if (goesAhead) ops::requireNonZeroSum(sum);

  logging::WriteLog(1, "SubSchetEx tsReadCard... ");
  const Reply card = ops::exchange(*this, result->Status, [this] { tsReadCard(); });
  logging::WriteLog(1, "SubSchetEx tsReadCard прошел "_w1251);
  ops::takeReplyCode(card, result->Status);
  fillCardTexts(result, card);
  if ((card.at(ops::kStatus2At) & 3) != 0) notNonCash();

  if (goesAhead) {
    const Reply sale =
        ops::sellLine(*this, result->Status,
                      ops::SaleLine{.command = LineCommand::Sale,
                                    .requestByte = requestByte,
                                    .purse = purse,
                                    .figures = figures,
                                    .cardBlock = {},
                                    .card = card.cardDigits()},
                      [&](const TKodTovar& product) {
                        logging::WriteLog(
                            1, ops::attemptLine(lineHead("Попытка продажи: карта "_w1251, result,
                                                         purse, product.name),
                                                qty, sum));
                      })
            .reply;

    const double third = sale.moneyAt(ops::kMoney3At);
    const double summaSk = sale.moneyAt(ops::kMoney2At);
    result->SummaSk = summaSk;
    result->Amount = static_cast<double>(static_cast<long double>(third) - summaSk);
    const auto block = sale.cardBlock();
    std::copy(block.begin(), block.end(), result->CardBlock);
    // Cut, not rounded, to one decimal.
    const double skidka = static_cast<double>(discountPercent(sale, summaSk));
    result->Skidka =
        static_cast<double>(std::trunc(static_cast<long double>(skidka) * 10.0L) / 10.0L);
    result->CosteSK = static_cast<double>(RoundDecimal(static_cast<long double>(summaSk) / qty, 2));
  }

  // Written in every case; when the sale was skipped the figures are what the record held.
  const TKodTovar product = ProductOfPurse(purse);
  logging::WriteLog(
      1, ops::resultLine(lineHead("Результат продажи: карта "_w1251, result, purse, product.name),
                         result->SummaSk, result->Skidka, result->CosteSK));
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

void TSmartDriver::DebitNonCash(std::uint8_t purse, double qty, double sum, TSaleResultEx* result,
                                std::uint8_t /*unused*/) try {
  const ops::NamedOperation named(*this, "DebitNonCash");
  startSaleRecord(result);
  ops::requireFinite(qty, ops::qtyLabel());
  ops::requireFinite(sum, ops::sumLabel());
  const ops::SaleFigures figures = qty > 0.0 ? ops::saleFigures(qty, sum) : ops::SaleFigures{};

  const Reply card = ops::exchangeAndCheck(*this, result->Status, [this] { tsReadCard(); });
  fillCardTexts(result, card);
  // Stricter than SubSchetEx: the whole second status byte must be 0.
  if (card.at(ops::kStatus2At) != 0) notNonCash();
  if (!(qty > 0.0)) return;

  const Reply debit = ops::sellLine(*this, result->Status,
                                    ops::SaleLine{.command = LineCommand::DebitByTransaction,
                                                  .requestByte = 0,
                                                  .purse = purse,
                                                  .figures = figures,
                                                  .cardBlock = {},
                                                  .card = card.cardDigits()})
                          .reply;
  result->Amount = debit.moneyAt(ops::kMoney3At);
  const double summaSk = debit.moneyAt(ops::kMoney2At);
  result->SummaSk = summaSk;
  // Rounded, ties to even, to one decimal.
  const double skidka = static_cast<double>(discountPercent(debit, summaSk));
  result->Skidka =
      static_cast<double>(roundHalfEven(static_cast<long double>(skidka) * 10.0L) / 10.0L);
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

void TSmartDriver::CardQuantityEx(TCardInfo* result, std::uint8_t purse, Currency* price) try {
  const ops::NamedOperation named(*this, "CardQuantityEx");
  ops::resetCardInfo(result);
  // The balance is divided by the price: a price of 0 (or none at all) is refused before
  // anything is sent, and so is a negative one, which no product has.
  if (price == nullptr) throw Exception(std::string("Не указана цена товара"_w1251));
  if (price->raw == 0) throw Exception(std::string("Не указана цена товара (Цена = 0)"_w1251));
  if (price->raw < 0) {
    throw Exception(std::string(ops::priceLabel()) +
                    std::string(" вне допустимого диапазона: "_w1251) + currencyText(*price));
  }

  const Reply card = ops::exchangeAndCheck(*this, result->Status, [this] { tsReadCard(); });
  result->CardType.set(BcdToDigits(card.at(ops::kStatus1At)) +
                       BcdToDigits(card.at(ops::kStatus2At)));
  // Digits 9 to 14 of the card number: bytes 27, 28 and 29.
  std::string digits;
  for (std::size_t at = ops::kCardNumberAt + 4; at < ops::kCardNumberAt + ops::kCardNumberSize;
       ++at) {
    digits = (digits + BcdToDigits(card.at(at))).substr(0, 6);
  }
  result->CardDigits.set(digits);

  // The quantity the balance pays for at the price, cut to hundredths.
  const long double balance = static_cast<long double>(card.currencyAt(ops::kMoney1At).raw);
  const long double unitPrice = static_cast<long double>(price->raw);
  result->Available = static_cast<double>(std::trunc(balance / unitPrice * 100.0L) / 100.0L);
  result->Available2 = result->Available;
  result->Status = 0xF0;

  // The discounted price, as the terminal quotes it for that quantity. Whatever fails here
  // is dropped: the host keeps the figures computed from the balance.
  try {
    TSaleResultEx quote{};
    const double available = result->Available;
    DebitNonCash(purse, available,
                 static_cast<double>(static_cast<long double>(available) * unitPrice / 10000.0L),
                 &quote, 1);
    if (available == 0.0) return;
    const long double quotient =
        static_cast<long double>(quote.SummaSk) / (available * unitPrice) * unitPrice;
    const long double discounted = roundHalfEven(quotient * 100.0L) / 100.0L;
    const long double discountedRaw = roundHalfEven(discounted * 10000.0L);
    if (!fitsInt64(discountedRaw)) return;
    *price = Currency::fromRaw(static_cast<std::int64_t>(discountedRaw));
    if (price->raw == 0) return;  // no quantity at a price of 0
    result->Available = static_cast<double>(
        std::trunc(static_cast<long double>(quote.Amount) / price->raw * 100.0L * 10000.0L) /
        100.0L);
    result->Available2 = result->Available;
  } catch (const std::exception&) {
    // Not logged: the record keeps the figures computed from the balance.
  }
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

}  // namespace vexcard::driver
