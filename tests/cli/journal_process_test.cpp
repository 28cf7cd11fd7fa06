// vexcard journal and vexcard report run as processes on a small journal file: the filters
// and output forms, the settlement of unknown outcomes, and the shift's figures.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "mini_json.h"
#include "platform/files.h"
#include "support/temp_folder.h"

namespace vexcard::test {
namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A request line and, unless result is empty, its outcome line.
std::string record(const std::string& time, int port, int packet, const std::string& command,
                   const std::string& op, int product, const std::string& name,
                   const std::string& amount, const std::string& result,
                   const std::string& money = "", const std::string& block = "") {
  const std::string key = "\tport=" + std::to_string(port) + "\tpacket=" + std::to_string(packet) +
                          "\ttxn=1\tcommand=" + command;
  std::string text = time + ".000\trequest" + key + "\top=" + op +
                     "\tpurse=19\tproduct=" + std::to_string(product) + "\tname=" + name +
                     "\tprice=" + amount + "\tqty=1.00\tamount=" + amount +
                     "\tcard=26430000000000012345\n";
  if (!result.empty()) {
    text += time + ".500\toutcome" + key + "\tresult=" + result + money +
            (block.empty() ? "" : "\tblock=" + block) + "\n";
  }
  return text;
}

class JournalCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string done = "\tcode=0\tmoney1=";
    std::ofstream(file_, std::ios::binary)
        << record("2026-12-09 08:10:00", 1, 10, "tsSale", "BonusSaleEx", 92, "Аи-92", "370.00",
                  "done", done + "370.00\tmoney2=357.05\tmoney3=1000.00")
        << record("2026-12-09 09:00:00", 2, 11, "tsSale", "SubSchetEx", 92, "Аи-92", "100.00",
                  "done", done + "100.00\tmoney2=100.00\tmoney3=0.00")
        // A plain sale: its card's second status byte (00) makes it non-cash.
        << record("2026-12-09 10:00:00", 1, 12, "tsSale", "SubSchet", 95, "Аи-95, \"super\"",
                  "55.56", "done", done + "55.56\tmoney2=50.005\tmoney3=0.00",
                  "264300000000000123450000")
        << record("2026-12-09 11:00:00", 1, 13, "tsRefund", "RefundSale", 92, "Аи-92", "370.00",
                  "done", done + "0.00\tmoney2=0.00\tmoney3=0.00")
        << record("2026-12-09 11:30:00", 1, 14, "tsDebit", "BonusSaleEx", 92, "Аи-92", "370.00",
                  "done", done + "370.00\tmoney2=357.05\tmoney3=0.00")
        << record("2026-12-09 12:00:00", 1, 15, "tsSale", "BonusSaleEx", 92, "Аи-92", "10.00",
                  "refused", "\tcode=5")
        << record("2026-12-09 13:00:00", 1, 20, "tsSale", "BonusSaleEx", 92, "Аи-92", "185.00", "")
        << record("2026-12-09 14:00:00", 2, 20, "tsSale", "SubSchetEx", 92, "Аи-92", "200.00", "")
        << record("2026-12-10 08:00:00", 1, 21, "tsSale", "BonusSaleEx", 92, "Аи-92", "10.00",
                  "done", done + "10.00\tmoney2=10.00\tmoney3=0.00");
  }
  ProcessResult run(std::vector<std::string> args) {
    args.insert(args.end(), {"--file", file_});
    return runProcess(VEXCARD_CLI_PATH, args,
                      {{"VEXCARD_LOG_DIR", tmp_ / "no-such-folder"}, {"VEXCARD_SETTINGS_DIR", ""}});
  }
  Json json(std::vector<std::string> args) {
    args.push_back("--json");
    const ProcessResult r = run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return parseJson(r.out);
  }

  TempFolder tmp_;
  std::string file_ = tmp_ / "VexCard.journal";
};

TEST_F(JournalCommandTest, FiltersByPortAndTimeAndPrintsCsvJsonLinesAndMaskedCards) {
  const Json port2 = json({"journal", "--port", "2"});
  ASSERT_EQ(port2["records"].array.size(), 2u);
  EXPECT_EQ(port2["records"][1]["time"].string, "2026-12-09 14:00:00.000");
  // --until takes in the whole of its last minute or day.
  const Json span = json({"journal", "--since", "2026-12-09 10:00", "--until", "2026-12-09 11:00"});
  ASSERT_EQ(span["records"].array.size(), 2u);
  EXPECT_EQ(json({"journal", "--until", "2026-12-09"})["records"].array.size(), 8u);
  EXPECT_EQ(run({"journal", "--until", "2026-12-32"}).exitCode, 2);
  EXPECT_EQ(run({"journal", "--csv", "--json-lines"}).exitCode, 2);

  const ProcessResult csv = run({"journal", "--csv", "--mask-cards", "--since", "2026-12-09 10:00",
                                 "--until", "2026-12-09 10:00"});
  ASSERT_EQ(csv.exitCode, 0) << csv.err;
  std::istringstream lines(csv.out);
  std::string header, row, more;
  std::getline(lines, header);
  std::getline(lines, row);
  EXPECT_EQ(header.substr(0, 21), "time,port,packet,tran");
  EXPECT_EQ(header.back(), '\r');
  EXPECT_TRUE(
      contains(row, ",\"Аи-95, \"\"super\"\"\",55.56,1.00,55.56,264300**********2345,done,"))
      << row;
  EXPECT_TRUE(contains(row, ",0,55.56,50.005,0.00,,,\r")) << row;
  EXPECT_FALSE(std::getline(lines, more));

  const ProcessResult shipped = run({"journal", "--json-lines", "--mask-cards", "--port", "1"});
  std::istringstream objects(shipped.out);
  std::vector<Json> parsed;
  for (std::string line; std::getline(objects, line);) parsed.push_back(parseJson(line));
  ASSERT_EQ(parsed.size(), 7u);
  EXPECT_EQ(parsed[1]["reply_block"].string, "264300FFFFFFFFFF23450000");
  EXPECT_EQ(parsed[1]["card"].string, "264300**********2345");
}

TEST_F(JournalCommandTest, ResolveSettlesOneUnknownOutcomeAndTheReportCountsTheShift) {
  Json report = json({"report", "--until", "2026-12-09"});
  EXPECT_EQ(report["open_unknown"].array.size(), 2u);
  // Refused, writing nothing: two requests have packet 20; none has 15 (refused) or 99.
  const std::int64_t size = platform::fileSize(file_);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"journal", "resolve", "20", "--as", "done"},
        {"journal", "resolve", "15", "--as", "done"},
        {"journal", "resolve", "99", "--as", "done"},
        {"journal", "resolve", "20", "--port", "1", "--as", "maybe"},
        {"journal", "resolve", "20", "--port", "1"},
        {"journal", "--unknown", "--as", "done"}}) {
    EXPECT_EQ(run(bad).exitCode, 2) << bad[2];
  }
  EXPECT_TRUE(contains(run({"journal", "resolve", "20", "--as", "done"}).err,
                       "2026-12-09 14:00:00.000 COM2"));
  EXPECT_EQ(platform::fileSize(file_), size);

  const ProcessResult settled =
      run({"journal", "resolve", "20", "--port", "1", "--as", "done", "--note", "Z-report 14"});
  EXPECT_EQ(settled.exitCode, 0) << settled.err;
  EXPECT_TRUE(contains(settled.out, "-> unknown (no outcome recorded), settled as done "))
      << settled.out;
  EXPECT_TRUE(contains(settled.out, "(Z-report 14)")) << settled.out;
  EXPECT_EQ(
      run({"journal", "resolve", "20", "--since", "2026-12-09 13:30", "--as", "not-done"}).exitCode,
      0);
  EXPECT_EQ(run({"journal", "resolve", "20", "--port", "1", "--as", "not-done"}).exitCode, 2);
  EXPECT_TRUE(contains(run({"journal", "--unknown"}).out, ": 0 request(s)"));
  const ProcessResult listed = run({"journal", "--port", "2"});
  EXPECT_TRUE(contains(listed.out, "(no outcome recorded), settled as not-done")) << listed.out;

  // Sales with their reply's figures, the refund at its sum, the settled sale apart; the
  // quote, the refused and the not-done moved nothing; the next day is left out.
  report = json({"report", "--until", "2026-12-09"});
  ASSERT_EQ(report["groups"].array.size(), 3u);
  const Json& bonus = report["groups"][0];
  EXPECT_EQ(bonus["card_kind"].string, "bonus");
  EXPECT_EQ(bonus["sales"].number, 1);
  EXPECT_EQ(bonus["discount"].string, "12.95");
  EXPECT_EQ(bonus["refunded"].string, "370.00");
  EXPECT_EQ(bonus["settled_sales_sum"].string, "185.00");
  EXPECT_EQ(report["groups"][1]["card_kind"].string, "non-cash");
  const Json& plain = report["groups"][2];
  EXPECT_EQ(plain["card_kind"].string, "non-cash");
  EXPECT_EQ(plain["charged"].string, "50.01");
  EXPECT_EQ(plain["discount"].string, "5.56");
  EXPECT_EQ(report["total"]["charged"].string, "507.06");
  EXPECT_EQ(report["total"]["gross"].string, "525.56");
  EXPECT_EQ(report["quotes"].number, 1);
  EXPECT_EQ(report["no_money_moved"].number, 2);
  EXPECT_EQ(report["open_unknown"].array.size(), 0u);
  const ProcessResult csv = run({"report", "--csv", "--until", "2026-12-09"});
  EXPECT_TRUE(contains(csv.out, "\r\n95,\"Аи-95, \"\"super\"\"\",non-cash,1,55.56,5.56,50.01,"))
      << csv.out;
  EXPECT_TRUE(contains(csv.out, "\r\n,total,,3,525.56,18.51,507.06,1,370.00,1,185.00\r\n"))
      << csv.out;
}

}  // namespace
}  // namespace vexcard::test
