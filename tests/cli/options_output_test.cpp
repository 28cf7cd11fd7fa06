// The pieces of the command line that are pure: fault syntax, option parsing, JSON and
// text output, number and date forms.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/host_commands.h"
#include "cli/report.h"
#include "cli/text_util.h"
#include "mini_json.h"
#include "terminal-sim/fault_syntax.h"
#include "terminal-sim/terminal_model.h"
#include "vexcard/exception.h"

namespace vexcard::cli {
namespace {

TEST(FaultSyntaxTest, CommandKindAndCount) {
  const sim::FaultRule silence = sim::parseFaultRule("read-card=silence:2");
  EXPECT_EQ(silence.kind, sim::FaultKind::kSilence);
  EXPECT_EQ(silence.command, sim::cmd::tsReadCard);
  EXPECT_EQ(silence.count, 2);

  const sim::FaultRule code = sim::parseFaultRule("0x08=code-0x8A:always");
  EXPECT_EQ(code.kind, sim::FaultKind::kReplyCode);
  EXPECT_EQ(code.replyCode, 0x8A);
  EXPECT_EQ(code.command, sim::cmd::tsSale);
  EXPECT_EQ(code.count, sim::kAlways);

  const sim::FaultRule any = sim::parseFaultRule("no-cts");
  EXPECT_EQ(any.kind, sim::FaultKind::kNoCtsAnswer);
  EXPECT_FALSE(any.command.has_value());
  EXPECT_EQ(any.count, 1);
  EXPECT_EQ(any.skip, 0);

  const sim::FaultRule late = sim::parseFaultRule("reset=late-next:2@1");
  EXPECT_EQ(late.release, sim::LateRelease::kNextReply);
  EXPECT_EQ(late.lateMs, 0u);
  EXPECT_EQ(late.count, 2);
  EXPECT_EQ(late.skip, 1);
  EXPECT_EQ(sim::parseFaultRule("late-handshake").release, sim::LateRelease::kNextHandshake);
}

TEST(FaultSyntaxTest, RefusesWhatItCannotMean) {
  for (const char* bad : {"", "silence:0", "silence:-1", "sale=", "fly=silence", "0x0C=refuse",
                          "12=refuse", "sale=code-256", "sale=code-", "read-card=no-cts",
                          "sale=silence:2:3", "sale=sulk", "silence@", "silence@-1", "late@x"}) {
    EXPECT_THROW(sim::parseFaultRule(bad), Exception) << bad;
  }
}

TEST(ArgsTest, OptionsFlagsAndPositionals) {
  const std::vector<OptionDef> defs = {
      {"purse", "N", ""}, {"json", "", ""}, {"fault", "S", "", true}, {"help", "", ""}};
  const std::vector<std::string> args = {"--purse", "19", "x",  "--json", "--fault=a",
                                         "--fault", "b",  "-h", "--",     "--purse"};
  const ParsedArgs a = parseArgs(args, defs);
  EXPECT_EQ(a.integer("purse", 0, 255), 19);
  EXPECT_TRUE(a.has("json"));
  EXPECT_TRUE(a.has("help"));
  EXPECT_EQ(a.all("fault"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(a.positional(), (std::vector<std::string>{"x", "--purse"}));
}

TEST(ArgsTest, MistakesAreUsageErrors) {
  const std::vector<OptionDef> defs = {{"purse", "N", ""}, {"json", "", ""}};
  using V = std::vector<std::string>;
  EXPECT_THROW(parseArgs(V{"--pures", "1"}, defs), UsageError);
  EXPECT_THROW(parseArgs(V{"--purse"}, defs), UsageError);
  EXPECT_THROW(parseArgs(V{"--json=1"}, defs), UsageError);
  EXPECT_THROW(parseArgs(V{"--purse", "1", "--purse", "2"}, defs), UsageError);
  EXPECT_THROW(parseArgs(V{"-x"}, defs), UsageError);
  EXPECT_THROW(parseArgs(V{"--purse", "256"}, defs).integer("purse", 0, 255), UsageError);
  EXPECT_THROW(parseArgs(V{"--purse", "1x"}, defs).integer("purse", 0, 255), UsageError);
  EXPECT_THROW(parseArgs(V{"--purse", "1e3"}, defs).decimal("purse"), UsageError);
  // A negative number is a value, not an option.
  EXPECT_EQ(parseArgs(V{"--purse", "-5"}, defs).decimal("purse"), -5.0);
}

TEST(TextTest, NumbersDatesAndHex) {
  EXPECT_EQ(formatMoney(Currency{185000}), "18.50");
  EXPECT_EQ(formatMoney(Currency{123}), "0.0123");
  EXPECT_EQ(formatMoney(Currency{-25000}), "-2.50");
  EXPECT_EQ(formatNumber(357.05), "357.05");
  EXPECT_EQ(parseDecimal("0,25"), 0.25);
  EXPECT_FALSE(parseDecimal("1.2.3"));
  EXPECT_FALSE(parseDecimal("-"));
  EXPECT_FALSE(parseDecimal("nan"));
  EXPECT_EQ(parseHexBytes("0a ff:10"), std::string("\x0A\xFF\x10", 3));
  EXPECT_FALSE(parseHexBytes("0 a"));
  EXPECT_FALSE(parseHexBytes("abc"));
  EXPECT_EQ(oleDateText(parseDateTime("2007-03-05 14:07:09")), "2007-03-05 14:07:09");
  EXPECT_EQ(oleDateText(parseDateTime("2007-03-05")), "2007-03-05 00:00:00");
  EXPECT_THROW(parseDateTime("2007-02-30"), UsageError);
  EXPECT_THROW(parseDateTime("2007-03-05 14:07:09x"), UsageError);
  EXPECT_EQ(cp866ToUtf8(std::string("\x80\xA8\x2D\x39\x32\0\0", 7)), "Аи-92");
}

TEST(ReportTest, JsonIsWellFormedAndKeepsOrder) {
  Report inner;
  inner.text("card_type", "Card type", "0001").number("available", "Available", 5000);
  Report r;
  r.text("text", "Text", "quote \" backslash \\ newline \n tab \t bell \x07 «ё»")
      .integer("n", "N", -7)
      .flag("ok", "", true)
      .null("none", "None")
      .object("result", "Result", inner)
      .array("steps", "Steps", {inner, Report()});
  const std::string json = toJson(r);
  EXPECT_EQ(json.find("\n"), std::string::npos);
  const test::Json j = test::parseJson(json);
  EXPECT_EQ(j["text"].string, "quote \" backslash \\ newline \n tab \t bell \x07 «ё»");
  EXPECT_EQ(j["n"].number, -7);
  EXPECT_TRUE(j["ok"].boolean);
  EXPECT_EQ(j["none"].type, test::Json::Type::kNull);
  EXPECT_EQ(j["result"]["available"].number, 5000);
  EXPECT_EQ(j["steps"].array.size(), 2u);
  EXPECT_LT(json.find("\"text\""), json.find("\"n\""));
}

TEST(ReportTest, FiguresCarryTwoDecimalsInTextAndJson) {
  Report r;
  r.money("available", "Available", 5000).percent("skidka", "Skidka", 3.499999999999997);
  r.money("amount", "Amount", 7.399999999999977).money("change", "Change", -0.001);
  r.number("seconds", "Seconds", 2);
  EXPECT_EQ(toJson(r),
            R"({"available":5000.00,"skidka":3.50,"amount":7.40,"change":0.00,"seconds":2})");
  EXPECT_EQ(toText(r),
            "Available:  5000.00\nSkidka:     3.50\nAmount:     7.40\nChange:     0.00\n"
            "Seconds:    2\n");
  EXPECT_EQ(test::parseJson(toJson(r))["skidka"].number, 3.5);
}

TEST(ReportTest, TextAlignsLabelsAndHidesJsonOnlyFields) {
  Report r;
  r.integer("status", "Status", 0, "Команда выполнена").text("status_text", "", "x");
  r.text("card_type", "Card type", "0001");
  EXPECT_EQ(toText(r, 2), "  Status:     0  (Команда выполнена)\n  Card type:  0001\n");
}

}  // namespace
}  // namespace vexcard::cli
