// The operation table as a test host uses it: every slot reached by its index with its
// exact type, the arguments held for the call, the forwarding slots calling the driver's
// own operation, and the destructor at index -1. The driver sits on a virtual line with no
// terminal: none of these slots may talk to one.
#include "library/host_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>

#include "driver/smart_driver.h"
#include "platform/codepage.h"
#include "support/driver_env.h"
#include "support/host_calls.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;

// What the operations the forwarding slots reach received.
struct Forwarded {
  char mode = 0;
  std::uint8_t purse = 0;
  double qty = 0, sum = 0;
  LongStrHandle text1 = nullptr, text2 = nullptr, text3 = nullptr;
  std::uint8_t* block = reinterpret_cast<std::uint8_t*>(1);
  std::int32_t high = 0;
  Currency price;
  int calls = 0;
};
Forwarded forwarded;

// A driver that records what its pass-through operations receive during the call.
struct SpyDriver : driver::TSmartDriver {
  SpyDriver() : TSmartDriver(1) {}
  void HostSlot8(LongStrHandle text) override { refsInCall = longStrRefCount(text); }
  void HostSlot23(std::uint32_t, LongStrHandle text, const std::uint8_t* data, std::int32_t high,
                  std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) override {
    refsInCall = longStrRefCount(text);
    arrayInCall = data;
    highInCall = high;
    if (data != nullptr) firstInCall = data[0];
  }
  void RefundSale(std::uint8_t*, std::uint8_t, LongStrHandle, LongStrHandle,
                  const std::uint8_t* block, std::int32_t high, std::uint8_t, double, double,
                  std::uint8_t) override {
    highInCall = high;
    if (block != nullptr) lastInCall = block[high];
  }
  void BonusSaleEx(TBonusResult* result, char mode, std::uint8_t purse, double qty, double sum,
                   LongStrHandle text1, LongStrHandle text2, LongStrHandle text3,
                   std::uint8_t* block, std::int32_t high) override {
    forwarded = {mode, purse, qty, sum, text1, text2, text3, block, high, {}, forwarded.calls + 1};
    result->Status = 0x42;
  }
  void CardQuantityEx(TCardInfo* result, std::uint8_t purse, Currency* price) override {
    forwarded.purse = purse;
    forwarded.price = *price;
    price->raw = 1;  // a change the host must never see
    ++forwarded.calls;
    result->Status = 0x43;
  }
  std::int32_t HostSlot26(std::uint32_t, Variant v) override {
    refsInCall = longStrRefCount(v.value.str);
    return 0;
  }
  std::int32_t refsInCall = -1;
  const std::uint8_t* arrayInCall = nullptr;
  std::int32_t highInCall = -2;
  std::uint8_t firstInCall = 0;
  std::uint8_t lastInCall = 0;
};

class HostTableTest : public ::testing::Test {
 protected:
  HostTableTest() {
    line = env.line(1);
    auto owned = std::make_unique<SpyDriver>();
    spy = owned.get();
    host = library::wrapDriver(std::move(owned));
  }
  ~HostTableTest() override {
    if (host != nullptr) hostDestructor(host)(host);
  }
  // Nothing reached the terminal's end of the line.
  bool lineQuiet() { return line->pendingInput(DriverEnv::kTerminalEnd) == 0; }

  DriverEnv env;
  std::shared_ptr<comport::VirtualSerialPair> line;
  SpyDriver* spy = nullptr;
  HostObject* host = nullptr;
};

TEST_F(HostTableTest, FirstWordPointsAtSlotZeroWithTheDestructorBeforeIt) {
  EXPECT_EQ(host->slots, &library::hostTable().slots);
  EXPECT_EQ(&library::driverOf(host), spy);
  for (int index = -1; index < kHostSlotCount; ++index) {
    EXPECT_NE(slotAt<void (*)()>(host, index), nullptr) << index;
  }
  hostDestructor(host)(host);
  host = nullptr;
  EXPECT_TRUE(line->waitUntilClosed(DriverEnv::kDriverEnd));
}

TEST_F(HostTableTest, VersionFillsExactlyTwelveBytes) {
  std::uint8_t buffer[13];
  std::memset(buffer, 0xFF, sizeof buffer);
  callSlot<GetVersionFn>(host, 1, buffer, host);
  EXPECT_EQ(buffer[0], 11);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(buffer + 1), 11), "v2.4#Веркан"_w1251);
  EXPECT_EQ(buffer[12], 0xFF);
}

TEST_F(HostTableTest, HostFlagIsStoredAndReturned) {
  EXPECT_EQ(callSlot<GetHostFlagFn>(host, 3, host, 9u), 0);
  callSlot<SetHostFlagFn>(host, 2, host, 7u, std::uint8_t{5});
  EXPECT_EQ(callSlot<GetHostFlagFn>(host, 3, host, 9u), 5);
}

TEST_F(HostTableTest, PassThroughSlotsLeaveUnreadTextsAloneAndHoldTheRest) {
  LongString text("held by the host");
  callSlot<HostSlot8Fn>(host, 8, host, text.get());
  EXPECT_EQ(spy->refsInCall, 1);  // no operation reads its texts: no reference is taken
  EXPECT_EQ(text.refCount(), 1);

  LongString other("another");
  callSlot<HostSlot10Fn>(host, 10, host, 1u, text.get(), other.get(), 1u, 2u, 3u, 4u, 5u);
  EXPECT_EQ(text.refCount(), 1);
  EXPECT_EQ(other.refCount(), 1);

  // Open arrays are copied as far as the operation reads them: HostSlot23 reads none,
  // RefundSale the first 79 bytes, however large the highest index the host claims.
  const std::uint8_t bytes[3] = {7, 8, 9};
  callSlot<HostSlot23Fn>(host, 23, host, 1u, text.get(), bytes, 2, 1u, 2u, 3u, 4u);
  EXPECT_EQ(spy->refsInCall, 1);
  EXPECT_EQ(spy->arrayInCall, nullptr);
  EXPECT_EQ(spy->highInCall, -1);
  EXPECT_EQ(text.refCount(), 1);
  std::uint8_t block[driver::kCardBlockSize] = {};
  block[78] = 0x5A;
  std::uint8_t status = 0;
  callSlot<RefundSaleFn>(host, 15, &status, host, std::uint8_t{1}, nullptr, nullptr, block,
                         std::numeric_limits<std::int32_t>::max(), std::uint8_t{2}, 1.0, 1.0,
                         std::uint8_t{0});
  EXPECT_EQ(spy->highInCall, 78);
  EXPECT_EQ(spy->lastInCall, 0x5A);

  Variant v = variantFromString("in a variant");
  const LongStrHandle inVariant = v.value.str;
  EXPECT_EQ(callSlot<HostSlot26Fn>(host, 26, host, 1u, v), 0);
  EXPECT_EQ(spy->refsInCall, 2);
  EXPECT_EQ(callSlot<HostSlot27Fn>(host, 27, host, 1u, v), 0);
  EXPECT_EQ(longStrRefCount(inVariant), 1);
  EXPECT_EQ(v.varType(), VarType::kString);
  variantClear(v);

  EXPECT_EQ(callSlot<HostSlot25Fn>(host, 25, host), 0);
  EXPECT_EQ(spy->HostFlag, 0);
  EXPECT_TRUE(lineQuiet());
}

TEST_F(HostTableTest, SlotsWithoutABodyRaiseTheAbstractError) {
  callSlot<SetHostFlagFn>(host, 2, host, 0u, std::uint8_t{3});
  EXPECT_THROW(callSlot<HostSlot21Fn>(host, 21, host), EAbstractError);
  EXPECT_THROW(callSlot<HostSlot24Fn>(host, 24, host), EAbstractError);
  EXPECT_EQ(callSlot<GetHostFlagFn>(host, 3, host, 0u), 3);
  EXPECT_EQ(spy->TransactionNo, 1);
  EXPECT_TRUE(lineQuiet());
}

// A table entry the forwarding slots must not go through: one host-boundary wrapper
// inside another would hand the inner one's error to the host past the outer frames.
int viaTable = 0;
void VEXCARD_STDCALL bonusSaleExViaTable(TBonusResult*, HostObject*, char, std::uint8_t, double,
                                         double, LongStrHandle, LongStrHandle, LongStrHandle,
                                         std::uint8_t*, std::int32_t) {
  ++viaTable;
}
void VEXCARD_STDCALL cardQuantityExViaTable(TCardInfo*, HostObject*, std::uint8_t, Currency*) {
  ++viaTable;
}

TEST_F(HostTableTest, ForwardingSlotsCallTheDriversOwnOperation) {
  HostVTable patched = library::hostTable();
  patched.slots.BonusSaleEx = bonusSaleExViaTable;
  patched.slots.CardQuantityEx = cardQuantityExViaTable;
  host->slots = &patched.slots;
  forwarded = {};
  LongString t1("one"), t2("two"), t3("three");

  TBonusResult r = filled<TBonusResult>();
  callSlot<BonusSaleFn>(host, 11, &r, host, '+', std::uint8_t{19}, 20.0, 370.0, t1.get(), t2.get());
  EXPECT_EQ(forwarded.calls, 1);
  EXPECT_EQ(r.Status, 0x42);
  EXPECT_EQ(forwarded.mode, '+');
  EXPECT_EQ(forwarded.purse, 19);
  EXPECT_EQ(forwarded.qty, 20.0);
  EXPECT_EQ(forwarded.sum, 370.0);
  EXPECT_EQ(forwarded.text1, t1.get());
  EXPECT_EQ(forwarded.text2, t2.get());
  EXPECT_EQ(forwarded.text3, nullptr);
  EXPECT_EQ(forwarded.block, nullptr);
  EXPECT_EQ(forwarded.high, -1);

  callSlot<BonusSale2Fn>(host, 20, &r, host, 'A', std::uint8_t{2}, 1.0, 2.0, t1.get(), t2.get(),
                         t3.get());
  EXPECT_EQ(forwarded.calls, 2);
  EXPECT_EQ(forwarded.text3, t3.get());
  EXPECT_EQ(forwarded.high, -1);

  TCardInfo info = filled<TCardInfo>();
  const Currency price = Currency::fromRaw(450000);
  callSlot<CardQuantityFn>(host, 18, &info, host, std::uint8_t{2}, price);
  EXPECT_EQ(forwarded.calls, 3);
  EXPECT_EQ(forwarded.price.raw, 450000);
  EXPECT_EQ(info.Status, 0x43);
  EXPECT_EQ(viaTable, 0);
  EXPECT_EQ(t1.refCount(), 1);
  EXPECT_TRUE(lineQuiet());
  host->slots = &library::hostTable().slots;
}

}  // namespace
}  // namespace vexcard::test
