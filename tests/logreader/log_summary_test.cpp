// The summary of the golden logs: requests by outcome, the line's faults, the unsettled
// money request; and a keep-alive poll told from the tsReset the link sends itself.
#include "logreader/log_summary.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/codepage.h"

namespace vexcard::logreader {
namespace {

using namespace vexcard::literals;

std::string goldenLog(const std::string& name) {
  std::ifstream in(std::string(VEXCARD_TEST_SOURCE_DIR) + "../golden/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using Counts = std::array<std::size_t, kOutcomeCount>;  // done, refused, not carried out, unknown

TEST(LogSummaryTest, FaultsAndOutcomesOfTheGoldenLogs) {
  const auto faults = summarizeLog(goldenLog("sale-faults.log"), false);
  ASSERT_EQ(faults.size(), 1u);
  const PeriodSummary& f = faults[0];
  EXPECT_EQ(f.outcomes.at("tsSale"), (Counts{1, 0, 0, 0}));  // done at the fifth attempt
  EXPECT_EQ(f.retries, 4u);
  EXPECT_EQ(f.timeouts, 1u);
  EXPECT_EQ(f.refusals, 1u);
  EXPECT_EQ(f.spoiled, 2u);
  EXPECT_EQ(f.handshakeFailures, 2u);
  EXPECT_EQ(f.polls, 0u);
  EXPECT_EQ(f.durations.at("tsSale").count, 1u);
  EXPECT_NEAR(f.durations.at("tsSale").wireFloorMs, (73 + 2 * (102 + 3) + 1) * 10 / 9.6, 0.01);

  const PeriodSummary codes = summarizeLog(goldenLog("terminal-codes.log"), false).at(0);
  EXPECT_EQ(codes.outcomes.at("tsSale"), (Counts{1, 0, 0, 1}));
  EXPECT_EQ(codes.outcomes.at("tsOpenShift"), (Counts{1, 1, 0, 0}));  // 0x83: already open
  EXPECT_EQ(codes.outcomes.at("tsResumeShift"), (Counts{1, 0, 0, 0}));
  ASSERT_EQ(codes.unsettled.size(), 1u);
  EXPECT_EQ(codes.unsettled[0].verdict, "code 1 «Команда принята, выполняется»");
  EXPECT_EQ(codes.polls, 0u);  // the tsReset after 0x8F and 0x01 are the link's own

  const PeriodSummary reconnect = summarizeLog(goldenLog("reconnect.log"), false).at(0);
  EXPECT_EQ(reconnect.reconnects, 1u);
  EXPECT_EQ(reconnect.timeouts, 1u);
  EXPECT_EQ(reconnect.outcomes.at("tsReadCard"), (Counts{2, 0, 0, 0}));
}

TEST(LogSummaryTest, AKeepAlivePollInItsHour) {
  const std::string log(
      "+ 09.12 14:59:00.000 [] [COM1]:  Send: 36 30 30 33 30 35 30 30 31 39 37 46 03\r\n"
      "+ 09.12 14:59:00.020 [] [COM1]:  Команда выполнена:  05 00 00\r\n"
      "+ 09.12 15:00:00.000 [] [COM1]:  Send: 36 30 30 32 30 36 30 41 36 45 03\r\n"_w1251);
  const auto hours = summarizeLog(log, true);
  ASSERT_EQ(hours.size(), 2u);
  EXPECT_EQ(hours[0].period, "09.12 14");
  EXPECT_EQ(hours[0].polls, 1u);
  EXPECT_EQ(hours[0].outcomes.at("tsReset"), (Counts{1, 0, 0, 0}));
  EXPECT_EQ(hours[1].exchanges, 1u);
  EXPECT_EQ(hours[1].outcomes.at("tsReadCard"), (Counts{0, 0, 1, 0}));  // no reply logged
}

}  // namespace
}  // namespace vexcard::logreader
