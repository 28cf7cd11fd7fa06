#include "link/metrics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/temp_folder.h"

namespace vexcard::link {
namespace {

JournalEntry entry(unsigned port, std::int32_t packet, RequestOutcome outcome, bool recorded) {
  JournalEntry e;
  e.request.port = port;
  e.request.packet = packet;
  e.outcome.outcome = outcome;
  e.outcome.recorded = recorded;
  return e;
}

// The port's unknown outcomes not yet settled, a request lost without its outcome line among them;
// the request still under way is not one of them.
TEST(Metrics, UnknownOutcomesOfThePortLeaveOutTheRequestUnderWay) {
  const std::vector<JournalEntry> entries = {
      entry(1, 5, RequestOutcome::kUnknown, true), entry(2, 6, RequestOutcome::kUnknown, true),
      entry(1, 7, RequestOutcome::kUnknown, false), entry(1, 8, RequestOutcome::kDone, true),
      entry(1, 9, RequestOutcome::kUnknown, false)};
  EXPECT_EQ(unsettledUnknownCount(entries, 1, std::nullopt), 3);
  EXPECT_EQ(unsettledUnknownCount(entries, 1, 9), 2);
  EXPECT_EQ(unsettledUnknownCount(entries, 1, 7), 3);  // not the newest: lost, not under way
  std::vector<JournalEntry> settled = entries;
  settled[0].settlement.how = Settlement::kDone;  // reconciled from the shift report
  EXPECT_EQ(unsettledUnknownCount(settled, 1, std::nullopt), 2);
}

// The writer replaces the file whole, leaves no temporary file, and writes a last time at
// its end.
TEST(Metrics, TheWriterReplacesTheFileAndWritesAtItsEnd) {
  test::TempFolder folder;
  const std::string path = folder / "vexcard_com3.prom";
  std::ofstream(path) << "stale\n";
  LinkCounters counters;
  {
    MetricsWriter writer(3, counters, folder.path(), folder / "none.journal");
    EXPECT_EQ(writer.path(), path);
    counters.addMoneyRequest(RequestOutcome::kRefused);
  }
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_NE(text.str().find("vexcard_money_requests_total{port=\"COM3\",outcome=\"refused\"} 1\n"),
            std::string::npos);
  EXPECT_EQ(text.str().find("stale"), std::string::npos);
  EXPECT_EQ(text.str().back(), '\n');
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

}  // namespace
}  // namespace vexcard::link
