// The nine card-side terminal commands: tsCloseSession, tsSelectPurse, tsQueryQuantity,
// tsSale, tsRefund, tsReadCard, tsQueryPurse, tsRefundReset and tsDebit.
//
// Members of TTerminalLink. Every request is laid out completely (money values encoded,
// the name converted) before SendCommand is called, so an argument that cannot be
// encoded throws with nothing sent and no packet index used. Multi-byte integers are
// little-endian.
#include <algorithm>
#include <array>
#include <span>
#include <string>

#include "link/command_table.h"
#include "link/terminal_link.h"
#include "link/wire_values.h"
#include "platform/codepage.h"

namespace vexcard::link {

namespace {

constexpr std::size_t kNameFieldSize = 12;
constexpr std::size_t kSaleSize = kTsSale.requestSize;
constexpr std::size_t kRefundSize = kTsRefund.requestSize;
constexpr std::size_t kQuantitySize = kTsQueryQuantity.requestSize;
static_assert(kRefundSize == kSaleSize + kCardBlockSize);
static_assert(kTsRefundReset.requestSize == kRefundSize);
static_assert(kTsDebit.requestSize == kQuantitySize);

void putLe16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}

void putLe32(std::uint8_t* at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) at[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// The 12-byte name field: the name in the OEM code page, cut to 12 bytes, zero-padded.
// The field must be zero on entry.
void putName(std::uint8_t* at, std::string_view name) {
  const std::string oem = ansiToOem(name);
  std::copy_n(oem.begin(), std::min(oem.size(), kNameFieldSize), at);
}

// Product code and name at `at`: 4 + 12 bytes.
void putProduct(std::uint8_t* at, std::int32_t productCode, std::string_view name) {
  putLe32(at, static_cast<std::uint32_t>(productCode));
  putName(at + 4, name);
}

// Offsets 1..31 shared by tsSale, tsRefund and tsRefundReset.
void putSaleFields(std::uint8_t* request, std::uint16_t transactionNo, std::uint8_t requestByte,
                   std::int32_t productCode, std::string_view name, Currency price,
                   Currency quantity, std::uint32_t requestTag) {
  putLe16(request + 1, transactionNo);
  request[3] = requestByte;
  putProduct(request + 4, productCode, name);
  putLe32(request + 20, EncodeMoney(price));
  putLe32(request + 24, EncodeMoney(quantity));
  putLe32(request + 28, requestTag);
}

std::array<std::uint8_t, kQuantitySize> quantityRequest(std::uint8_t code, std::uint8_t first,
                                                        std::int32_t productCode,
                                                        std::string_view name, Currency price,
                                                        Currency quantity) {
  std::array<std::uint8_t, kQuantitySize> request{};
  request[0] = code;
  request[1] = first;
  putProduct(&request[2], productCode, name);
  putLe32(&request[18], EncodeMoney(price));
  putLe32(&request[22], EncodeMoney(quantity));
  return request;
}

std::array<std::uint8_t, kRefundSize> refundRequest(
    std::uint8_t code, std::uint16_t transactionNo, std::uint8_t requestByte,
    std::int32_t productCode, std::string_view name, Currency price, Currency quantity,
    std::uint32_t requestTag, std::span<const std::uint8_t, kCardBlockSize> cardBlock) {
  std::array<std::uint8_t, kRefundSize> request{};
  request[0] = code;
  putSaleFields(request.data(), transactionNo, requestByte, productCode, name, price, quantity,
                requestTag);
  std::copy(cardBlock.begin(), cardBlock.end(), request.begin() + kSaleSize);
  return request;
}

}  // namespace

void TTerminalLink::tsCloseSession() {
  const std::array<std::uint8_t, kTsCloseSession.requestSize> request{kTsCloseSession.code};
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsReadCard() {
  const std::array<std::uint8_t, kTsReadCard.requestSize> request{kTsReadCard.code};
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsSelectPurse(std::uint8_t selector) {
  const std::array<std::uint8_t, kTsSelectPurse.requestSize> request{kTsSelectPurse.code, selector};
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsQueryPurse(std::uint8_t first, std::int32_t productCode,
                                 std::string_view name) {
  std::array<std::uint8_t, kTsQueryPurse.requestSize> request{};
  request[0] = kTsQueryPurse.code;
  request[1] = first;
  putProduct(&request[2], productCode, name);
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsQueryQuantity(std::uint8_t first, std::int32_t productCode,
                                    std::string_view name, Currency price, Currency quantity) {
  const auto request =
      quantityRequest(kTsQueryQuantity.code, first, productCode, name, price, quantity);
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsDebit(std::uint8_t first, std::int32_t productCode, std::string_view name,
                            Currency price, Currency quantity) {
  const auto request = quantityRequest(kTsDebit.code, first, productCode, name, price, quantity);
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsSale(std::uint16_t transactionNo, std::uint8_t requestByte,
                           std::int32_t productCode, std::string_view name, Currency price,
                           Currency quantity, std::uint32_t requestTag) {
  std::array<std::uint8_t, kSaleSize> request{};
  request[0] = kTsSale.code;
  putSaleFields(request.data(), transactionNo, requestByte, productCode, name, price, quantity,
                requestTag);
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsRefund(std::uint16_t transactionNo, std::uint8_t requestByte,
                             std::int32_t productCode, std::string_view name, Currency price,
                             Currency quantity, std::uint32_t requestTag,
                             std::span<const std::uint8_t, kCardBlockSize> cardBlock) {
  const auto request = refundRequest(kTsRefund.code, transactionNo, requestByte, productCode, name,
                                     price, quantity, requestTag, cardBlock);
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsRefundReset(std::uint16_t transactionNo, std::uint8_t requestByte,
                                  std::int32_t productCode, std::string_view name, Currency price,
                                  Currency quantity, std::uint32_t requestTag,
                                  std::span<const std::uint8_t, kCardBlockSize> cardBlock) {
  // The tsReset goes out first; the request is laid out after it (the host operations have
  // checked their figures before anything was sent).
  tsReset();
  const auto request = refundRequest(kTsRefundReset.code, transactionNo, requestByte, productCode,
                                     name, price, quantity, requestTag, cardBlock);
  sendOrRaise(request.data(), request.size());
}

}  // namespace vexcard::link
