// Card information and purse operations: CardInfo (slot 7), OilLimit (slot 9), OpenPurse
// (slot 16) and ItemLimit (slot 17). They look at the card without charging it and write no
// log line. Host's thread only.
#include <algorithm>
#include <cmath>
#include <string>

#include "driver/card_ops.h"
#include "driver/product_table.h"
#include "link/wire_values.h"
#include "platform/codepage.h"
#include "platform/timing.h"
#include "runtime/extended_math.h"
#include "vexcard/exception.h"

namespace vexcard::driver {

using namespace vexcard::literals;
using ops::Reply;
using timing::Delay;

namespace {

constexpr std::size_t kItemSlots = sizeof(TItemList::Items) / sizeof(TItemRequest);

// OilLimit asks how much of its product the card pays at this price and up to this
// quantity: 2.30 and 900.00.
constexpr Currency kOilLimitPrice = Currency::fromRaw(23000);
constexpr Currency kOilLimitQuantity = Currency::fromRaw(9000000);

// CardInfo reads its card type text (four hexadecimal digits) as a decimal number.
constexpr std::uint8_t kStatusBonusCard = 0xF0;
constexpr std::uint8_t kStatusBonusCard200 = 0xF1;

// The text as a decimal integer, as the runtime's string-to-integer conversion reads it;
// EConvertError for anything that is not one.
std::int64_t decimalInteger(const std::string& text) {
  const bool digits =
      !text.empty() && text.size() <= 9 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits) throw EConvertError("'" + text + "' is not a valid integer value");
  return std::stoll(text);
}

// CardPrefix and CardNumber of a purse record: digits 1..4 and 5..20 of the card number.
void setPurseCardTexts(TPurseInfo* result, const Reply& card) {
  const std::string digits = card.cardDigits();
  result->CardPrefix.set(std::string_view(digits).substr(0, 4));
  result->CardNumber.set(std::string_view(digits).substr(4, 16));
}

// The record OilLimit and OpenPurse start from, before the card is read: Status 0xFF and
// empty card texts.
void startPurseRecord(TPurseInfo* result) {
  result->Status = 0xFF;
  result->CardPrefix.set("");
  result->CardNumber.set("");
}

// An item's requested quantity as currency (× 10 000, rounded half to even), refused when
// it is not a number or cannot be sent.
Currency itemQuantity(const TItemRequest& item, std::size_t index) {
  const Extended80 qtyBytes = item.Qty;
  const long double qty = extendedToLongDouble(qtyBytes);
  const std::string label =
      std::string(ops::qtyLabel()) + std::string(" товара "_w1251) + std::to_string(index);
  if (!std::isfinite(qty)) {
    throw Exception(std::string("Недопустимое значение: "_w1251) + label + " = " +
                    formatGeneral(static_cast<double>(qty)));
  }
  const long double scaled = roundHalfEven(qty * 10000.0L);
  if (!fitsInt64(scaled)) {
    throw Exception(label + std::string(" вне допустимого диапазона: "_w1251) +
                    ops::numberText(static_cast<double>(qty)) +
                    std::string(" (допустимо от 0 до 167772,15)"_w1251));
  }
  const Currency quantity = Currency::fromRaw(static_cast<std::int64_t>(scaled));
  ops::requireEncodable(quantity, label);
  return quantity;
}

}  // namespace

void TSmartDriver::CardInfo(TCardInfo* result, std::uint32_t /*ignored*/) {
  ops::resetCardInfo(result);

  const Reply card = ops::exchangeAndCheck(*this, result->Status, [this] { tsReadCard(); });
  const std::string cardType =
      ops::hexByte(card.at(ops::kStatus1At)) + ops::hexByte(card.at(ops::kStatus2At));
  result->CardType.set(cardType);
  result->CardDigits.set(std::string_view(card.cardDigits()).substr(0, 6));
  result->Available = card.moneyAt(ops::kMoney1At);
  result->Available2 = result->Available;

  // The hexadecimal text is read as a decimal number: 00 00, 01 00 and 02 00 give 0, 100
  // and 200; a status byte with a digit A to F makes it no number at all.
  const std::int64_t kind = decimalInteger(cardType);
  if (kind == 0 || kind == 100) {
    result->Status = kStatusBonusCard;
  } else if (kind == 200) {
    result->Status = kStatusBonusCard200;
  }
}

void TSmartDriver::OilLimit(TPurseInfo* result) {
  startPurseRecord(result);
  const Reply card = ops::exchangeAndCheck(*this, result->Status, [this] { tsReadCard(); });
  setPurseCardTexts(result, card);

  timing::sleep(Delay::kPace500);
  const Reply purse =
      ops::exchangeAndCheck(*this, result->Status, [this] { tsSelectPurse(Command06Param); });
  result->PurseHandle = purse.at(ops::kByteAt11);

  timing::sleep(Delay::kPace500);
  const TKodTovar oil = ProductOfPurse(1);
  const Reply found = ops::exchangeAndCheck(
      *this, result->Status, [&] { tsQueryPurse(result->PurseHandle, oil.code, oil.name); });
  result->PurseNo = found.at(ops::kByteAt11);

  timing::sleep(Delay::kPace500);
  // 0 raises "Не указан код товара (кошелек = 0)"; numbers above 48 have no row either.
  const TKodTovar product = ProductOfPurse(result->PurseNo);
  const Reply allowed = ops::exchangeAndCheck(*this, result->Status, [&] {
    tsQueryQuantity(result->PurseHandle, product.code, product.name, kOilLimitPrice,
                    kOilLimitQuantity);
  });
  result->AllowedQty = allowed.moneyAt(ops::kMoney1At);
}

void TSmartDriver::OpenPurse(TPurseInfo* result, std::uint8_t selector) {
  startPurseRecord(result);
  const Reply card = ops::exchangeAndCheck(*this, result->Status, [this] { tsReadCard(); });
  setPurseCardTexts(result, card);

  timing::sleep(Delay::kPace500);
  // A purse the terminal will not select ends the card session; the host sees the refusal
  // in Status, with PurseHandle as it passed it, and no error.
  try {
    const Reply purse =
        ops::exchangeAndCheck(*this, result->Status, [&] { tsSelectPurse(selector); });
    result->PurseHandle = purse.at(ops::kByteAt11);
  } catch (const std::exception&) {
    try {
      tsCloseSession();
    } catch (const std::exception&) {
      // The session ends with the card anyway; nothing more can be done about it here.
    }
  }
  timing::sleep(Delay::kPace400);
}

void TSmartDriver::ItemLimit(TPurseInfo* result, std::uint32_t /*ignored*/,
                             const TItemList& items) {
  result->Status = 0xFF;
  result->CardPrefix.set("");
  result->CardNumber.set("");
  result->PurseNo = 0;

  // The items in use: Count of them, item 1 alone for a Count of 0. A Count above 8 names
  // items the list does not hold and is refused before anything is sent. Each item is
  // looked up as the loop reaches it, and only the chosen one's price and quantity are
  // checked (before its tsQueryQuantity): items after the first with a purse do not matter.
  const std::uint8_t count = items.Count;
  if (count > kItemSlots) {
    throw Exception(std::string("Неверное число товаров в списке: "_w1251) + std::to_string(count) +
                    std::string(" (допустимо от 0 до 8)"_w1251));
  }
  const std::size_t inUse = std::max<std::size_t>(count, 1);

  // Each item in use is asked about once; when none of them has a purse on the card, asking
  // again would only repeat the same answers.
  std::size_t i = 0;  // 1-based, as ItemIndex reports it
  std::size_t asked = 0;
  while (result->PurseNo == 0) {
    if (asked == inUse) {
      throw Exception(std::string("Ни для одного товара из списка на карте нет кошелька"_w1251));
    }
    i = i + 1 > inUse ? 1 : i + 1;
    const TItemRequest item = items.Items[i - 1];
    const TKodTovar product = ProductOfPurse(item.Purse);
    const Reply found = ops::exchangeAndCheck(*this, result->Status, [&] {
      tsQueryPurse(result->PurseHandle, product.code, product.name);
    });
    ++asked;
    if (found.at(ops::kByteAt11) != 0) result->PurseNo = static_cast<std::uint8_t>(item.Purse);
  }

  timing::sleep(Delay::kPace500);
  const TItemRequest chosen = items.Items[i - 1];
  const TKodTovar product = ProductOfPurse(result->PurseNo);
  ops::requireEncodable(chosen.Price, std::string(ops::priceLabel()) +
                                          std::string(" товара "_w1251) + std::to_string(i));
  const Currency quantity = itemQuantity(chosen, i);
  const Reply allowed = ops::exchangeAndCheck(*this, result->Status, [&] {
    tsQueryQuantity(result->PurseHandle, product.code, product.name, chosen.Price, quantity);
  });
  result->AllowedQty = allowed.moneyAt(ops::kMoney1At);
  result->Done = 1;
  result->AllowedSum = static_cast<double>(static_cast<long double>(chosen.Price.raw) / 10000.0L *
                                           result->AllowedQty);
  result->ItemIndex = static_cast<double>(i);
  timing::sleep(Delay::kPace300);
}

}  // namespace vexcard::driver
