// Bodies of the host operations that are not written yet. Each raises the abstract-method
// error, as a slot without a body does, so the driver links and every slot answers.
//
// Whoever adds the real bodies (src/driver/*.cpp, one file per group of operations)
// removes them from this file; the file goes once it is empty.
#include <string>

#include "driver/smart_driver.h"
#include "vexcard/exception.h"

namespace vexcard::driver {

namespace {

[[noreturn]] void pending(const char* operation) {
  throw EAbstractError(std::string("Abstract error: ") + operation);
}

}  // namespace

void TSmartDriver::GetVersion(std::uint8_t*) { pending("GetVersion"); }
void TSmartDriver::SetHostFlag(std::uint32_t, std::uint8_t) { pending("SetHostFlag"); }
std::uint8_t TSmartDriver::GetHostFlag(std::uint32_t) { pending("GetHostFlag"); }
void TSmartDriver::SubSchet(TSaleResult*, std::uint8_t, double, double) { pending("SubSchet"); }
void TSmartDriver::HostSlot5(TSaleResult*, std::uint32_t, std::uint32_t, std::uint32_t) {
  pending("HostSlot5");
}
void TSmartDriver::HostSlot6(TSaleResult*) { pending("HostSlot6"); }
void TSmartDriver::CardInfo(TCardInfo*, std::uint32_t) { pending("CardInfo"); }
void TSmartDriver::HostSlot8(LongStrHandle) { pending("HostSlot8"); }
void TSmartDriver::OilLimit(TPurseInfo*) { pending("OilLimit"); }
void TSmartDriver::HostSlot10(std::uint32_t, LongStrHandle, LongStrHandle, std::uint32_t,
                              std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  pending("HostSlot10");
}
void TSmartDriver::BonusSale(TBonusResult*, char, std::uint8_t, double, double, LongStrHandle,
                             LongStrHandle) {
  pending("BonusSale");
}
void TSmartDriver::SubSchetEx(TSaleResultEx*, std::uint8_t, std::uint8_t, double, double) {
  pending("SubSchetEx");
}
void TSmartDriver::OpenShift(double, std::uint8_t) { pending("OpenShift"); }
void TSmartDriver::CloseShift() { pending("CloseShift"); }
void TSmartDriver::RefundSale(std::uint8_t*, std::uint8_t, LongStrHandle, LongStrHandle,
                              const std::uint8_t*, std::int32_t, std::uint8_t, double, double,
                              std::uint8_t) {
  pending("RefundSale");
}
void TSmartDriver::OpenPurse(TPurseInfo*, std::uint8_t) { pending("OpenPurse"); }
void TSmartDriver::ItemLimit(TPurseInfo*, std::uint32_t, const TItemList&) {
  pending("ItemLimit");
}
void TSmartDriver::CardQuantity(TCardInfo*, std::uint8_t, Currency) { pending("CardQuantity"); }
void TSmartDriver::CardQuantityEx(TCardInfo*, std::uint8_t, Currency*) {
  pending("CardQuantityEx");
}
void TSmartDriver::BonusSale2(TBonusResult*, char, std::uint8_t, double, double, LongStrHandle,
                              LongStrHandle, LongStrHandle) {
  pending("BonusSale2");
}
void TSmartDriver::HostSlot21() { pending("HostSlot21"); }
void TSmartDriver::BonusSaleEx(TBonusResult*, char, std::uint8_t, double, double, LongStrHandle,
                               LongStrHandle, LongStrHandle, std::uint8_t*, std::int32_t) {
  pending("BonusSaleEx");
}
void TSmartDriver::HostSlot23(std::uint32_t, LongStrHandle, const std::uint8_t*, std::int32_t,
                              std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  pending("HostSlot23");
}
void TSmartDriver::HostSlot24() { pending("HostSlot24"); }
std::int32_t TSmartDriver::HostSlot25() { pending("HostSlot25"); }
std::int32_t TSmartDriver::HostSlot26(std::uint32_t, Variant) { pending("HostSlot26"); }
std::int32_t TSmartDriver::HostSlot27(std::uint32_t, Variant) { pending("HostSlot27"); }
void TSmartDriver::BonusSaleExStr(TBonusResultStr*, char, std::uint8_t, double, double,
                                  LongStrHandle, LongStrHandle, LongStrHandle, std::uint8_t*,
                                  std::int32_t) {
  pending("BonusSaleExStr");
}

}  // namespace vexcard::driver
