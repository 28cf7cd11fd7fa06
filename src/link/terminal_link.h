// TTerminalLink: the serial port to which the payment terminal is wired, extended with
// the link state and the one road to the terminal (SendCommand) with its thirteen
// commands.
//
// The driver object (TSmartDriver) is a TTerminalLink with the host operations on top.
// The link is an intermediate class rather than a member so that the driver stays what
// the host and the tools know, a TComPort extended with the link state and the host
// operations, and so that the driver's operations use the link's members (ReplyData,
// LinkState, ShiftNo, …) by their names. Nothing in this layer knows the driver.
//
// Where the code lives: construction, the packet counter and the serial hooks in
// terminal_link.cpp; the exchange in exchange.cpp; the upkeep commands (tsReset and the
// three shift commands) in link_commands.cpp; the nine card-side commands in
// terminal_commands.cpp; the module-wide keep-alive poller in keep_alive.cpp.
//
// Threads and locks:
//  - The host's thread runs the host operations and through them the commands.
//  - The keep-alive thread (one per library) runs tsReset after an idle period.
//  - The port's event thread runs DataReceived (the receiver) and ModemStatusChanged.
//  - ExchangeLock (recursive) is held by SendCommand for a whole exchange: it guards
//    PacketCounter, Registry, LastExchangeResult, OutcomeUnknown, the nesting counts,
//    ReplyData and ReplyLength. A caller that must read ReplyData without a keep-alive
//    poll coming between its command and its reads may hold ExchangeLock around both.
//  - RxLock guards the receiver (Receiver) and the setting and clearing of ReplyEvent:
//    the event thread parses each byte and signals under it, ResetReceiver clears under
//    it and AwaitReply copies the decoded reply out under it. Nothing else is done while
//    holding it.
//  - CtsEvent and ReplyEvent carry the hand-overs from the event thread to the exchange.
//  - ShiftNo and ShiftDate are atomic: the host writes them outside any exchange while
//    the shift re-synchronisation reads them inside one (possibly on the keep-alive
//    thread); a reader sees a whole old or a whole new value.
//
// Not copyable. A derived class calls shutDown() first in its destructor, so that the
// event thread and the poller have stopped before its own members go.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "comport/com_port.h"
#include "link/frame.h"
#include "link/journal.h"
#include "link/metrics.h"
#include "link/reply_receiver.h"
#include "link/request_outcome.h"
#include "platform/settings_store.h"
#include "platform/sync.h"
#include "vexcard/currency.h"
#include "vexcard/exception.h"

namespace vexcard::link {

// Names of the two values in the driver's settings store.
inline constexpr std::string_view kPacketCounterValue = "RiederIndexPacket";
inline constexpr std::string_view kShiftNumberValue = "SmenaNum";

// The packet counter runs 1..9999; the value after 9999 is 1.
inline constexpr std::int32_t kMaxPacketCounter = 9999;

// Length of the card block that a sale hands out and a refund sends back.
inline constexpr std::size_t kCardBlockSize = 79;

// Reply codes that the exchange answers itself.
inline constexpr std::uint8_t kReplyExecuting = 0x01;      // accepted, still executing
inline constexpr std::uint8_t kReplyShiftMismatch = 0x81;  // shifts out of step
inline constexpr std::uint8_t kReplyBusy = 0x8F;           // previous command still running

// A shift number as the terminal counts it: ((v - 1) rem 6) + 1 with the remainder of
// truncating division, so 1..6 stay, 7 gives 1, 12 gives 6, 0 gives 0 and 255 gives 3.
std::uint8_t normaliseShift(std::int64_t v);

class TTerminalLink : public comport::TComPort {
 public:
  // Opens COM `port` at 9600 8N1, reads the packet counter and shift number and starts
  // keep-alive polling. Throws the port's errors ("Port COM0 not open" for port 0) and
  // releases everything built so far when it fails.
  explicit TTerminalLink(std::uint8_t port);
  // shutDown(), then the events and the lock are released.
  ~TTerminalLink() override;
  TTerminalLink(const TTerminalLink&) = delete;
  TTerminalLink& operator=(const TTerminalLink&) = delete;

  // Stops keep-alive polling of this link (waiting for a poll in progress), closes the
  // settings store, stops the port's threads and closes the device. Idempotent.
  void shutDown() noexcept;

  // ---- Serial hooks (port's event thread) ----------------------------------------------

  // Runs the reply receiver over `count` bytes just placed in the input ring.
  void DataReceived(std::uint16_t count) override;
  // The CTS watch, installed as the port's OnModemStatus callback.
  void ModemStatusChanged(std::uint32_t eventMask);

  // ---- Packet counter (under ExchangeLock) ---------------------------------------------

  // Advances and persists the packet counter; returns its low 8 bits. A store error
  // propagates; the counter in memory has advanced already.
  std::uint8_t NextPacketIndex();
  // Advances the packet counter in memory only and returns its low 8 bits; the value is
  // persisted by persistPending(), which the exchange runs while it waits for the
  // terminal's CTS answer, so that the store's flushes overlap the hand-shake.
  std::uint8_t advancePacketIndex();
  // Persists what an exchange has left pending (the packet counter) before its frame is
  // written. A store error propagates (the exchange then leaves without sending).
  void persistPending();
  // Sets the counter (a value above 9999 becomes 1) and writes it to the store.
  void StorePacketCounter(std::int32_t value);

  // ---- Exchange (exchange.cpp) ---------------------------------------------------------

  // The one road to the terminal: one request, up to five attempts. 0 only for a good
  // reply to this very request (its body in ReplyData / ReplyLength), never for the reply
  // to a command the exchange issued on its own nor for a frame that came while an
  // attempt's hand-shake failed; otherwise the link state of the last attempt, or 100
  // (an attempt that ended in a failed hand-shake or a shift re-synchronisation). A final
  // reply code 0x01 (accepted, still executing) fails: how the command ended is unknown
  // (OutcomeUnknown, and ReplyData keeps that reply). LastOutcome tells how the request
  // ended (request_outcome.h).
  // Throws only a packet-counter store error and the error of a failed tsReset after a
  // final reply code 0x01. LinkState is 100 and the lock free after it returns or throws.
  std::int32_t SendCommand(const std::uint8_t* bytes, std::uint8_t count);
  // The request text for the command bytes, with the next packet index. Checks count
  // before consuming an index.
  FrameText BuildFrame(const std::uint8_t* bytes, std::uint8_t count);
  // Clears the reply event and returns the receiver to idle with LinkState 100. With
  // `expected`, the receiver then takes only a reply that does not name an earlier
  // request whose reply never came (reply_receiver.h: stray replies).
  void ResetReceiver();
  void ResetReceiver(const RequestId& expected);
  // The current link state (the receiver's LinkState).
  std::int32_t linkState() const { return Receiver.LinkState.load(); }
  // The keep-alive poll: under ExchangeLock, sends tsReset unless an exchange ended after
  // idleSince (the start of the poller's idle wait), so that a poll queued on the lock
  // behind a long exchange never lands between two commands of one host operation. When
  // it stands down it returns the end of that exchange, from which the idle period counts.
  std::optional<std::chrono::steady_clock::time_point> keepAlivePoll(
      std::chrono::steady_clock::time_point idleSince);

  // ---- Terminal commands (link_commands.cpp, terminal_commands.cpp) --------------------
  // Each sends one request and throws "Ошибка обмена с ридером" when the exchange does
  // not end with a good reply. The terminal's reply code is left in ReplyData[2].

  void tsReset();
  void tsCloseSession();
  // Normalises shift into ShiftNo (before sending) and sends it with both dates.
  void tsOpenShift(std::uint8_t shift, double now, double shiftDate);
  void tsCloseShift();
  void tsResumeShift();
  void tsSelectPurse(std::uint8_t selector);
  void tsQueryQuantity(std::uint8_t first, std::int32_t productCode, std::string_view name,
                       Currency price, Currency quantity);
  void tsSale(std::uint16_t transactionNo, std::uint8_t requestByte, std::int32_t productCode,
              std::string_view name, Currency price, Currency quantity, std::uint32_t requestTag);
  void tsRefund(std::uint16_t transactionNo, std::uint8_t requestByte, std::int32_t productCode,
                std::string_view name, Currency price, Currency quantity, std::uint32_t requestTag,
                std::span<const std::uint8_t, kCardBlockSize> cardBlock);
  void tsReadCard();
  void tsQueryPurse(std::uint8_t first, std::int32_t productCode, std::string_view name);
  // Sends tsReset first; when that fails nothing more is sent.
  void tsRefundReset(std::uint16_t transactionNo, std::uint8_t requestByte,
                     std::int32_t productCode, std::string_view name, Currency price,
                     Currency quantity, std::uint32_t requestTag,
                     std::span<const std::uint8_t, kCardBlockSize> cardBlock);
  void tsDebit(std::uint8_t first, std::int32_t productCode, std::string_view name, Currency price,
               Currency quantity);

  // ---- Link state ----------------------------------------------------------------------

  // The reply receiver: RxState, RxRemaining, RxHexText, RxChecksum, RxNibble and the
  // link state LinkState live here (guarded by RxLock; LinkState is atomic).
  ReplyReceiver Receiver;
  // The decoded body of the latest reply, copied out of the receiver by the exchange
  // after each wait (guarded by ExchangeLock). Byte 2 is the terminal's reply code.
  std::uint8_t ReplyLength = 0;
  std::array<std::uint8_t, ReplyReceiver::kReplyCapacity> ReplyData{};
  std::int32_t PacketCounter = 1;
  std::unique_ptr<platform::SettingsStore> Registry;
  platform::Event CtsEvent{platform::EventReset::kAuto};
  std::atomic<std::uint8_t> ShiftNo{1};
  std::atomic<double> ShiftDate{0.0};
  std::int32_t LastExchangeResult = 0;
  // True when the last exchange a caller issued failed on a final reply code 0x01: the
  // terminal took the command, its outcome is unknown, and ReplyData holds that reply
  // (guarded by ExchangeLock).
  bool OutcomeUnknown = false;
  // How the last exchange a caller issued ended (guarded by ExchangeLock).
  RequestOutcome LastOutcome = RequestOutcome::kNotCarriedOut;
  // How the line failed in the last exchange (kNone when it ended with a good reply); the
  // command layer puts it on its "Ошибка обмена с ридером" (guarded by ExchangeLock).
  LineFault LastLineFault = LineFault::kNone;
  // Set when the frame of an exchange a caller issued for a money command (tsSale,
  // tsRefund, tsRefundReset, tsDebit) went to the line in at least one attempt; never
  // cleared by the link. The host operations clear it before such a command and read it
  // after, to tell a request that left from one that never did (guarded by ExchangeLock).
  bool MoneyRequestWritten = false;
  // What the host operation knows of its next money request (its name, purse, product
  // name, amount and card), for the journal. The operation sets it under ExchangeLock just
  // before it sends the command; the exchange of that command takes it (guarded by
  // ExchangeLock).
  std::optional<JournalContext> NextMoneyRequest;
  // The journal of money requests (journal.h): every tsSale, tsRefund, tsRefundReset and
  // tsDebit a caller issues is recorded before its frame is first written, flushed while
  // the terminal answers the hand-shake, and its outcome appended when the exchange ends
  // (guarded by ExchangeLock).
  std::unique_ptr<Journal> MoneyJournal;
  // The numbers for the station's monitoring (metrics.h): counted always, written by
  // MetricsFile when a metrics folder is set (nullptr otherwise).
  LinkCounters Metrics;
  std::unique_ptr<MetricsWriter> MetricsFile;
  platform::Event ReplyEvent{platform::EventReset::kManual};
  platform::RecursiveLock ExchangeLock;

 private:
  std::int32_t ExchangeWithRetries(const std::uint8_t* bytes, std::uint8_t count);
  // One attempt's hand-shake and write; true when the frame was handed to the line. The
  // receiver is reset just before the write: nothing that came before can answer it.
  bool SendWithHandshake(const FrameText& frame, const RequestId& id);
  // Requests whose frame went out and whose reply never came, newest last: a reply that
  // names one of them later is a stray (exchange.cpp). The first entry made at start
  // stands for the previous process's last request, whose command is not known.
  void rememberUnanswered(const RequestId& id);
  void forgetUnanswered(const RequestId& id);
  std::int32_t AwaitReply();
  // The journal's request line for the command bytes of a money request a caller issued,
  // and its outcome line when the exchange ends (exchange_journal.cpp).
  void journalRequest(const std::uint8_t* bytes, std::uint8_t count) noexcept;
  void journalRequestOf(const std::uint8_t* bytes, std::uint8_t count,
                        const std::optional<JournalContext>& context);
  void journalOutcome() noexcept;
  void fillOutcome(JournalOutcome& outcome) const;
  // What is done on reply code 0x81: tsResumeShift, or tsCloseShift / tsOpenShift.
  void resynchroniseShift();
  // Sends a command by the rule of every command routine: SendCommand, and "Ошибка
  // обмена с ридером" for a non-zero result.
  void sendOrRaise(const std::uint8_t* bytes, std::uint8_t count);

  // Guards Receiver (see the class comment).
  std::mutex RxLock;
  // Nesting of SendCommand on the thread that holds ExchangeLock: 1 for a command a
  // caller issued, 2 and more for commands the exchange issued itself. Every depth
  // answers the reply codes 0x81, 0x8F and 0x01; what bounds the recursion is the count
  // of nested exchanges within one outer exchange (NestedExchanges, limit in
  // exchange.cpp): past it nothing more is sent and every exchange under way fails.
  int ExchangeDepth = 0;
  int NestedExchanges = 0;
  bool NestedLimitReached = false;
  // The packet counter has advanced in memory and waits for persistPending().
  bool PacketCounterPending = false;
  struct Unanswered {
    RequestId id;
    std::uint32_t request;  // RequestCount when it was sent
  };
  std::array<Unanswered, ReplyReceiver::kMaxEarlier> UnansweredRequests{};
  std::size_t UnansweredCount = 0;
  // Requests built since start (under ExchangeLock).
  std::uint32_t RequestCount = 0;
  // When the last outer exchange ended (under ExchangeLock).
  std::chrono::steady_clock::time_point LastExchangeEnd{};
  // True between the start of keep-alive polling and shutDown().
  bool KeepAliveAttached = false;
};

}  // namespace vexcard::link
