#include <gtest/gtest.h>

#include "vexcard/runtime.h"

namespace vexcard {
namespace {

// What HostSlot26/27 do with their Variant argument.
std::int32_t takesVariantByValue(Variant v) {
  ScopedVariant arg(v);
  return v.varType() == VarType::kString ? longStrRefCount(v.value.str) : -1;
}

TEST(Variant, ScalarKindsHoldTheirValues) {
  EXPECT_EQ(variantEmpty().varType(), VarType::kEmpty);
  EXPECT_EQ(variantNull().varType(), VarType::kNull);
  EXPECT_EQ(variantFromInt(-7).value.integer, -7);
  EXPECT_EQ(variantFromDouble(2.5).value.dbl, 2.5);
  Variant v = variantFromInt(5);
  variantAddRef(v);  // nothing to reference
  variantClear(v);
  EXPECT_EQ(v.varType(), VarType::kEmpty);
}

TEST(Variant, AddRefAndClearAreObservableOnTheString) {
  Variant v = variantFromString("text");
  LongStrHandle s = v.value.str;
  EXPECT_EQ(longStrRefCount(s), 1);
  variantAddRef(v);
  EXPECT_EQ(longStrRefCount(s), 2);
  Variant copy = v;  // the bitwise copy that owns the added reference
  variantClear(copy);
  EXPECT_EQ(copy.varType(), VarType::kEmpty);
  EXPECT_EQ(longStrRefCount(s), 1);
  variantClear(v);
}

TEST(Variant, ByValueArgumentIsReferencedInsideAndBalanced) {
  Variant host = variantFromString("host");
  EXPECT_EQ(takesVariantByValue(host), 2);
  EXPECT_EQ(longStrRefCount(host.value.str), 1);
  EXPECT_EQ(host.varType(), VarType::kString);  // the caller's variant is untouched
  variantClear(host);
}

TEST(Variant, CopyReleasesTheOldValueAndSurvivesSelfCopy) {
  Variant a = variantFromString("a");
  Variant b = variantFromString("b");
  LongString watchB = LongString::share(b.value.str);
  variantCopy(b, a);
  EXPECT_EQ(watchB.refCount(), 1);  // b's old string released
  EXPECT_EQ(longStrRefCount(a.value.str), 2);
  variantCopy(a, a);
  EXPECT_EQ(longStrRefCount(a.value.str), 2);
  EXPECT_EQ(longStrView(a.value.str), "a");
  variantClear(a);
  variantClear(b);
}

}  // namespace
}  // namespace vexcard
