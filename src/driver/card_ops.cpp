#include "driver/card_ops.h"

#include <cmath>

#include "link/wire_values.h"
#include "runtime/extended_math.h"
#include "link/status_texts.h"
#include "platform/codepage.h"
#include "platform/decimal_separator.h"
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

std::string numberText(double value) { return formatGeneral(value, platform::decimalSeparator()); }
std::string numberText(long double value) {
  return formatGeneral(value, platform::decimalSeparator());
}

}  // namespace vexcard::driver::ops
