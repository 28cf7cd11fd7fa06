// Bonus-card sale and refund: BonusSaleEx (slot 22), BonusSaleExStr (slot 28), SubSchet
// (slot 4) and RefundSale (slot 15). Host's thread only.
//
// The host's figures are checked before anything is sent (card_ops.h): a refund, and a sale
// that goes ahead, need a Qty other than 0 and a price and quantity the terminal can be
// given; a sale also needs a Sum other than 0, since its discount is a share of it.
#include <algorithm>
#include <array>
#include <exception>
#include <string>

#include "driver/card_ops.h"
#include "driver/product_table.h"
#include "link/wire_values.h"
#include "logging/logger.h"
#include "platform/codepage.h"
#include "runtime/extended_math.h"
#include "vexcard/exception.h"

namespace vexcard::driver {

using namespace vexcard::literals;
using ops::CardBlockBytes;
using ops::LineCommand;
using ops::Reply;

namespace {

constexpr char kModeRefund = '+';
constexpr char kModeDebit = 'M';
constexpr std::uint8_t kBonusRequestByte = 1;

// The block a refund sends: the first 79 elements of the host's array when it has that
// many, otherwise 79 zero bytes.
CardBlockBytes refundBlock(const std::uint8_t* block, std::int32_t high) {
  CardBlockBytes bytes{};
  if (block != nullptr && high >= static_cast<std::int32_t>(kCardBlockSize) - 1) {
    std::copy_n(block, kCardBlockSize, bytes.begin());
  }
  return bytes;
}

// ---- The two result records of the bonus sale -------------------------------------------
// TBonusResult holds the card texts as short strings cut to 4 and 16 characters;
// TBonusResultStr as long strings, never cut, assigned through the runtime.

constexpr std::size_t kShortTypeLength = 4;
constexpr std::size_t kShortNumberLength = 16;

void setCardTexts(TBonusResult* result, std::string_view type, std::string_view number) {
  result->CardType.set(type);
  result->CardNumber.set(number);
}
void setCardTexts(TBonusResultStr* result, std::string_view type, std::string_view number) {
  longStrAssign(result->CardType, type);
  longStrAssign(result->CardNumber, number);
}

std::string cardTypeView(const TBonusResult* result) {
  return std::string(result->CardType.view());
}
std::string cardTypeView(const TBonusResultStr* result) {
  return std::string(longStrView(result->CardType));
}
std::string cardNumberView(const TBonusResult* result) {
  return std::string(result->CardNumber.view());
}
std::string cardNumberView(const TBonusResultStr* result) {
  return std::string(longStrView(result->CardNumber));
}

// "1" and the card's two status bytes in hexadecimal; "2" and the card number. The short
// record keeps the first characters after each append, which comes to the first 4 and 16
// of the whole texts: "1" with three digits and "2" with fifteen. (The texts are appended
// to a named string: a literal + temporary string sets off a false -Wrestrict in GCC 12.)
std::string cardTypeText(const Reply& card) {
  std::string type = "1";
  type += ops::hexByte(card.at(ops::kStatus1At));
  type += ops::hexByte(card.at(ops::kStatus2At));
  return type;
}
std::string cardNumberText(const Reply& card) {
  std::string number = "2";
  number += card.cardDigits();
  return number;
}

void fillCardTexts(TBonusResult* result, const Reply& card) {
  setCardTexts(result, cardTypeText(card).substr(0, kShortTypeLength),
               cardNumberText(card).substr(0, kShortNumberLength));
}
void fillCardTexts(TBonusResultStr* result, const Reply& card) {
  setCardTexts(result, cardTypeText(card), cardNumberText(card));
}

// The head of the lines of a bonus sale ("ЗВК, попытка продажи: ..." and "ЗВК, результат
// продажи: ..."), with the card texts as they stand in the record.
template <class Record>
std::string saleLineHead(std::string_view head, const Record* result, std::uint8_t purse,
                         std::string_view productName) {
  return ops::saleLineHead(head, cardTypeView(result), cardNumberView(result), purse, productName);
}

// A refund of the bonus sale, tsRefund or (to compensate one that failed) tsRefundReset,
// with the block refundBlock makes of the host's array.
void bonusRefundLine(TSmartDriver& driver, std::uint8_t& status, LineCommand command,
                     std::uint8_t purse, const ops::SaleFigures& figures, const std::uint8_t* block,
                     std::int32_t high) {
  ops::sellLine(driver, status,
                ops::SaleLine{.command = command,
                              .requestByte = kBonusRequestByte,
                              .purse = purse,
                              .figures = figures,
                              .cardBlock = refundBlock(block, high)});
}

// Reads the card, which must be a bonus card, and sells the line (or takes it back, for a
// refund). The caller compensates a refund that fails.
template <class Record>
void sellBonusLine(TSmartDriver& driver, Record* result, char mode, std::uint8_t purse, double qty,
                   double sum, const ops::SaleFigures& figures, std::uint8_t* block,
                   std::int32_t high) {
  logging::WriteLog(1, "ЗВК tsReadCard... "_w1251);
  const Reply card = ops::exchange(driver, result->Status, [&] { driver.tsReadCard(); });
  logging::WriteLog(1, "ЗВК tsReadCard прошел "_w1251);
  ops::takeReplyCode(card, result->Status);
  fillCardTexts(result, card);
  if ((card.at(ops::kStatus2At) & 3) != 1) {
    throw Exception(std::string("Это не БОНУС-карта"_w1251));
  }

  if (mode == kModeRefund) {
    bonusRefundLine(driver, result->Status, LineCommand::Refund, purse, figures, block, high);
    return;
  }
  if (!(qty > 0.0)) return;

  const ops::SoldLine sold = ops::sellLine(
      driver, result->Status,
      ops::SaleLine{.command = mode == kModeDebit ? LineCommand::Debit : LineCommand::Sale,
                    .requestByte = kBonusRequestByte,
                    .purse = purse,
                    .figures = figures,
                    .cardBlock = {},
                    .card = card.cardDigits()},
      [&](const TKodTovar& product) {
        logging::WriteLog(1, ops::attemptLine(saleLineHead("ЗВК, попытка продажи: карта "_w1251,
                                                           result, purse, product.name),
                                              qty, sum));
      });
  const Reply& sale = sold.reply;

  const double summaSk = sale.moneyAt(ops::kMoney2At);
  result->SummaSk = summaSk;
  result->CosteSK =
      static_cast<double>(roundHalfEven(static_cast<long double>(summaSk) / qty * 100.0L) / 100.0L);
  result->Skidka = static_cast<double>((1.0L - static_cast<long double>(summaSk) / sum) * 100.0L);
  result->Incomplete = 0;
  if (block != nullptr && high >= static_cast<std::int32_t>(kCardBlockSize) - 1) {
    const auto bytes = sale.cardBlock();
    std::copy(bytes.begin(), bytes.end(), block);
  }
  logging::WriteLog(1, ops::resultLine(saleLineHead("ЗВК, результат продажи: карта "_w1251, result,
                                                    purse, sold.product.name),
                                       result->SummaSk, result->Skidka, result->CosteSK));
}

template <class Record>
void bonusSale(TSmartDriver& driver, Record* result, char mode, std::uint8_t purse, double qty,
               double sum, std::uint8_t* block, std::int32_t high) {
  result->Status = 0xFF;
  setCardTexts(result, "1", "2");

  // Figures are checked before anything is sent. A sale with Qty 0 or below sends nothing
  // after reading the card, so nothing is asked of its figures but to be numbers.
  ops::requireFinite(qty, ops::qtyLabel());
  ops::requireFinite(sum, ops::sumLabel());
  ops::SaleFigures figures{};
  if (mode == kModeRefund || qty > 0.0) figures = ops::saleFigures(qty, sum);
  if (mode != kModeRefund && qty > 0.0) ops::requireNonZeroSum(sum);

  driver.LastLineOutcome = link::RequestOutcome::kNotCarriedOut;
  try {
    sellBonusLine(driver, result, mode, purse, qty, sum, figures, block, high);
  } catch (...) {
    if (mode != kModeRefund) throw;
    // A refund whose request reached the terminal with an unknown outcome may have been
    // made already: a compensating refund could pay it out twice, so the failure stands
    // (with Status 0x01 when the terminal answered so).
    if (driver.LastLineOutcome == link::RequestOutcome::kUnknown) throw;
    // A refund that failed anywhere else is reset at the terminal; when that succeeds the
    // first error is dropped. An error of the compensation itself reaches the host.
    bonusRefundLine(driver, result->Status, LineCommand::RefundReset, purse, figures, block, high);
  }
}

}  // namespace

void TSmartDriver::BonusSaleEx(TBonusResult* result, char mode, std::uint8_t purse, double qty,
                               double sum, LongStrHandle /*text1*/, LongStrHandle /*text2*/,
                               LongStrHandle /*text3*/, std::uint8_t* block,
                               std::int32_t blockHigh) try {
  const ops::NamedOperation named(*this, "BonusSaleEx");
  bonusSale(*this, result, mode, purse, qty, sum, block, blockHigh);
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

void TSmartDriver::BonusSaleExStr(TBonusResultStr* result, char mode, std::uint8_t purse,
                                  double qty, double sum, LongStrHandle /*text1*/,
                                  LongStrHandle /*text2*/, LongStrHandle /*text3*/,
                                  std::uint8_t* block, std::int32_t blockHigh) try {
  const ops::NamedOperation named(*this, "BonusSaleExStr");
  bonusSale(*this, result, mode, purse, qty, sum, block, blockHigh);
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

void TSmartDriver::SubSchet(TSaleResult* result, std::uint8_t purse, double qty, double sum) try {
  const ops::NamedOperation named(*this, "SubSchet");
  result->Status = 0xFF;
  result->CardPrefix.set("");
  result->CardNumber.set("");
  result->ExtraText.set("");
  result->Amount = 0.0;
  result->Word56 = 0;
  result->Word58 = 0;
  const ops::SaleFigures figures = ops::saleFigures(qty, sum);

  const Reply card = ops::exchangeAndCheck(*this, result->Status, [this] { tsReadCard(); });
  const std::string digits = card.cardDigits();
  result->CardPrefix.set(std::string_view(digits).substr(0, 4));
  result->CardNumber.set(std::string_view(digits).substr(4, 16));

  const Reply sale = ops::sellLine(*this, result->Status,
                                   ops::SaleLine{.command = LineCommand::Sale,
                                                 .requestByte = kBonusRequestByte,
                                                 .purse = purse,
                                                 .figures = figures,
                                                 .cardBlock = {},
                                                 .card = digits})
                         .reply;
  // Third money value minus the second, the third first stored as a double.
  const double third = sale.moneyAt(ops::kMoney3At);
  result->Amount = static_cast<double>(
      (static_cast<long double>(third) * 10000.0L - sale.currencyAt(ops::kMoney2At).raw) /
      10000.0L);
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

void TSmartDriver::RefundSale(std::uint8_t* resultStatus, std::uint8_t requestByte,
                              LongStrHandle /*text1*/, LongStrHandle /*text2*/,
                              const std::uint8_t* block, std::int32_t blockHigh, std::uint8_t purse,
                              double qty, double sum, std::uint8_t useReset) try {
  const ops::NamedOperation named(*this, "RefundSale");
  // The host passes at least 79 bytes; a shorter array is padded with zero bytes.
  CardBlockBytes cardBlock{};
  if (block != nullptr && blockHigh >= 0) {
    std::copy_n(block,
                std::min<std::size_t>(static_cast<std::size_t>(blockHigh) + 1, kCardBlockSize),
                cardBlock.begin());
  }
  const ops::SaleFigures figures = ops::saleFigures(qty, sum);
  ops::sellLine(
      *this, *resultStatus,
      ops::SaleLine{.command = useReset == 0 ? LineCommand::Refund : LineCommand::RefundReset,
                    .requestByte = requestByte,
                    .purse = purse,
                    .figures = figures,
                    .cardBlock = cardBlock});
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

}  // namespace vexcard::driver
