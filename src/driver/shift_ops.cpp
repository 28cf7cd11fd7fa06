// Shift operations and the forms that pass through to other operations: OpenShift (slot
// 13), CloseShift (14), BonusSale (11), BonusSale2 (20), CardQuantity (18), HostSlot5 (5)
// and HostSlot6 (6). Host's thread only.
#include "driver/card_ops.h"
#include "driver/smart_driver.h"
#include "link/wire_values.h"
#include "platform/clock.h"

namespace vexcard::driver {

namespace {

// The driver's own BonusSaleEx with an empty block (a refund sends 79 zero bytes, a sale
// hands no block back). Never through the host's table: the error must leave through the
// one host-boundary wrapper of the slot the host called, after this operation's frames.
void forwardToBonusSaleEx(TSmartDriver& driver, TBonusResult* result, char mode, std::uint8_t purse,
                          double qty, double sum, LongStrHandle text1, LongStrHandle text2,
                          LongStrHandle text3) {
  driver.BonusSaleEx(result, mode, purse, qty, sum, text1, text2, text3, nullptr, -1);
}

// An empty sale result; the two 16-bit fields are not written.
void clearSaleResult(TSaleResult* result) {
  result->Status = 0;
  result->CardPrefix.set("");
  result->CardNumber.set("");
  result->ExtraText.set("");
  result->Amount = 0.0;
}

}  // namespace

void TSmartDriver::OpenShift(double shiftDate, std::uint8_t shiftNo) {
  // A date that cannot be sent is refused before it becomes the shift date, so that the
  // shift re-synchronisation never meets it.
  (void)PackDateTime(shiftDate);
  ShiftDate.store(shiftDate);
  // The reply code is not examined: 131 ("already open") passes silently. Only a failed
  // exchange raises.
  tsOpenShift(shiftNo, platform::nowOle(), shiftDate);
}

void TSmartDriver::CloseShift() {
  // As with OpenShift, 130 ("already closed") passes silently.
  tsCloseShift();
}

void TSmartDriver::BonusSale(TBonusResult* result, char mode, std::uint8_t purse, double qty,
                             double sum, LongStrHandle text1, LongStrHandle text2) try {
  const ops::NamedOperation named(*this, "BonusSale");
  forwardToBonusSaleEx(*this, result, mode, purse, qty, sum, text1, text2, nullptr);
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

void TSmartDriver::BonusSale2(TBonusResult* result, char mode, std::uint8_t purse, double qty,
                              double sum, LongStrHandle text1, LongStrHandle text2,
                              LongStrHandle text3) try {
  const ops::NamedOperation named(*this, "BonusSale2");
  forwardToBonusSaleEx(*this, result, mode, purse, qty, sum, text1, text2, text3);
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

void TSmartDriver::CardQuantity(TCardInfo* result, std::uint8_t purse, Currency price) try {
  const ops::NamedOperation named(*this, "CardQuantity");
  // CardQuantityEx may change the price it is given; the change stays in this copy.
  Currency own = price;
  CardQuantityEx(result, purse, &own);
} catch (Exception& e) {
  ops::stampOutcome(*this, e);
  throw;
}

void TSmartDriver::HostSlot5(TSaleResult* result, std::uint32_t, std::uint32_t, std::uint32_t) {
  clearSaleResult(result);
}

void TSmartDriver::HostSlot6(TSaleResult* result) { clearSaleResult(result); }

}  // namespace vexcard::driver
