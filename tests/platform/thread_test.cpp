#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "vexcard/exception.h"

namespace vexcard::platform {
namespace {

TEST(Thread, RunsTheBodyOnceAndJoins) {
  std::atomic<int> runs{0};
  std::promise<bool> current;
  Thread t;
  EXPECT_FALSE(t.joinable());
  t.start([&] {
    ++runs;
    current.set_value(t.isCurrent());
  });
  EXPECT_TRUE(current.get_future().get());  // isCurrent inside the body
  EXPECT_FALSE(t.isCurrent());
  EXPECT_TRUE(t.joinable());
  t.join();
  EXPECT_FALSE(t.joinable());
  EXPECT_EQ(runs.load(), 1);
  t.join();  // again: nothing
}

TEST(Thread, StartingTwiceIsRefusedAndRestartAfterJoinWorks) {
  std::promise<void> release;
  auto released = release.get_future().share();
  Thread t;
  t.start([released] { released.wait(); });
  EXPECT_THROW(t.start([] {}), Exception);
  release.set_value();
  t.join();
  std::atomic<bool> ran{false};
  t.start([&] { ran = true; });
  t.join();
  EXPECT_TRUE(ran.load());
}

TEST(Thread, HighPriorityIsARequestThatNeverFailsTheStart) {
  std::atomic<bool> ran{false};
  {
    Thread t;
    t.start([&] { ran = true; }, true);
  }  // the destructor joins
  EXPECT_TRUE(ran.load());
}

TEST(Thread, BodyMayJoinItsOwnThreadWithoutBlocking) {
  std::promise<void> done;
  Thread t;
  t.start([&] {
    t.join();  // from its own body: does nothing
    done.set_value();
  });
  done.get_future().wait();
  t.join();
  EXPECT_FALSE(t.joinable());
}

}  // namespace
}  // namespace vexcard::platform
