#include "terminal-sim/terminal_model.h"

#include <algorithm>
#include <cstring>

#include "vexcard/exception.h"

namespace vexcard::sim {

namespace {

constexpr std::size_t kErrorReplySize = 5;
constexpr std::size_t kPurseReplySize = 12;
constexpr std::size_t kQuantityReplySize = 15;
constexpr std::size_t kReadCardReplySize = 35;
constexpr std::size_t kSaleReplySize = 102;
constexpr std::size_t kRefundReplySize = 19;
// Price and quantity are refused above this many hundredths (one million), so that the
// amount and its discount stay far inside 64 bits.
constexpr std::int64_t kMaxFactor = 100'000'000;

std::int32_t readInt32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | (std::uint32_t{p[1]} << 8) |
                                   (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24));
}

void writeInt(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

bool isShiftCommand(std::uint8_t command) {
  return command == cmd::tsReset || command == cmd::tsOpenShift || command == cmd::tsCloseShift ||
         command == cmd::tsResumeShift;
}

// Where the product code, price and quantity sit in tsSale/tsRefund and in tsDebit.
struct SaleLayout {
  std::size_t code, price, quantity;
};
constexpr SaleLayout kSaleLayout{4, 20, 24};
constexpr SaleLayout kDebitLayout{2, 18, 22};

}  // namespace

std::optional<std::size_t> commandLength(std::uint8_t command) {
  switch (command) {
    case cmd::tsReset:
      return 2;
    case cmd::tsCloseSession:
      return 1;
    case cmd::tsOpenShift:
      return 14;
    case cmd::tsCloseShift:
      return 1;
    case cmd::tsResumeShift:
      return 1;
    case cmd::tsSelectPurse:
      return 2;
    case cmd::tsQueryQuantity:
      return 26;
    case cmd::tsSale:
      return 32;
    case cmd::tsRefund:
      return 111;
    case cmd::tsReadCard:
      return 1;
    case cmd::tsQueryPurse:
      return 18;
    case cmd::tsRefundReset:
      return 111;
    case cmd::tsDebit:
      return 26;
    default:
      return std::nullopt;
  }
}

TerminalModel::TerminalModel(const SimulatorConfig& config) {
  for (const SimCard& c : config.cards) addCard(c);
  if (!config.insertedCard.empty() && !insertCard(config.insertedCard)) {
    throw Exception("simulator: the inserted card '" + config.insertedCard + "' is not defined");
  }
  setShift(config.shiftOpen, config.shiftNo);
  shiftCheck_ = config.shiftCheck;
  // Sales of an earlier run that can still be refunded; new sales number on after them.
  for (const SimSale& k : config.sales) {
    if (card(k.cardName) == nullptr || k.block.size() != kCardBlockSize) {
      throw Exception(std::string("simulator: the sale ")
                          .append(std::to_string(k.id))
                          .append(" on record is not valid"));
    }
    SaleRecord s;
    s.id = k.id;
    s.cardName = k.cardName;
    s.charged = k.charged;
    std::copy(k.block.begin(), k.block.end(), s.block.begin());
    sales_.push_back(s);
    nextSaleId_ = std::max(nextSaleId_, k.id + 1);
  }
}

void TerminalModel::addCard(const SimCard& card) {
  for (const SimCard& c : cards_) {
    if (c.name == card.name) throw Exception("simulator: card '" + card.name + "' exists");
    if (c.number == card.number)
      throw Exception("simulator: card number of '" + card.name + "' is taken");
  }
  cards_.push_back(card);
}

bool TerminalModel::insertCard(const std::string& name) {
  for (std::size_t i = 0; i < cards_.size(); ++i) {
    if (cards_[i].name == name) {
      if (inserted_ != i) session_ = false;
      inserted_ = i;
      return true;
    }
  }
  return false;
}

void TerminalModel::removeCard() {
  inserted_.reset();
  session_ = false;
}

const SimCard* TerminalModel::card(const std::string& name) const {
  for (const SimCard& c : cards_) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

SimCard* TerminalModel::card(const std::string& name) {
  for (SimCard& c : cards_) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

const SimCard* TerminalModel::insertedCard() const {
  return inserted_ ? &cards_[*inserted_] : nullptr;
}

SimCard* TerminalModel::inserted() { return inserted_ ? &cards_[*inserted_] : nullptr; }

void TerminalModel::setShift(bool open, std::uint8_t number) {
  shift_.open = open;
  shift_.number = open ? number : 0;
  shift_.inStep = true;
}

void TerminalModel::setShiftOutOfStep() { shift_.inStep = false; }

Bytes TerminalModel::reply(std::uint8_t packetIndex, std::uint8_t command, std::size_t size) const {
  Bytes body(size, 0);
  body[0] = packetIndex;
  body[1] = command;
  body[2] = code::kDone;
  body[4] = shift_.open ? shift_.number : 0;
  return body;
}

Bytes TerminalModel::errorReply(std::uint8_t packetIndex, std::uint8_t command, std::uint8_t rc,
                                std::optional<std::uint8_t> shiftByte) const {
  Bytes body = reply(packetIndex, command, kErrorReplySize);
  body[2] = rc;
  if (shiftByte) body[4] = *shiftByte;
  return body;
}

Bytes TerminalModel::execute(std::uint8_t idx, std::span<const std::uint8_t> c) {
  if (c.empty()) return errorReply(idx, 0, code::kUnknownCommand);
  const std::uint8_t command = c[0];
  const auto length = commandLength(command);
  if (!length || *length != c.size()) return errorReply(idx, command, code::kUnknownCommand);
  if (shiftCheck_ && !isShiftCommand(command) && (!shift_.open || !shift_.inStep)) {
    return errorReply(idx, command, code::kShiftOutOfStep);
  }
  switch (command) {
    case cmd::tsReset:
      return reply(idx, command, kErrorReplySize);
    case cmd::tsCloseSession:
      session_ = false;
      return reply(idx, command, kErrorReplySize);
    case cmd::tsOpenShift:
    case cmd::tsCloseShift:
    case cmd::tsResumeShift:
      return shiftCommand(idx, c);
    case cmd::tsReadCard:
      return readCard(idx, c);
    case cmd::tsSelectPurse:
      return selectPurse(idx, c);
    case cmd::tsQueryPurse:
      return queryPurse(idx, c);
    case cmd::tsQueryQuantity:
      return queryQuantity(idx, c);
    case cmd::tsSale:
    case cmd::tsDebit:
      return sale(idx, c);
    case cmd::tsRefund:
    case cmd::tsRefundReset:
      return refund(idx, c);
    default:
      return errorReply(idx, command, code::kUnknownCommand);
  }
}

Bytes TerminalModel::shiftCommand(std::uint8_t idx, std::span<const std::uint8_t> c) {
  switch (c[0]) {
    case cmd::tsOpenShift:
      if (shift_.open) return errorReply(idx, c[0], code::kShiftOpen);
      shift_.open = true;
      shift_.inStep = true;
      shift_.number = c[13];
      std::copy_n(c.begin() + 1, 6, shift_.openedAt.begin());
      std::copy_n(c.begin() + 7, 6, shift_.shiftDate.begin());
      break;
    case cmd::tsCloseShift:
      if (!shift_.open) return errorReply(idx, c[0], code::kShiftClosed);
      shift_.open = false;
      shift_.number = 0;
      shift_.inStep = true;
      break;
    default:  // tsResumeShift
      if (!shift_.open) return errorReply(idx, c[0], code::kShiftClosed);
      shift_.inStep = true;
      break;
  }
  return reply(idx, c[0], kErrorReplySize);
}

Bytes TerminalModel::readCard(std::uint8_t idx, std::span<const std::uint8_t> c) {
  const SimCard* card = inserted();
  if (card == nullptr) return errorReply(idx, c[0], code::kNoCard);
  if (card->blocked) return errorReply(idx, c[0], code::kCardBlocked);
  Bytes body = reply(idx, c[0], kReadCardReplySize);
  encodeMoney(card->balance, &body[11]);
  std::copy(card->number.begin(), card->number.end(), body.begin() + 23);
  body[33] = card->status1;
  body[34] = card->status2;
  return body;
}

Bytes TerminalModel::selectPurse(std::uint8_t idx, std::span<const std::uint8_t> c) {
  const SimCard* card = inserted();
  if (card == nullptr) return errorReply(idx, c[0], code::kNoCard);
  if (card->blocked) return errorReply(idx, c[0], code::kCardBlocked);
  handle_ = nextHandle_;
  nextHandle_ = static_cast<std::uint8_t>(nextHandle_ == 255 ? 1 : nextHandle_ + 1);
  session_ = true;
  Bytes body = reply(idx, c[0], kPurseReplySize);
  body[11] = handle_;
  return body;
}

Bytes TerminalModel::queryPurse(std::uint8_t idx, std::span<const std::uint8_t> c) {
  const SimCard* card = inserted();
  if (card == nullptr) return errorReply(idx, c[0], code::kNoCard);
  if (!session_ || c[1] != handle_) return errorReply(idx, c[0], code::kNoDialog);
  const auto it = card->purses.find(readInt32(&c[2]));
  Bytes body = reply(idx, c[0], kPurseReplySize);
  body[11] = it == card->purses.end() ? 0 : it->second.purseNo;
  return body;
}

Bytes TerminalModel::queryQuantity(std::uint8_t idx, std::span<const std::uint8_t> c) {
  const SimCard* card = inserted();
  if (card == nullptr) return errorReply(idx, c[0], code::kNoCard);
  if (!session_ || c[1] != handle_) return errorReply(idx, c[0], code::kNoDialog);
  const auto it = card->purses.find(readInt32(&c[2]));
  if (it == card->purses.end()) return errorReply(idx, c[0], code::kGoodsForbidden);
  const auto asked = decodeMoney(&c[22]);
  if (!decodeMoney(&c[18]) || !asked) return errorReply(idx, c[0], code::kUnknownCommand);
  std::int64_t allowed = *asked;
  if (it->second.allowedQuantity) allowed = std::min(allowed, *it->second.allowedQuantity);
  Bytes body = reply(idx, c[0], kQuantityReplySize);
  encodeMoney(allowed, &body[11]);
  return body;
}

Bytes TerminalModel::sale(std::uint8_t idx, std::span<const std::uint8_t> c) {
  const bool quote = c[0] == cmd::tsDebit;
  const SaleLayout& at = quote ? kDebitLayout : kSaleLayout;
  SimCard* card = inserted();
  if (card == nullptr) return errorReply(idx, c[0], code::kNoCard);
  if (card->blocked) return errorReply(idx, c[0], code::kCardBlocked);
  const auto price = decodeMoney(&c[at.price]);
  const auto quantity = decodeMoney(&c[at.quantity]);
  if (!price || !quantity || *price > kMaxFactor || *quantity > kMaxFactor) {
    return errorReply(idx, c[0], code::kUnknownCommand);
  }
  const std::int32_t productCode = readInt32(&c[at.code]);
  if (!card->purses.empty() && card->purses.count(productCode) == 0) {
    return errorReply(idx, c[0], code::kGoodsForbidden);
  }
  SaleRecord s;
  s.id = nextSaleId_;
  s.quote = quote;
  s.cardName = card->name;
  s.productCode = productCode;
  s.price = *price;
  s.quantity = *quantity;
  s.amount = (*price * *quantity + 50) / 100;
  s.charged = s.amount - (s.amount * card->discountFor(productCode) + 5000) / 10000;
  if (s.charged > card->balance) return errorReply(idx, c[0], code::kNoFunds);
  if (quote) {
    s.requestByte = c[1];  // tsDebit carries one caller's byte and no transaction number
  } else {
    s.transactionNo = static_cast<std::uint16_t>(c[1] | (c[2] << 8));
    s.requestByte = c[3];
    card->balance -= s.charged;
  }

  CardBlock& b = s.block;
  std::copy(card->number.begin(), card->number.end(), b.begin());
  b[10] = card->status1;
  b[11] = card->status2;
  writeInt(&b[12], s.id, 4);
  b[16] = quote ? 2 : 1;
  encodeMoney(s.amount, &b[17]);
  encodeMoney(s.charged, &b[21]);
  encodeMoney(s.price, &b[25]);
  encodeMoney(s.quantity, &b[29]);
  writeInt(&b[33], static_cast<std::uint32_t>(productCode), 4);
  writeInt(&b[37], s.transactionNo, 2);
  b[39] = shift_.open ? shift_.number : 0;

  Bytes body = reply(idx, c[0], kSaleReplySize);
  encodeMoney(s.amount, &body[11]);
  encodeMoney(s.charged, &body[15]);
  encodeMoney(s.amount, &body[19]);
  std::copy(b.begin(), b.end(), body.begin() + 23);
  sales_.push_back(s);
  ++nextSaleId_;
  return body;
}

Bytes TerminalModel::refund(std::uint8_t idx, std::span<const std::uint8_t> c) {
  const auto block = c.subspan(32, kCardBlockSize);
  for (SaleRecord& s : sales_) {
    if (s.quote || s.refunded || !std::equal(block.begin(), block.end(), s.block.begin())) {
      continue;
    }
    SimCard* card = nullptr;
    for (SimCard& k : cards_) {
      if (k.name == s.cardName) card = &k;
    }
    if (card == nullptr) break;
    s.refunded = true;
    card->balance += s.charged;
    Bytes body = reply(idx, c[0], kRefundReplySize);
    encodeMoney(s.charged, &body[11]);
    encodeMoney(card->balance, &body[15]);
    return body;
  }
  return errorReply(idx, c[0], code::kRefundMismatch);
}

}  // namespace vexcard::sim
