// TSmartDriver: the driver object the host talks to.
//
// A TSmartDriver is the serial port (TComPort) to which the payment terminal is wired,
// extended with everything the terminal link needs: the reply receiver, the exchange
// machinery (SendCommand and its helpers), the thirteen terminal commands, the packet
// counter and shift number kept in the settings store, and the host operations in the
// order of the host's operation table.
//
// Where the code lives. The members are declared here; their definitions are grouped by
// subject: construction, packet counter and the serial hooks in smart_driver.cpp; the
// exchange in src/link/exchange.cpp; the terminal commands in src/link/link_commands.cpp
// and src/link/terminal_commands.cpp; the module-wide keep-alive poller in
// src/link/keep_alive.cpp; the host operations in their own files under src/driver.
//
// Threads and locks:
//  - The host's thread runs the host operations and through them the commands.
//  - The keep-alive thread (one per library) runs tsReset after an idle period.
//  - The port's event thread runs DataReceived (the receiver) and ModemStatusChanged.
//  - ExchangeLock (recursive) is held by SendCommand for a whole exchange: it guards
//    PacketCounter, Registry, LastExchangeResult, ExchangeDepth, ReplyData and
//    ReplyLength. A caller that must read ReplyData without a keep-alive poll coming
//    between its command and its reads may hold ExchangeLock around both.
//  - RxLock guards the receiver (Receiver) and the setting and clearing of ReplyEvent:
//    the event thread parses each byte and signals under it, ResetReceiver clears under
//    it and AwaitReply copies the decoded reply out under it. Nothing else is done while
//    holding it.
//  - CtsEvent and ReplyEvent carry the hand-overs from the event thread to the exchange.
//  - ShiftNo and ShiftDate are atomic: the host writes them outside any exchange while
//    the shift re-synchronisation reads them inside one (possibly on the keep-alive
//    thread); a reader sees a whole old or a whole new value.
//
// The object is not copyable. The host destroys it through the virtual destructor; the
// host must not call other operations on it meanwhile.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "comport/com_port.h"
#include "link/frame.h"
#include "link/reply_receiver.h"
#include "platform/settings_store.h"
#include "platform/sync.h"
#include "vexcard/currency.h"
#include "vexcard/host_interface.h"
#include "vexcard/host_records.h"
#include "vexcard/runtime.h"

namespace vexcard::driver {

// Names of the two values in the driver's settings store.
inline constexpr std::string_view kPacketCounterValue = "RiederIndexPacket";
inline constexpr std::string_view kShiftNumberValue = "SmenaNum";

// The packet counter runs 1..9999; the value after 9999 is 1.
inline constexpr std::int32_t kMaxPacketCounter = 9999;

// Length of the card block that a sale hands out and a refund sends back.
inline constexpr std::size_t kCardBlockSize = 79;

// The selector that OilLimit sends with tsSelectPurse.
inline constexpr std::uint8_t kCommand06Param = 16;

// The 32-bit tag that every tsSale, tsRefund and tsRefundReset request carries. The
// terminal treats it as an opaque request marker; the driver sends the same value in
// every request: the driver's version 2.4 as major << 8 | minor (bytes 04 02 00 00).
inline constexpr std::uint32_t kRequestTag = 0x00000204;

// Reply codes that the exchange answers itself.
inline constexpr std::uint8_t kReplyExecuting = 0x01;      // accepted, still executing
inline constexpr std::uint8_t kReplyShiftMismatch = 0x81;  // shifts out of step
inline constexpr std::uint8_t kReplyBusy = 0x8F;           // previous command still running

// A shift number as the terminal counts it: ((v - 1) rem 6) + 1 with the remainder of
// truncating division, so 1..6 stay, 7 gives 1, 12 gives 6, 0 gives 0 and 255 gives 3.
std::uint8_t normaliseShift(std::int64_t v);

class TSmartDriver : public comport::TComPort {
 public:
  // Opens COM `port` at 9600 8N1, reads the packet counter and shift number and starts
  // keep-alive polling. Throws the port's errors ("Port COM0 not open" for port 0) and
  // releases everything built so far when it fails.
  explicit TSmartDriver(std::uint8_t port);
  // Stops keep-alive polling of this driver (waiting for a poll in progress), closes the
  // settings store, stops the port's threads and closes the device, then releases the
  // events and the lock.
  ~TSmartDriver() override;
  TSmartDriver(const TSmartDriver&) = delete;
  TSmartDriver& operator=(const TSmartDriver&) = delete;

  // ---- Serial hooks (port's event thread) ----------------------------------------------

  // Runs the reply receiver over `count` bytes just placed in the input ring.
  void DataReceived(std::uint16_t count) override;
  // The CTS watch, installed as the port's OnModemStatus callback.
  void ModemStatusChanged(std::uint32_t eventMask);

  // ---- Packet counter (under ExchangeLock) ---------------------------------------------

  // Advances and persists the packet counter; returns its low 8 bits. A store error
  // propagates; the counter in memory has advanced already.
  std::uint8_t NextPacketIndex();
  // Sets the counter (a value above 9999 becomes 1) and writes it to the store.
  void StorePacketCounter(std::int32_t value);

  // ---- Exchange (src/link/exchange.cpp) ------------------------------------------------

  // The one road to the terminal: one request, up to five attempts. 0 only for a good
  // reply to this very request (its body in ReplyData / ReplyLength), never for the reply
  // to a command the exchange issued on its own; otherwise the link state of the last
  // attempt, or 100. A final reply code 0x01 (accepted, still executing) fails: how the
  // command ended is unknown.
  // Throws only a packet-counter store error and the error of a failed tsReset after a
  // final reply code 0x01. LinkState is 100 and the lock free after it returns or throws.
  std::int32_t SendCommand(const std::uint8_t* bytes, std::uint8_t count);
  // The request text for the command bytes, with the next packet index. Checks count
  // before consuming an index.
  link::FrameText BuildFrame(const std::uint8_t* bytes, std::uint8_t count);
  // Clears the reply event and returns the receiver to idle with LinkState 100.
  void ResetReceiver();
  // The current link state (the receiver's LinkState).
  std::int32_t linkState() const { return Receiver.LinkState.load(); }
  // The keep-alive poll: under ExchangeLock, sends tsReset unless an exchange ended after
  // idleSince (the start of the poller's idle wait), so that a poll queued on the lock
  // behind a long exchange never lands between two commands of one host operation.
  void KeepAlivePoll(std::chrono::steady_clock::time_point idleSince);

  // ---- Terminal commands (src/link/*_commands.cpp) -------------------------------------
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

  // ---- Host operations, in the order of the host's operation table (slot 1 on) ---------
  // Result records are written through the pointer the host passes; argument types are
  // those of the slot types in vexcard/host_interface.h (result pointer first, without
  // the object). Strings arrive as the host's handles, open arrays as their first
  // element and highest index; the caller holds them for the call (the table's slot
  // functions reference by-value strings and variants at entry, release them at exit and
  // copy by-value open arrays). The bodies live in src/driver: card_info_ops.cpp,
  // bonus_sale_ops.cpp, noncash_sale_ops.cpp, shift_ops.cpp and small_slots.cpp.
  // Figures that a body would divide by 0, that are not numbers, or that the terminal
  // could not be given are refused with the general error before anything is sent.

  virtual void GetVersion(std::uint8_t* result12);
  virtual void SetHostFlag(std::uint32_t ignored, std::uint8_t value);
  virtual std::uint8_t GetHostFlag(std::uint32_t ignored);
  virtual void SubSchet(TSaleResult* result, std::uint8_t purse, double qty, double sum);
  virtual void HostSlot5(TSaleResult* result, std::uint32_t ignored1, std::uint32_t ignored2,
                         std::uint32_t ignored3);
  virtual void HostSlot6(TSaleResult* result);
  virtual void CardInfo(TCardInfo* result, std::uint32_t ignored);
  virtual void HostSlot8(LongStrHandle text);
  virtual void OilLimit(TPurseInfo* result);
  virtual void HostSlot10(std::uint32_t value, LongStrHandle text1, LongStrHandle text2,
                          std::uint32_t word1, std::uint32_t word2, std::uint32_t word3,
                          std::uint32_t word4, std::uint32_t word5);
  virtual void BonusSale(TBonusResult* result, char mode, std::uint8_t purse, double qty,
                         double sum, LongStrHandle text1, LongStrHandle text2);
  virtual void SubSchetEx(TSaleResultEx* result, std::uint8_t requestByte, std::uint8_t purse,
                          double qty, double sum);
  virtual void OpenShift(double shiftDate, std::uint8_t shiftNo);
  virtual void CloseShift();
  virtual void RefundSale(std::uint8_t* resultStatus, std::uint8_t requestByte, LongStrHandle text1,
                          LongStrHandle text2, const std::uint8_t* block, std::int32_t blockHigh,
                          std::uint8_t purse, double qty, double sum, std::uint8_t useReset);
  virtual void OpenPurse(TPurseInfo* result, std::uint8_t selector);
  virtual void ItemLimit(TPurseInfo* result, std::uint32_t ignored, const TItemList& items);
  virtual void CardQuantity(TCardInfo* result, std::uint8_t purse, Currency price);
  virtual void CardQuantityEx(TCardInfo* result, std::uint8_t purse, Currency* price);
  virtual void BonusSale2(TBonusResult* result, char mode, std::uint8_t purse, double qty,
                          double sum, LongStrHandle text1, LongStrHandle text2,
                          LongStrHandle text3);
  virtual void HostSlot21();
  virtual void BonusSaleEx(TBonusResult* result, char mode, std::uint8_t purse, double qty,
                           double sum, LongStrHandle text1, LongStrHandle text2,
                           LongStrHandle text3, std::uint8_t* block, std::int32_t blockHigh);
  virtual void HostSlot23(std::uint32_t value, LongStrHandle text, const std::uint8_t* data,
                          std::int32_t dataHigh, std::uint32_t word1, std::uint32_t word2,
                          std::uint32_t word3, std::uint32_t word4);
  virtual void HostSlot24();
  virtual std::int32_t HostSlot25();
  virtual std::int32_t HostSlot26(std::uint32_t value, Variant v);
  virtual std::int32_t HostSlot27(std::uint32_t value, Variant v);
  virtual void BonusSaleExStr(TBonusResultStr* result, char mode, std::uint8_t purse, double qty,
                              double sum, LongStrHandle text1, LongStrHandle text2,
                              LongStrHandle text3, std::uint8_t* block, std::int32_t blockHigh);

  // An ordinary operation of the non-cash sale (not in the host's table); `unused` is
  // the further byte that the callers pass and the operation ignores.
  void DebitNonCash(std::uint8_t purse, double qty, double sum, TSaleResultEx* result,
                    std::uint8_t unused);

  // The host's view of this driver: the object whose first word points at the operation
  // table (src/library/host_table.h), set when the driver is handed to the host and null
  // for a driver used directly from C++. BonusSale, BonusSale2 and CardQuantity call
  // BonusSaleEx and CardQuantityEx through its table slots, so that whatever the table
  // holds there is what runs; without it they make the same calls as virtual calls.
  // Written once before the host's first call; read on the host's thread only.
  HostObject* HostView = nullptr;

  // ---- State, in the order the driver has always declared it ---------------------------

  // The reply receiver: RxState, RxRemaining, RxHexText, RxChecksum, RxNibble and the
  // link state LinkState live here (guarded by RxLock; LinkState is atomic).
  link::ReplyReceiver Receiver;
  std::uint8_t HostFlag = 0;
  // The decoded body of the latest reply, copied out of the receiver by the exchange
  // after each wait (guarded by ExchangeLock). Byte 2 is the terminal's reply code.
  std::uint8_t ReplyLength = 0;
  std::array<std::uint8_t, link::ReplyReceiver::kReplyCapacity> ReplyData{};
  std::int32_t PacketCounter = 1;
  std::unique_ptr<platform::SettingsStore> Registry;
  platform::Event CtsEvent{platform::EventReset::kAuto};
  std::int32_t TransactionNo = 1;
  std::atomic<std::uint8_t> ShiftNo{1};
  std::uint8_t Command06Param = kCommand06Param;
  std::atomic<double> ShiftDate{0.0};
  std::int32_t LastExchangeResult = 0;
  platform::Event ReplyEvent{platform::EventReset::kManual};
  platform::RecursiveLock ExchangeLock;

 private:
  std::int32_t ExchangeWithRetries(const std::uint8_t* bytes, std::uint8_t count);
  void SendWithHandshake(const link::FrameText& frame);
  std::int32_t AwaitReply();
  // Steps taken on reply code 0x81: tsResumeShift, or tsCloseShift / tsOpenShift.
  void ResynchroniseShift();
  // Sends a command by the rule of every command routine: SendCommand, and "Ошибка
  // обмена с ридером" for a non-zero result.
  void sendOrRaise(const std::uint8_t* bytes, std::uint8_t count);
  // Releases what construction built when it fails part-way.
  void abandonConstruction() noexcept;

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
  // When the last outer exchange ended (under ExchangeLock).
  std::chrono::steady_clock::time_point LastExchangeEnd{};
  // True between the start of keep-alive polling and the destructor.
  bool KeepAliveAttached = false;
};

}  // namespace vexcard::driver
