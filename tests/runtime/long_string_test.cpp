#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "vexcard/runtime.h"

namespace vexcard {
namespace {

// What an operation does with a string argument passed by value.
void takesByValue(LongStrHandle text, std::int32_t* countInside) {
  LongString held = LongString::share(text);
  *countInside = longStrRefCount(text);
}

TEST(LongString, EmptyIsNullAndNewStringHasOneReference) {
  EXPECT_EQ(longStrNew(""), nullptr);
  EXPECT_EQ(longStrRefCount(nullptr), 0);
  EXPECT_EQ(longStrView(nullptr), "");
  longStrAddRef(nullptr);  // ignored
  longStrRelease(nullptr);

  LongString s("Abc");
  EXPECT_EQ(s.refCount(), 1);
  EXPECT_EQ(s.view(), "Abc");
  EXPECT_EQ(s.size(), 3u);
  EXPECT_EQ(s.get()[3], '\0');  // terminated for C callers
  EXPECT_TRUE(LongString("").empty());
}

TEST(LongString, KeepsEmbeddedZeroAndHighBytes) {
  const std::string text("\xC0\x00\xFF", 3);
  LongString s(text);
  EXPECT_EQ(s.str(), text);
}

TEST(LongString, CopiesShareAndAssignmentReleasesTheOldValue) {
  LongString a("one");
  LongString b("two");
  LongStrHandle two = b.get();
  {
    LongString c = a;
    EXPECT_EQ(c.get(), a.get());
    EXPECT_EQ(a.refCount(), 2);
    c = b;  // gives up "one", takes "two"
    EXPECT_EQ(a.refCount(), 1);
    EXPECT_EQ(longStrRefCount(two), 2);
  }
  EXPECT_EQ(longStrRefCount(two), 1);
  LongString& alias = a;
  a = alias;  // self-assignment keeps the string alive
  EXPECT_EQ(a.view(), "one");
  EXPECT_EQ(a.refCount(), 1);
  LongString moved = std::move(a);
  EXPECT_TRUE(a.empty());  // NOLINT: moved-from state is specified
  EXPECT_EQ(moved.refCount(), 1);
}

TEST(LongString, RawAssignmentReleasesAndReferences) {
  LongStrHandle field = longStrNew("old");
  LongString keep = LongString::share(field);  // observe the old value
  LongString fresh("new");
  longStrAssign(field, fresh.get());
  EXPECT_EQ(keep.refCount(), 1);  // the field's reference was released
  EXPECT_EQ(fresh.refCount(), 2);
  longStrAssign(field, std::string_view("text"));
  EXPECT_EQ(fresh.refCount(), 1);
  EXPECT_EQ(longStrView(field), "text");
  longStrAssign(field, std::string_view(longStrView(field).substr(1)));  // from itself
  EXPECT_EQ(longStrView(field), "ext");
  longStrAssign(field, LongStrHandle{nullptr});
  EXPECT_EQ(field, nullptr);
}

TEST(LongString, ByValueArgumentIsBalanced) {
  LongString host("argument");
  std::int32_t inside = 0;
  takesByValue(host.get(), &inside);
  EXPECT_EQ(inside, 2);
  EXPECT_EQ(host.refCount(), 1);
  takesByValue(nullptr, &inside);  // an empty argument is a null handle
  EXPECT_EQ(inside, 0);
}

TEST(LongString, AdoptAndDetachHandOverTheReference) {
  LongStrHandle raw = longStrNew("x");
  {
    LongString owner = LongString::adopt(raw);
    EXPECT_EQ(owner.refCount(), 1);
    EXPECT_EQ(owner.detach(), raw);
  }
  EXPECT_EQ(longStrRefCount(raw), 1);
  longStrRelease(raw);
}

TEST(LongString, ConcurrentReferencesBalance) {
  LongString shared("shared");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([h = shared.get()] {
      for (int i = 0; i < 10000; ++i) {
        LongString copy = LongString::share(h);
        LongString second = copy;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(shared.refCount(), 1);
}

TEST(LongString, LastHolderOnAnotherThreadFreesIt) {
  // Handed from thread to thread; the sanitizers see a use after free or a leak if the
  // count goes wrong.
  LongStrHandle h = longStrNew("moving");
  longStrAddRef(h);
  std::thread other([h] { longStrRelease(h); });
  EXPECT_EQ(longStrView(h), "moving");
  other.join();
  EXPECT_EQ(longStrRefCount(h), 1);
  longStrRelease(h);
}

}  // namespace
}  // namespace vexcard
