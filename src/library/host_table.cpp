// The operation table: one slot function per host operation, with the exact types of
// vexcard/host_interface.h, each calling the driver's virtual operation of its slot.
//
// What a slot function does besides the call is the host convention for by-value
// arguments: a Variant is referenced and its copy cleared (ScopedVariant), an open array is
// copied. The text arguments are passed on untouched: no operation reads them, so the
// driver takes no reference to them either, and a host may pass any pointer there (a plain
// literal in read-only memory, a temporary buffer, null). And each runs whole through
// atHostBoundary (library/host_boundary.h), which hands an error to the host in the form
// the host can catch.
#include "library/host_table.h"

#include <algorithm>
#include <vector>

#include "library/host_boundary.h"

namespace vexcard::library {

namespace {

using driver::TSmartDriver;

TSmartDriver& drv(HostObject* self) { return driverOf(self); }

// A by-value open array of bytes: copied for the call, but no more than the first `uses`
// bytes that the operation reads, so that a host that overstates the highest index makes
// the driver neither read past its array nor allocate for it. An empty, malformed (highest
// index below 0) or unused one goes on as (null, -1).
class ByteArrayCopy {
 public:
  ByteArrayCopy(const std::uint8_t* data, std::int32_t high, std::size_t uses) {
    const OpenArray<const std::uint8_t> array{data, high};
    const auto bytes = array.span().first(std::min(array.count(), uses));
    bytes_.assign(bytes.begin(), bytes.end());
  }
  const std::uint8_t* data() const { return bytes_.empty() ? nullptr : bytes_.data(); }
  std::int32_t high() const { return static_cast<std::int32_t>(bytes_.size()) - 1; }

 private:
  std::vector<std::uint8_t> bytes_;
};

void VEXCARD_STDCALL destroy(HostObject* self) {
  atHostBoundary(nullptr, [&] {
    auto* object = reinterpret_cast<HostDriverObject*>(self);
    delete object->driver;
    delete object;
  });
}

void VEXCARD_STDCALL dataReceived(HostObject* self, std::uint16_t count) {
  atHostBoundary(nullptr, [&] { drv(self).DataReceived(count); });
}

void VEXCARD_STDCALL getVersion(std::uint8_t* result, HostObject* self) {
  atHostBoundary(nullptr, [&] { drv(self).GetVersion(result); });
}

void VEXCARD_STDCALL setHostFlag(HostObject* self, std::uint32_t ignored, std::uint8_t value) {
  atHostBoundary(nullptr, [&] { drv(self).SetHostFlag(ignored, value); });
}

std::uint8_t VEXCARD_STDCALL getHostFlag(HostObject* self, std::uint32_t ignored) {
  return atHostBoundary(nullptr, [&] { return drv(self).GetHostFlag(ignored); });
}

void VEXCARD_STDCALL subSchet(TSaleResult* result, HostObject* self, std::uint8_t purse, double qty,
                              double sum) {
  atHostBoundary(result, [&] { drv(self).SubSchet(result, purse, qty, sum); });
}

void VEXCARD_STDCALL hostSlot5(TSaleResult* result, HostObject* self, std::uint32_t word1,
                               std::uint32_t word2, std::uint32_t word3) {
  atHostBoundary(result, [&] { drv(self).HostSlot5(result, word1, word2, word3); });
}

void VEXCARD_STDCALL hostSlot6(TSaleResult* result, HostObject* self) {
  atHostBoundary(result, [&] { drv(self).HostSlot6(result); });
}

void VEXCARD_STDCALL cardInfo(TCardInfo* result, HostObject* self, std::uint32_t ignored) {
  atHostBoundary(result, [&] { drv(self).CardInfo(result, ignored); });
}

void VEXCARD_STDCALL hostSlot8(HostObject* self, LongStrHandle text) {
  atHostBoundary(nullptr, [&] { drv(self).HostSlot8(text); });
}

void VEXCARD_STDCALL oilLimit(TPurseInfo* result, HostObject* self) {
  atHostBoundary(result, [&] { drv(self).OilLimit(result); });
}

void VEXCARD_STDCALL hostSlot10(HostObject* self, std::uint32_t value, LongStrHandle text1,
                                LongStrHandle text2, std::uint32_t word1, std::uint32_t word2,
                                std::uint32_t word3, std::uint32_t word4, std::uint32_t word5) {
  atHostBoundary(nullptr, [&] {
    drv(self).HostSlot10(value, text1, text2, word1, word2, word3, word4, word5);
  });
}

void VEXCARD_STDCALL bonusSale(TBonusResult* result, HostObject* self, char mode,
                               std::uint8_t purse, double qty, double sum, LongStrHandle text1,
                               LongStrHandle text2) {
  atHostBoundary(result, [&] { drv(self).BonusSale(result, mode, purse, qty, sum, text1, text2); });
}

void VEXCARD_STDCALL subSchetEx(TSaleResultEx* result, HostObject* self, std::uint8_t requestByte,
                                std::uint8_t purse, double qty, double sum) {
  atHostBoundary(result, [&] { drv(self).SubSchetEx(result, requestByte, purse, qty, sum); });
}

void VEXCARD_STDCALL openShift(HostObject* self, double shiftDate, std::uint8_t shiftNo) {
  atHostBoundary(nullptr, [&] { drv(self).OpenShift(shiftDate, shiftNo); });
}

void VEXCARD_STDCALL closeShift(HostObject* self) {
  atHostBoundary(nullptr, [&] { drv(self).CloseShift(); });
}

void VEXCARD_STDCALL refundSale(std::uint8_t* resultStatus, HostObject* self,
                                std::uint8_t requestByte, LongStrHandle text1, LongStrHandle text2,
                                const std::uint8_t* block, std::int32_t blockHigh,
                                std::uint8_t purse, double qty, double sum, std::uint8_t useReset) {
  atHostBoundary(resultStatus, [&] {
    // The refund sends the first 79 bytes of the block, and zeros when it is shorter.
    const ByteArrayCopy copy(block, blockHigh, driver::kCardBlockSize);
    drv(self).RefundSale(resultStatus, requestByte, text1, text2, copy.data(), copy.high(), purse,
                         qty, sum, useReset);
  });
}

void VEXCARD_STDCALL openPurse(TPurseInfo* result, HostObject* self, std::uint8_t selector) {
  atHostBoundary(result, [&] { drv(self).OpenPurse(result, selector); });
}

void VEXCARD_STDCALL itemLimit(TPurseInfo* result, HostObject* self, std::uint32_t ignored,
                               TItemList items) {
  atHostBoundary(result, [&] { drv(self).ItemLimit(result, ignored, items); });
}

void VEXCARD_STDCALL cardQuantity(TCardInfo* result, HostObject* self, std::uint8_t purse,
                                  Currency price) {
  atHostBoundary(result, [&] { drv(self).CardQuantity(result, purse, price); });
}

void VEXCARD_STDCALL cardQuantityEx(TCardInfo* result, HostObject* self, std::uint8_t purse,
                                    Currency* price) {
  atHostBoundary(result, [&] { drv(self).CardQuantityEx(result, purse, price); });
}

void VEXCARD_STDCALL bonusSale2(TBonusResult* result, HostObject* self, char mode,
                                std::uint8_t purse, double qty, double sum, LongStrHandle text1,
                                LongStrHandle text2, LongStrHandle text3) {
  atHostBoundary(result,
                 [&] { drv(self).BonusSale2(result, mode, purse, qty, sum, text1, text2, text3); });
}

void VEXCARD_STDCALL hostSlot21(HostObject* self) {
  atHostBoundary(nullptr, [&] { drv(self).HostSlot21(); });
}

void VEXCARD_STDCALL bonusSaleEx(TBonusResult* result, HostObject* self, char mode,
                                 std::uint8_t purse, double qty, double sum, LongStrHandle text1,
                                 LongStrHandle text2, LongStrHandle text3, std::uint8_t* block,
                                 std::int32_t blockHigh) {
  atHostBoundary(result, [&] {
    drv(self).BonusSaleEx(result, mode, purse, qty, sum, text1, text2, text3, block, blockHigh);
  });
}

void VEXCARD_STDCALL hostSlot23(HostObject* self, std::uint32_t value, LongStrHandle text,
                                const std::uint8_t* data, std::int32_t dataHigh,
                                std::uint32_t word1, std::uint32_t word2, std::uint32_t word3,
                                std::uint32_t word4) {
  atHostBoundary(nullptr, [&] {
    const ByteArrayCopy copy(data, dataHigh, 0);  // the operation reads none of it
    drv(self).HostSlot23(value, text, copy.data(), copy.high(), word1, word2, word3, word4);
  });
}

void VEXCARD_STDCALL hostSlot24(HostObject* self) {
  atHostBoundary(nullptr, [&] { drv(self).HostSlot24(); });
}

std::int32_t VEXCARD_STDCALL hostSlot25(HostObject* self) {
  return atHostBoundary(nullptr, [&] { return drv(self).HostSlot25(); });
}

std::int32_t VEXCARD_STDCALL hostSlot26(HostObject* self, std::uint32_t value, Variant v) {
  return atHostBoundary(nullptr, [&] {
    const ScopedVariant held(v);
    return drv(self).HostSlot26(value, held.get());
  });
}

std::int32_t VEXCARD_STDCALL hostSlot27(HostObject* self, std::uint32_t value, Variant v) {
  return atHostBoundary(nullptr, [&] {
    const ScopedVariant held(v);
    return drv(self).HostSlot27(value, held.get());
  });
}

void VEXCARD_STDCALL bonusSaleExStr(TBonusResultStr* result, HostObject* self, char mode,
                                    std::uint8_t purse, double qty, double sum, LongStrHandle text1,
                                    LongStrHandle text2, LongStrHandle text3, std::uint8_t* block,
                                    std::int32_t blockHigh) {
  atHostBoundary(result, [&] {
    drv(self).BonusSaleExStr(result, mode, purse, qty, sum, text1, text2, text3, block, blockHigh);
  });
}

constexpr HostVTable kTable{
    destroy,
    {
        dataReceived, getVersion,     setHostFlag, getHostFlag, subSchet,       hostSlot5,
        hostSlot6,    cardInfo,       hostSlot8,   oilLimit,    hostSlot10,     bonusSale,
        subSchetEx,   openShift,      closeShift,  refundSale,  openPurse,      itemLimit,
        cardQuantity, cardQuantityEx, bonusSale2,  hostSlot21,  bonusSaleEx,    hostSlot23,
        hostSlot24,   hostSlot25,     hostSlot26,  hostSlot27,  bonusSaleExStr,
    }};

}  // namespace

const HostVTable& hostTable() noexcept { return kTable; }

HostObject* wrapDriver(std::unique_ptr<driver::TSmartDriver> driver) {
  auto* object = new HostDriverObject{HostObject{&kTable.slots}, driver.get()};
  driver.release();
  return &object->host;
}

driver::TSmartDriver& driverOf(HostObject* object) noexcept {
  return *reinterpret_cast<HostDriverObject*>(object)->driver;
}

}  // namespace vexcard::library
