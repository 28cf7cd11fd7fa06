// The logger's hooks for tools that run the driver in their own process: the default-path
// override and the line observer.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/logger.h"
#include "support/temp_folder.h"

namespace vexcard::logging {
namespace {

std::mutex g_seenLock;
std::vector<std::string> g_seen;

void record(std::string_view text) noexcept {
  std::lock_guard<std::mutex> g(g_seenLock);
  g_seen.emplace_back(text);
}

class LoggerHooksTest : public ::testing::Test {
 protected:
  LoggerHooksTest() {
    testing::resetLogState();
    std::lock_guard<std::mutex> g(g_seenLock);
    g_seen.clear();
  }
  ~LoggerHooksTest() override {
    setLineObserver(nullptr);
    setDefaultLogPathOverride({});
    testing::resetLogState();
  }
};

TEST_F(LoggerHooksTest, DefaultPathOverrideAndBack) {
  const std::string platformPath = DefaultLogPath();
  setDefaultLogPathOverride("/some/where/else.log");
  EXPECT_EQ(DefaultLogPath(), "/some/where/else.log");
  setDefaultLogPathOverride({});
  EXPECT_EQ(DefaultLogPath(), platformPath);
}

TEST_F(LoggerHooksTest, ObserverSeesEveryTextAlsoWhileLoggingIsOff) {
  setLineObserver(&record);
  WriteLog(1, "before any path");  // LogPath empty: nothing written, still observed
  test::TempFolder tmp;
  SetLogPath(tmp / "VexCard.log");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) WriteLog(1, "line " + std::to_string(t));
    });
  }
  for (std::thread& t : threads) t.join();
  setLineObserver(nullptr);
  WriteLog(1, "after");
  std::lock_guard<std::mutex> g(g_seenLock);
  ASSERT_EQ(g_seen.size(), 201u);
  EXPECT_EQ(g_seen.front(), "before any path");
}

}  // namespace
}  // namespace vexcard::logging
