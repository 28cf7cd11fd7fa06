// The exchange's side of the journal: the request line of a money request a caller issued,
// read from its command bytes and completed by what the host operation handed over
// (NextMoneyRequest), and the outcome line when the exchange ends, with the figures of the
// request's own reply.
//
// Members of TTerminalLink, run under ExchangeLock.
#include <exception>

#include "link/command_table.h"
#include "link/terminal_link.h"
#include "link/wire_values.h"
#include "platform/codepage.h"

namespace vexcard::link {
namespace {

constexpr std::size_t kReplyCodeByte = 2;
constexpr std::size_t kMoneyAt[] = {11, 15, 19};
constexpr std::size_t kReplyBlockAt = 23;

std::uint32_t le32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::string hex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * count);
  for (std::size_t k = 0; k < count; ++k) {
    text += kDigits[bytes[k] >> 4];
    text += kDigits[bytes[k] & 0x0F];
  }
  return text;
}

}  // namespace

void TTerminalLink::journalRequest(const std::uint8_t* bytes, std::uint8_t count) noexcept {
  const std::optional<JournalContext> context = std::move(NextMoneyRequest);
  NextMoneyRequest.reset();
  Metrics.setOpenMoneyRequest(PacketCounter);
  // The journal never stops a request: a record that cannot be made is left out.
  try {
    journalRequestOf(bytes, count, context);
  } catch (...) {
  }
}

void TTerminalLink::journalRequestOf(const std::uint8_t* bytes, std::uint8_t count,
                                     const std::optional<JournalContext>& context) {
  if (!MoneyJournal) return;
  const CommandInfo* info = findCommand(bytes[0]);
  if (info == nullptr || count < info->requestSize) return;
  JournalRequest r;
  r.time = journalTime();
  r.port = PortNumber;
  r.packet = PacketCounter;
  r.command = std::string(info->name);
  // tsDebit: first byte, product at 2, price at 18 and quantity at 22. tsSale and the
  // refunds: the transaction word at 1, product at 4, price at 20, quantity at 24, and the
  // refunds' card block at 32.
  const bool debit = bytes[0] == kTsDebit.code;
  const std::size_t product = debit ? 2 : 4;
  r.transaction = debit ? bytes[1] : static_cast<std::uint32_t>(bytes[1] | bytes[2] << 8);
  r.productCode = static_cast<std::int32_t>(le32(bytes + product));
  r.price = DecodeMoney(le32(bytes + product + 16));
  r.quantity = DecodeMoney(le32(bytes + product + 20));
  if (bytes[0] == kTsRefund.code || bytes[0] == kTsRefundReset.code) {
    r.block = hex(bytes + kTsSale.requestSize, kCardBlockSize);
  }
  if (context) {
    r.operation = context->operation;
    r.purse = context->purse;
    r.productName = cp1251ToUtf8(context->productName);
    r.amount = context->amount;
    r.card = context->card;
  }
  MoneyJournal->begin(r);
}

void TTerminalLink::journalOutcome() noexcept {
  // The money request is counted once its outcome line is written (on the way out): the
  // metrics writer leaves the open request out of the journal's unknown outcomes until then.
  struct CountForMetrics {
    TTerminalLink& self;
    ~CountForMetrics() {
      if (!self.Metrics.openMoneyRequest()) return;
      self.Metrics.addMoneyRequest(self.LastOutcome);
      self.Metrics.setOpenMoneyRequest(std::nullopt);
    }
  } count{*this};
  if (!MoneyJournal || !MoneyJournal->open()) return;
  JournalOutcome o;
  try {
    o.time = journalTime();
    fillOutcome(o);
  } catch (...) {
    // What could be taken stands; the outcome itself is always known.
  }
  o.outcome = LastOutcome;
  MoneyJournal->end(o);
}

void TTerminalLink::fillOutcome(JournalOutcome& o) const {
  o.outcome = LastOutcome;
  const bool ownReply = LastOutcome == RequestOutcome::kDone ||
                        LastOutcome == RequestOutcome::kRefused || OutcomeUnknown;
  if (ownReply) o.code = ReplyData[kReplyCodeByte];
  if (LastOutcome == RequestOutcome::kDone) {
    // Each value on its own: one the terminal sent out of range (its operation then fails,
    // the terminal having carried the request out) leaves the others readable.
    Currency* const money[] = {&o.money1, &o.money2, &o.money3};
    for (std::size_t k = 0; k < 3; ++k) {
      try {
        *money[k] = DecodeMoney(le32(&ReplyData[kMoneyAt[k]]));
      } catch (const std::exception&) {
      }
    }
    // A sale's or debit's reply hands out the card block that a refund sends back.
    if (ReplyLength >= kTsSale.replySize) o.block = hex(&ReplyData[kReplyBlockAt], kCardBlockSize);
  }
}

}  // namespace vexcard::link
