#include "vexcard/host_interface.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vexcard {
namespace {

// A stand-in driver object laid out as the host sees one: the first word points at
// slot 0 of a HostVTable whose word -1 is the destructor.
struct FakeDriver {
  HostObject head;
  int destroyed = 0;
  std::uint8_t flag = 0;
};

FakeDriver* self(HostObject* o) { return reinterpret_cast<FakeDriver*>(o); }

void VEXCARD_STDCALL fakeDestroy(HostObject* o) { self(o)->destroyed++; }
void VEXCARD_STDCALL fakeGetVersion(std::uint8_t* result, HostObject*) {
  writeShortString(result, kVersionBufferSize, "v2.4#abcdefghij");
}
void VEXCARD_STDCALL fakeSetHostFlag(HostObject* o, std::uint32_t, std::uint8_t v) {
  self(o)->flag = v;
}
std::uint8_t VEXCARD_STDCALL fakeGetHostFlag(HostObject* o, std::uint32_t) { return self(o)->flag; }
void VEXCARD_STDCALL fakeItemLimit(TPurseInfo* r, HostObject*, std::uint32_t, TItemList items) {
  const TItemRequest& third = items.Items[2];
  r->AllowedQty = extendedToDouble(third.Qty);
  r->AllowedSum = static_cast<double>(third.Price.raw) / 10000.0 * r->AllowedQty;
  r->PurseNo = static_cast<std::uint8_t>(third.Purse);
}
void VEXCARD_STDCALL fakeBonusSaleExStr(TBonusResultStr* r, HostObject*, char, std::uint8_t, double,
                                        double, LongStrHandle, LongStrHandle, LongStrHandle,
                                        std::uint8_t*, std::int32_t) {
  longStrAssign(r->CardType, std::string_view("11234"));
  longStrAssign(r->CardNumber, std::string_view("212345678901234567890"));
}
void VEXCARD_STDCALL fakeAbstract(HostObject*) { raiseAbstractError(); }

HostVTable makeTable() {
  HostVTable t{};
  t.Destroy = fakeDestroy;
  t.slots.GetVersion = fakeGetVersion;
  t.slots.SetHostFlag = fakeSetHostFlag;
  t.slots.GetHostFlag = fakeGetHostFlag;
  t.slots.ItemLimit = fakeItemLimit;
  t.slots.BonusSaleExStr = fakeBonusSaleExStr;
  t.slots.HostSlot21 = fakeAbstract;
  return t;
}

TEST(HostInterface, TableIsReachedThroughTheFirstWordWithTheDestructorBeforeSlotZero) {
  static const HostVTable table = makeTable();
  FakeDriver driver{{&table.slots}};
  HostObject* object = &driver.head;

  ASSERT_EQ(hostDestructor(object), &fakeDestroy);
  // Index -1 of the slot array is the destructor word.
  EXPECT_EQ(reinterpret_cast<const void* const*>(object->slots)[-1],
            reinterpret_cast<const void*>(&fakeDestroy));

  std::uint8_t version[13];
  std::memset(version, 0xFF, sizeof version);
  hostSlots(object).GetVersion(version, object);
  EXPECT_EQ(version[0], 11);
  EXPECT_EQ(readShortString(version, kVersionBufferSize), "v2.4#abcdef");
  EXPECT_EQ(version[12], 0xFF);  // the caller's byte past the buffer stays

  hostSlots(object).SetHostFlag(object, 7, 5);
  EXPECT_EQ(hostSlots(object).GetHostFlag(object, 9), 5);
  EXPECT_THROW(hostSlots(object).HostSlot21(object), EAbstractError);

  hostDestructor(object)(object);
  EXPECT_EQ(driver.destroyed, 1);
}

TEST(HostInterface, ItemListTravelsByValue) {
  static const HostVTable table = makeTable();
  FakeDriver driver{{&table.slots}};
  TItemList list{};
  list.Count = 3;
  list.Items[2].Purse = 19;
  list.Items[2].Price = Currency::fromRaw(25000);
  list.Items[2].Qty = extendedFromLongDouble(40.0L);
  TPurseInfo result{};
  hostSlots(&driver.head).ItemLimit(&result, &driver.head, 0, list);
  EXPECT_EQ(result.AllowedQty, 40.0);
  EXPECT_EQ(result.AllowedSum, 100.0);
  EXPECT_EQ(result.PurseNo, 19);
}

TEST(HostInterface, StringResultFieldsReleaseWhatTheHostPassed) {
  static const HostVTable table = makeTable();
  FakeDriver driver{{&table.slots}};
  LongString hostType("old type");
  TBonusResultStr r{};
  r.CardType = hostType.get();
  longStrAddRef(r.CardType);  // the record holds its own reference
  r.CardNumber = nullptr;
  hostSlots(&driver.head)
      .BonusSaleExStr(&r, &driver.head, 'A', 19, 20.0, 370.0, nullptr, nullptr, nullptr, nullptr,
                      -1);
  EXPECT_EQ(hostType.refCount(), 1);
  EXPECT_EQ(longStrView(r.CardType), "11234");
  EXPECT_EQ(longStrView(r.CardNumber), "212345678901234567890");
  longStrRelease(r.CardType);
  longStrRelease(r.CardNumber);
}

TEST(HostRecords, SizesAndTheWidenedStringRecord) {
  EXPECT_EQ(sizeof(TCardInfo), 64u);
  EXPECT_EQ(sizeof(TPurseInfo), 88u);
  EXPECT_EQ(sizeof(TItemRequest), 32u);
  EXPECT_EQ(sizeof(TItemList), 264u);
  EXPECT_EQ(sizeof(TSaleResult), 64u);
  EXPECT_EQ(sizeof(TSaleResultEx), 176u);
  EXPECT_EQ(sizeof(TBonusResult), 72u);
  EXPECT_EQ(sizeof(TBonusResultStr), sizeof(void*) == 8 ? 64u : 56u);
  EXPECT_EQ(offsetof(TBonusResultStr, CardType) % sizeof(void*), 0u);
  EXPECT_EQ(offsetof(TBonusResultStr, CardNumber),
            offsetof(TBonusResultStr, CardType) + sizeof(void*));
  EXPECT_EQ(sizeof(Variant), 16u);
}

TEST(HostRecords, ShortStringFieldsWriteOnlyTheirBytes) {
  TCardInfo info;
  std::memset(&info, 0xFF, sizeof info);
  info.CardType.set("0100");
  info.CardDigits.set("12345678");
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
  EXPECT_EQ(bytes[1], 4);
  EXPECT_EQ(std::memcmp(bytes + 2, "0100", 4), 0);
  EXPECT_EQ(bytes[6], 6);
  EXPECT_EQ(std::memcmp(bytes + 7, "123456", 6), 0);
  EXPECT_EQ(bytes[13], 0xFF);  // the gap keeps the host's bytes
  EXPECT_EQ(bytes[0], 0xFF);
}

}  // namespace
}  // namespace vexcard
