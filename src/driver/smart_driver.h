// TSmartDriver: the driver object the host talks to.
//
// A TSmartDriver is the serial port (TComPort) to which the payment terminal is wired,
// extended with the link state and the one road to the terminal (link::TTerminalLink,
// src/link/terminal_link.h: the receiver, the exchange, the thirteen commands, the packet
// counter and shift number kept in the settings store) and, here, with the host
// operations in the order of the host's operation table. Their bodies live in
// src/driver: card_info_ops.cpp, bonus_sale_ops.cpp, noncash_sale_ops.cpp, shift_ops.cpp
// and small_slots.cpp; construction in smart_driver.cpp.
//
// Threads and locks are the link's (see terminal_link.h); the host operations run on the
// host's thread. TransactionNo, HostFlag and Command06Param are the host's: only its
// operations read and write them.
//
// The object is not copyable. The host destroys it through the virtual destructor; the
// host must not call other operations on it meanwhile.
#pragma once

#include <cstdint>

#include "link/terminal_link.h"
#include "link/wire_values.h"
#include "vexcard/currency.h"
#include "vexcard/exception.h"
#include "vexcard/host_interface.h"
#include "vexcard/host_records.h"
#include "vexcard/runtime.h"

namespace vexcard::driver {

// The card block's length, which the host's records and open arrays carry.
using link::kCardBlockSize;
// The wire values and currency conversions the host operations use.
using link::BcdToDigits;
using link::currencyFromDouble;
using link::currencyText;
using link::DecodeMoney;
using link::EncodeMoney;
using link::kMaxWireHundredths;
using link::PackDateTime;
using link::toDouble;

// The selector that OilLimit sends with tsSelectPurse.
inline constexpr std::uint8_t kCommand06Param = 16;

// The 32-bit tag that every tsSale, tsRefund and tsRefundReset request carries. The
// terminal treats it as an opaque request marker; the driver sends the same value in
// every request: the driver's version 2.4 as major << 8 | minor (bytes 04 02 00 00).
inline constexpr std::uint32_t kRequestTag = 0x00000204;

class TSmartDriver : public link::TTerminalLink {
 public:
  // Opens the link on COM `port` (see TTerminalLink) and starts the host's state afresh.
  explicit TSmartDriver(std::uint8_t port);
  // Shuts the link down before this object's members go (see TTerminalLink).
  ~TSmartDriver() override;
  TSmartDriver(const TSmartDriver&) = delete;
  TSmartDriver& operator=(const TSmartDriver&) = delete;

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

  // ---- The host's state --------------------------------------------------------------

  std::uint8_t HostFlag = 0;
  std::int32_t TransactionNo = 1;
  // The host operation under way that sells, debits or refunds, as the journal names it
  // (ops::NamedOperation sets it; empty between operations). Host's thread only.
  std::string_view HostOperation;
  std::uint8_t Command06Param = kCommand06Param;
  // How the last money request that ops::sellLine sent ended: kNotCarriedOut when it never
  // reached the line. Written by sellLine under the exchange lock, read by the operations
  // after it, where a keep-alive poll may already have changed the link's LastOutcome.
  link::RequestOutcome LastLineOutcome = link::RequestOutcome::kNotCarriedOut;
  // What the money requests of the host operation under way came to, for its error
  // (vexcard::Exception::outcome): kNone until one is sent; then the weightiest of the
  // outcomes of its requests (ops::noteMoneyOutcome). Host's thread only.
  MoneyOutcome OperationOutcome = MoneyOutcome::kNone;
};

}  // namespace vexcard::driver
