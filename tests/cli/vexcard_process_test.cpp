// The vexcard command run as a process, as a user runs it: help and usage errors, results
// as text and JSON, the driver's errors, the demo, and the log of a real run decoded.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "mini_json.h"
#include "support/temp_folder.h"

namespace vexcard::test {
namespace {

const std::string kVexcard = VEXCARD_CLI_PATH;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Runs vexcard against its built-in simulator, with its log switched off (a log folder
// that does not exist) and its settings in a temporary folder of its own.
class VexcardTest : public ::testing::Test {
 protected:
  // env adds to (and may replace) the defaults.
  ProcessResult run(const std::vector<std::string>& args, const EnvVars& env = {}) {
    EnvVars all = {{"VEXCARD_LOG_DIR", tmp_ / "no-such-folder"},
                   {"VEXCARD_SETTINGS_DIR", ""},
                   {"XDG_STATE_HOME", tmp_ / "state"}};  // the simulator's journal
    all.insert(all.end(), env.begin(), env.end());
    return runProcess(kVexcard, args, all);
  }
  // Runs with --json; the output must be one JSON object.
  Json json(std::vector<std::string> args, int expectedExit = 0) {
    args.push_back("--json");
    const ProcessResult r = run(args);
    EXPECT_EQ(r.exitCode, expectedExit) << r.err;
    return parseJson(r.out);
  }

  TempFolder tmp_;
};

TEST_F(VexcardTest, HelpForTheProgramAndEveryCommand) {
  const ProcessResult help = run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* command :
       {"card-info", "oil-limit", "open-purse", "item-limit", "bonus-sale", "sale", "refund",
        "noncash-sale", "card-quantity", "open-shift", "close-shift", "version", "host-flag",
        "host-slot", "demo", "log", "products", "journal", "report"}) {
    EXPECT_TRUE(contains(help.out, "  " + std::string(command))) << command;
    const ProcessResult one = run({command, "--help"});
    EXPECT_EQ(one.exitCode, 0) << command;
    EXPECT_TRUE(contains(one.out, "usage: vexcard")) << command;
  }
  EXPECT_TRUE(contains(run({"bonus-sale", "--help"}).out, "--mode C"));
  EXPECT_TRUE(contains(run({"help", "card-info"}).out, "CardInfo (slot 7)"));
}

TEST_F(VexcardTest, UsageErrorsSendNothing) {
  const std::string log = tmp_ / "VexCard.log";
  const std::string block(158, '0');  // a card block of the right size
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"fly"},
      {"bonus-sale", "--qty", "1", "--sum", "1"},
      {"bonus-sale", "--purse", "19", "--qty", "x", "--sum", "1"},
      {"bonus-sale", "--purse", "256", "--qty", "1", "--sum", "1"},
      {"bonus-sale", "--purse", "19", "--qty", "1", "--sum", "1", "--mode", "AB"},
      {"card-info", "--port", "0"},
      {"card-info", "--card", "nobody"},
      {"card-info", "--fault", "read-card=sulk"},
      {"card-info", "--port", "3", "--fault", "sale=silence"},
      {"card-info", "extra"},
      {"refund", "--purse", "19", "--qty", "1", "--sum", "1"},
      {"item-limit"},
      {"open-shift", "--date", "2007-02-30"},
      {"host-slot", "7"},
      {"card-info", "--dll", "VexCard.dll"},  // Windows only: this program has its driver
      // Figures the terminal would be sent as nothing, negative or beyond its range.
      {"bonus-sale", "--purse", "19", "--qty", "-5", "--sum", "370"},
      {"bonus-sale", "--purse", "19", "--qty", "0", "--sum", "370"},
      {"sale", "--purse", "2", "--qty", "0.001", "--sum", "0.02"},
      {"noncash-sale", "--purse", "21", "--qty", "10", "--sum", "0.004"},
      {"refund", "--purse", "19", "--qty", "100", "--sum", "0.4", "--block", block},  // 0.004
      {"sale", "--purse", "2", "--qty", "200000", "--sum", "1"},
      {"sale", "--purse", "2", "--qty", "inf", "--sum", "1"},
      // A refund without the sale's whole card block.
      {"bonus-sale", "--mode", "+", "--purse", "19", "--qty", "20", "--sum", "370"},
      {"bonus-sale", "--mode", "+", "--purse", "19", "--qty", "1", "--sum", "1", "--block", "AB"},
      {"bonus-sale", "--mode", "+", "--slot", "11", "--purse", "19", "--qty", "1", "--sum", "1"},
      {"refund", "--purse", "19", "--qty", "1", "--sum", "1", "--block", "1234"},
      {"bonus-sale", "--purse", "19", "--qty", "1", "--sum", "1", "--block", "last"},  // a sale
      {"card-info", "--port", "3", "--sim-state", "station.state"},
      // Purses without a product row, shifts the terminal does not count.
      {"bonus-sale", "--purse", "0", "--qty", "1", "--sum", "1"},
      {"sale", "--purse", "255", "--qty", "1", "--sum", "1"},
      {"card-quantity", "--purse", "49", "--price", "40"},
      {"item-limit", "--item", "0:1:1"},
      {"open-shift", "--shift", "9"},
      {"open-shift", "--shift", "0"},
  };
  for (std::vector<std::string> args : bad) {
    args.insert(args.end(), {"--log", log});
    const ProcessResult r = run(args);
    EXPECT_EQ(r.exitCode, 2) << args[0];
    EXPECT_TRUE(contains(r.err, "vexcard: ")) << args[0];
    EXPECT_TRUE(r.out.empty()) << args[0];
  }
  EXPECT_FALSE(std::filesystem::exists(log));
  EXPECT_EQ(run({"card-info", "--log", tmp_ / "missing/VexCard.log"}).exitCode, 2);
  EXPECT_TRUE(
      contains(run({"refund", "--purse", "1", "--qty", "1", "--sum", "1", "--block", "12"}).err,
               "79 bytes (158 hex digits)"));
}

TEST_F(VexcardTest, ReadingOperationsAsJson) {
  EXPECT_EQ(json({"version"})["result"]["version"].string, "v2.4#Веркан");

  const Json card = json({"card-info"});
  EXPECT_EQ(card["command"].string, "card-info");
  EXPECT_EQ(card["operation"].string, "CardInfo");
  EXPECT_EQ(card["slot"].number, 7);
  EXPECT_TRUE(card["ok"].boolean);
  EXPECT_TRUE(card["simulator"].boolean);
  EXPECT_EQ(card["result"]["status"].number, 0);
  EXPECT_EQ(card["result"]["card_type"].string, "0001");
  EXPECT_EQ(card["result"]["card_digits"].string, "264300");
  EXPECT_EQ(card["result"]["available"].number, 5000);
  EXPECT_EQ(card["result"]["date_from"].string.size(), 19u);

  const Json oil = json({"oil-limit"});
  EXPECT_EQ(oil["result"]["purse_no"].number, 1);
  EXPECT_EQ(oil["result"]["allowed_qty"].number, 150);
  EXPECT_EQ(oil["result"]["card_prefix"].string, "2643");

  const Json items = json({"item-limit", "--item", "12:1:1", "--item", "19:18.50:20"});
  ASSERT_EQ(items["steps"].array.size(), 2u);
  EXPECT_EQ(items["steps"][0]["operation"].string, "OpenPurse");
  EXPECT_EQ(items["operation"].string, "ItemLimit");
  EXPECT_EQ(items["result"]["item_index"].number, 2);
  EXPECT_EQ(items["result"]["allowed_qty"].number, 20);
  EXPECT_EQ(items["result"]["allowed_sum"].number, 370);

  EXPECT_EQ(json({"host-flag", "--set", "7"})["result"]["host_flag"].number, 7);
  EXPECT_EQ(json({"host-slot", "25"})["result"]["value"].number, 0);
  EXPECT_EQ(json({"host-slot", "6"})["result"]["status"].number, 0);
}

TEST_F(VexcardTest, SalesCarryTheDiscountFigures) {
  // The built-in bonus card has 3.5 % off product 92: 20 x 18.50 = 370.00, 12.95 off.
  const Json bonus = json({"bonus-sale", "--purse", "19", "--qty", "20", "--sum", "370"});
  EXPECT_NEAR(bonus["result"]["summa_sk"].number, 357.05, 1e-9);
  EXPECT_NEAR(bonus["result"]["skidka"].number, 3.5, 1e-9);
  EXPECT_NEAR(bonus["result"]["coste_sk"].number, 17.85, 1e-9);
  EXPECT_EQ(bonus["result"]["incomplete"].number, 0);
  const std::string block = bonus["result"]["card_block"].string;
  EXPECT_EQ(block.size(), 158u);
  EXPECT_EQ(block.substr(0, 24), "264300000000000123450001");

  // The fuel card: 2 % off everything.
  const Json noncash =
      json({"noncash-sale", "--card", "fuel", "--purse", "21", "--qty", "30", "--sum", "1200"});
  EXPECT_EQ(noncash["result"]["summa_sk"].number, 1176);
  EXPECT_NEAR(noncash["result"]["skidka"].number, 2, 1e-9);
  EXPECT_NEAR(noncash["result"]["coste_sk"].number, 39.2, 1e-9);
  EXPECT_EQ(noncash["result"]["amount"].number, 24);
  EXPECT_EQ(noncash["result"]["card_number"].string, "77010000000000067890");

  const Json qty =
      json({"card-quantity", "--card", "fuel", "--purse", "21", "--price", "40", "--ex"});
  EXPECT_EQ(qty["operation"].string, "CardQuantityEx");
  EXPECT_EQ(qty["result"]["status"].number, 240);
  EXPECT_NEAR(qty["result"]["price"].number, 39.2, 1e-9);
  EXPECT_NEAR(qty["result"]["available"].number, 510.2, 1e-9);

  const Json plain = json({"card-quantity", "--card", "fuel", "--purse", "21", "--price", "40"});
  EXPECT_NEAR(plain["result"]["price"].number, 40, 1e-9);

  const Json sale = json({"sale", "--purse", "2", "--qty", "10", "--sum", "500"});
  EXPECT_EQ(sale["result"]["card_prefix"].string, "2643");
  EXPECT_EQ(sale["result"]["amount"].number, 25);
}

TEST_F(VexcardTest, JournalListsTheSimulatedSalesWithTheirOutcomes) {
  json({"bonus-sale", "--purse", "19", "--qty", "20", "--sum", "370"});
  // An unknown outcome has its own exit code, and the host's message says what to do.
  const Json lost = json(
      {"bonus-sale", "--purse", "19", "--qty", "20", "--sum", "370", "--fault", "sale=code-0x01"},
      4);
  EXPECT_EQ(lost["outcome"].string, "unknown");
  const Json all = json({"journal"});
  ASSERT_EQ(all["records"].array.size(), 2u);
  EXPECT_EQ(all["records"][0]["outcome"].string, "done");
  EXPECT_EQ(all["records"][0]["money2"].string, "357.05");
  EXPECT_EQ(all["records"][1]["outcome"].string, "unknown");
  const ProcessResult unknown = run({"journal", "--unknown"});
  EXPECT_TRUE(contains(unknown.out, "1 request(s) of unknown outcome")) << unknown.out;
  EXPECT_TRUE(contains(unknown.out, "BonusSaleEx)  purse 19 92 Аи-92  18.50 x 20.00 = 370.00"))
      << unknown.out;
  EXPECT_TRUE(contains(unknown.out, "-> unknown code 1")) << unknown.out;
  EXPECT_EQ(json({"journal", "--since", "2999-01-01"})["records"].array.size(), 0u);
  EXPECT_EQ(run({"journal", "--since", "yesterday"}).exitCode, 2);
  EXPECT_EQ(run({"journal", "--since", "2026-13-45"}).exitCode, 2);
  // The wire's figures with their product, the sum beside them, the second value charged.
  const ProcessResult text = run({"journal"});
  EXPECT_TRUE(contains(text.out, "18.50 x 20.00 = 370.00, sum 370.00")) << text.out;
  EXPECT_TRUE(contains(text.out, "-> done, charged 357.05 (before discount 370.00)")) << text.out;

  // Damage is skipped and said; a missing file or one that is no journal fails.
  const std::string path = all["journal"].string;
  std::FILE* f = std::fopen(path.c_str(), "ab");
  std::fwrite(std::string(60, '\0').data(), 1, 60, f);
  // A refund and a price quote: neither charged anything.
  std::fputs(
      "\n2026-12-09 13:00:00.000\trequest\tport=9\tpacket=7\ttxn=2\tcommand=tsRefund\top="
      "\tpurse=19\tproduct=92\tname=\tprice=51.36\tqty=19.47\tamount=1000.00\tcard=\n"
      "2026-12-09 13:00:00.100\toutcome\tport=9\tpacket=7\ttxn=2\tcommand=tsRefund\t"
      "result=done\tcode=0\tmoney1=357.05\tmoney2=5000.00\tmoney3=0.00\n"
      "2026-12-09 13:00:01.000\trequest\tport=9\tpacket=8\ttxn=3\tcommand=tsDebit\top="
      "\tpurse=19\tproduct=92\tname=\tprice=18.50\tqty=20.00\tamount=370.00\tcard=\n"
      "2026-12-09 13:00:01.100\toutcome\tport=9\tpacket=8\ttxn=3\tcommand=tsDebit\t"
      "result=done\tcode=0\tmoney1=370.00\tmoney2=357.05\tmoney3=900.00\n",
      f);
  std::fclose(f);
  const Json damaged = json({"journal", "--file", path});
  ASSERT_EQ(damaged["damage"].array.size(), 1u);
  EXPECT_EQ(damaged["damage"][0]["bytes"].number, 61);
  const ProcessResult port9 = run({"journal", "--file", path, "--port", "9"});
  EXPECT_TRUE(contains(port9.out, ": 2 request(s)")) << port9.out;
  EXPECT_TRUE(contains(port9.out, "51.36 x 19.47 = 999.9792, sum 1000.00")) << port9.out;
  EXPECT_TRUE(contains(port9.out, "-> done, reply values 357.05 / 5000.00 / 0.00")) << port9.out;
  EXPECT_TRUE(contains(port9.out, "quoted, nothing charged 357.05")) << port9.out;
  EXPECT_FALSE(contains(port9.out, "done, charged")) << port9.out;
  EXPECT_TRUE(contains(port9.out, "Damaged: 61 byte(s)")) << port9.out;
  EXPECT_EQ(run({"journal", "--file", tmp_ / "none"}).exitCode, 3);
  std::FILE* other = std::fopen((tmp_ / "notes").c_str(), "w");
  std::fputs("not a journal\n", other);
  std::fclose(other);
  EXPECT_EQ(run({"journal", "--file", tmp_ / "notes"}).exitCode, 3);
}

TEST_F(VexcardTest, DriverErrorsExitNonZeroWithTheDriversMessage) {
  const ProcessResult noCard = run({"card-info", "--fault", "read-card=code-0x87"});
  EXPECT_EQ(noCard.exitCode, 1);
  EXPECT_TRUE(contains(noCard.err, "CardInfo failed: Ошибка ридера: В считывателе нет карты"))
      << noCard.err;
  EXPECT_TRUE(contains(noCard.out, "CardInfo (slot 7): FAILED"));
  EXPECT_TRUE(contains(noCard.out, "Status:       135  (В считывателе нет карты)"));

  const Json failed = json({"card-info", "--card", "blocked"}, 1);
  EXPECT_FALSE(failed["ok"].boolean);
  EXPECT_EQ(failed["error"].string, "Ошибка ридера: Предъявленная карта заблокирована");
  EXPECT_EQ(failed["result"]["status"].number, 140);

  const std::vector<std::string> notBonusArgs = {"bonus-sale", "--card", "fuel",  "--purse", "19",
                                                 "--qty",      "1",      "--sum", "1"};
  const Json notBonus = json(notBonusArgs, 1);
  EXPECT_EQ(notBonus["error"].string, "Это не БОНУС-карта");
  EXPECT_EQ(notBonus["result"]["status_text"].string, "Команда выполнена");
  // The text form says whose code a Status of 0 is.
  EXPECT_TRUE(contains(run(notBonusArgs).out,
                       "Status:       0  (Команда выполнена; of the last command that completed)"));

  const Json refund = json(
      {"refund", "--purse", "19", "--qty", "20", "--sum", "370", "--block", std::string(158, '0')},
      1);
  EXPECT_EQ(refund["error"].string,
            "Ошибка ридера: Данные о возврате не соответствуют исходной транзакции дебета");
  EXPECT_EQ(refund["result"]["status"].number, 141);
  EXPECT_EQ(refund["outcome"].string, "refused");

  // The link fails: the terminal refuses the command five times.
  const Json refused = json({"card-info", "--fault", "read-card=refuse:always"}, 1);
  EXPECT_EQ(refused["error"].string, "Ошибка обмена с ридером");
  EXPECT_EQ(refused["result"]["status"].number, 255);

  const ProcessResult abstract = run({"host-slot", "21"});
  EXPECT_EQ(abstract.exitCode, 1);

  const ProcessResult noPort = run(
      {"card-info", "--port", "200"},
      {{"VEXCARD_COM200", tmp_ / "no-such-device"}, {"VEXCARD_SETTINGS_DIR", tmp_ / "settings"}});
  EXPECT_EQ(noPort.exitCode, 1);
  EXPECT_TRUE(contains(noPort.err, "cannot create the driver: Can't open COM200")) << noPort.err;
  // Under it, the device that was tried and the system's reason.
  EXPECT_TRUE(contains(noPort.err,
                       "COM200\n  " + (tmp_ / "no-such-device") + ": No such file or directory\n"))
      << noPort.err;
}

TEST_F(VexcardTest, DemoRunsAWholeShift) {
  const ProcessResult r = run({"demo"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Timing: production"));
  EXPECT_TRUE(contains(r.out, "SummaSk:      357.05"));
  EXPECT_TRUE(contains(r.out, "CosteSK:      17.85"));
  EXPECT_TRUE(contains(r.out, "balance 4642.95"));
  EXPECT_TRUE(contains(r.out, "Done: 7 operations"));

  const Json j = json({"demo"});
  ASSERT_EQ(j["steps"].array.size(), 7u);
  const std::vector<std::string> operations = {"OpenShift",   "CardInfo",   "BonusSaleEx",
                                               "BonusSaleEx", "SubSchetEx", "CardQuantityEx",
                                               "CloseShift"};
  for (std::size_t i = 0; i < operations.size(); ++i) {
    EXPECT_EQ(j["steps"][i]["operation"].string, operations[i]);
    EXPECT_TRUE(j["steps"][i]["ok"].boolean) << i;
  }
  EXPECT_NEAR(j["steps"][2]["terminal"]["balance"].number, 4642.95, 1e-9);
  EXPECT_EQ(j["steps"][3]["terminal"]["balance"].number, 5000);  // refunded
  EXPECT_FALSE(j["steps"][6]["terminal"]["shift_open"].boolean);

  const ProcessResult broke = run({"demo", "--fault", "sale=code-0x8A"});
  EXPECT_EQ(broke.exitCode, 1);
  EXPECT_TRUE(contains(broke.out, "Stopped after a failure"));
  EXPECT_TRUE(contains(broke.err, "На карте клиента не хватает средств"));
}

TEST_F(VexcardTest, LogOfARealRunDecoded) {
  const std::string log = tmp_ / "VexCard.log";
  ASSERT_EQ(run({"bonus-sale", "--purse", "19", "--qty", "20", "--sum", "370", "--log", log,
                 "--fault", "read-card=refuse"})
                .exitCode,
            0);
  ASSERT_TRUE(std::filesystem::exists(log));
  const ProcessResult r = run({"log", log});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "→ #2 tsReadCard\n"));
  EXPECT_TRUE(contains(r.out, "← no good reply to tsReadCard: link state 246"));
  EXPECT_TRUE(contains(r.out, "→ #2 tsReadCard  [attempt 2, same packet]"));
  EXPECT_TRUE(contains(r.out, "status 00 01 (bonus card)"));
  EXPECT_TRUE(contains(r.out,
                       "tsSale: transaction 1, request byte 1, product 92 «Аи-92» "
                       "(purse 19), price 18.50, quantity 20.00, tag "));
  EXPECT_TRUE(contains(r.out,
                       "← tsSale reply: code 0 «Команда выполнена», amount 370.00, "
                       "charged 357.05 (SummaSk)"));
  EXPECT_TRUE(contains(r.out, "ЗВК, результат продажи: карта "));

  const ProcessResult only = run({"log", "--only-exchanges", log});
  EXPECT_FALSE(contains(only.out, "RTS_ON"));
  EXPECT_TRUE(contains(only.out, "tsSale"));
  // The summary of the same log: one day, the refusal "N", the sale done.
  const Json summary = json({"log", "--summary", log});
  ASSERT_EQ(summary["periods"].array.size(), 1u);
  const Json& day = summary["periods"][0];
  EXPECT_EQ(day["refusals"].number, 1);
  EXPECT_EQ(day["retries"].number, 1);
  EXPECT_EQ(day["requests"][1]["command"].string, "tsSale");
  EXPECT_EQ(day["requests"][1]["done"].number, 1);
  EXPECT_TRUE(contains(run({"log", "--summary", "--hourly", log}).out, ":00\n  requests"));
  EXPECT_EQ(run({"log", "--hourly", log}).exitCode, 2);
  // A file that cannot be read is a failure, not a usage error.
  EXPECT_EQ(run({"log", tmp_ / "missing.log"}).exitCode, 3);
  EXPECT_EQ(run({"card-info", "--sim-config", tmp_ / "missing.conf"}).exitCode, 3);
}

// Lines run in order on one driver; a failing one is reported and the next still runs; a
// line that does not parse stops the batch before anything is sent.
TEST_F(VexcardTest, BatchRunsLinesOnOneDriver) {
  const std::string file = tmp_ / "batch.txt", log = tmp_ / "VexCard.log";
  const auto write = [&](const std::string& text) {
    std::FILE* f = std::fopen(file.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
  };
  write(
      "# sale, refused debit, pause\ncard-info\n\nbonus-sale --purse 19 --qty 20 --sum 370\n"
      "bonus-sale --mode M --purse 19 --qty 9000 --sum 9000\nsleep 0\nversion\n");
  const ProcessResult r = run({"--json", "batch", file});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  std::vector<Json> lines;
  for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(parseJson(r.out.substr(at, end - at)));
  }
  ASSERT_EQ(lines.size(), 5u) << r.out;
  const std::vector<double> numbers = {2, 4, 5, 6, 7};
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i]["line"].number, numbers[i]);
  EXPECT_NEAR(lines[1]["result"]["summa_sk"].number, 357.05, 1e-9);
  EXPECT_FALSE(lines[2]["ok"].boolean);
  EXPECT_TRUE(contains(r.err, "line 5: BonusSaleEx failed"));
  EXPECT_EQ(lines[3]["command"].string, "sleep");
  EXPECT_TRUE(lines[4]["ok"].boolean);

  write("card-info\nbonus-sale --purse 19\n");
  const ProcessResult bad = run({"batch", file, "--log", log});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_TRUE(contains(bad.err, "batch line 2: --qty is required")) << bad.err;
  EXPECT_TRUE(bad.out.empty());
  EXPECT_FALSE(std::filesystem::exists(log));

  // A byte-order mark is skipped (and a comment left alone); a line that is not UTF-8 is
  // named, not echoed.
  write("\xEF\xBB\xBFversion\n# \xC0\xFF\n");
  EXPECT_EQ(run({"batch", file}).exitCode, 0);
  write("version\nversion \xC0\xFF\n");
  const ProcessResult raw = run({"batch", file, "--log", log});
  EXPECT_EQ(raw.exitCode, 2);
  EXPECT_TRUE(contains(raw.err, "batch line 2: not UTF-8 text")) << raw.err;
  EXPECT_FALSE(contains(raw.err, "\xFF"));
  EXPECT_FALSE(std::filesystem::exists(log));
}

// The repository's shift runs on the simulator with its state kept: the refund takes the
// sale's block (--block last), a later run refunds the last sale of the earlier one, and a
// block refunded once is refused.
TEST_F(VexcardTest, AShiftKeptAcrossRuns) {
  const std::string state = tmp_ / "station.state";
  const ProcessResult shift = run({"--sim-state", state, "--json", "batch",
                                   VEXCARD_TEST_SOURCE_DIR "../../examples/batch/shift.batch"});
  ASSERT_EQ(shift.exitCode, 0) << shift.err;
  std::vector<Json> lines;
  for (std::size_t at = 0, end; (end = shift.out.find('\n', at)) != std::string::npos;
       at = end + 1) {
    lines.push_back(parseJson(shift.out.substr(at, end - at)));
  }
  ASSERT_EQ(lines.size(), 9u) << shift.out;
  EXPECT_EQ(lines[4]["request"]["block"].string, lines[3]["result"]["card_block"].string);
  EXPECT_EQ(lines[4]["request"]["mode"].string, "+");
  EXPECT_EQ(lines[5]["balance"].number, 20000);
  // The request's figures beside the reply's, without float noise in the JSON text.
  EXPECT_TRUE(contains(shift.out, "\"qty\":20.00,\"sum\":370.00,\"price\":18.50}")) << shift.out;
  EXPECT_TRUE(contains(shift.out, "\"skidka\":3.50,\"coste_sk\":17.85,\"discount\":12.95"));

  const std::vector<std::string> refund = {"--sim-state", state,     "refund", "--purse",
                                           "21",          "--qty",   "30",     "--sum",
                                           "1200",        "--block", "last"};
  const ProcessResult later = run(refund);
  EXPECT_EQ(later.exitCode, 0) << later.err;
  EXPECT_TRUE(contains(later.out, "    Card block:    77010000000000067890")) << later.out;
  EXPECT_EQ(run(refund).exitCode, 1);  // refunded once only: 141
  const Json fuel = json({"--sim-state", state, "card-info", "--card", "fuel"});
  EXPECT_EQ(fuel["result"]["available"].number, 20000);

  const ProcessResult none =
      run({"refund", "--purse", "21", "--qty", "1", "--sum", "1", "--block", "last"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_TRUE(contains(none.err, "--block last: no sale")) << none.err;
}

TEST_F(VexcardTest, VersionOfTheProgram) {
  const ProcessResult r = run({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("vexcard 1.0.0", 0), 0u) << r.out;
}

}  // namespace
}  // namespace vexcard::test
