// vexcard-terminal run as a process on an RFC 2217 port, with vexcard as the cash desk
// reaching it through the driver's port mapping (VEXCARD_COM<n>=rfc2217://HOST:PORT).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "child_process.h"
#include "mini_json.h"
#include "support/temp_folder.h"

namespace vexcard::test {
namespace {

const std::string kVexcard = VEXCARD_CLI_PATH;
const std::string kTerminal = VEXCARD_TERMINAL_PATH;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(TerminalProgramTest, HelpAndUsage) {
  const ProcessResult help = runProcess(kTerminal, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(contains(help.out, "--device PATH"));
  EXPECT_TRUE(contains(help.out, "--listen HOST:PORT"));
  EXPECT_TRUE(contains(help.out, "Faults: [COMMAND=]KIND[:COUNT]"));
  EXPECT_TRUE(contains(runProcess(kTerminal, {"--show-config"}).out, "card bonus "));
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{},
                                             {"--device", "/dev/null", "--listen", "1.2.3.4:5"},
                                             {"--listen", "7000"},
                                             {"--listen", "127.0.0.1:0", "--card", "nobody"},
                                             {"--listen", "127.0.0.1:0", "--fault", "x=y"}}) {
    EXPECT_EQ(runProcess(kTerminal, bad).exitCode, 2);
  }
  EXPECT_EQ(runProcess(kTerminal, {"--device", "/no/such/device"}).exitCode, 1);
  EXPECT_EQ(runProcess(kTerminal, {"--version"}).out.rfind("vexcard-terminal 1.0.0", 0), 0u);
  EXPECT_EQ(runProcess(kTerminal, {"--listen", "127.0.0.1:0", "--config", "/no/file"}).exitCode, 1);

  // A pseudo-terminal is refused with a pointer to --listen.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
  const ProcessResult pty = runProcess(kTerminal, {"--device", ::ptsname(master)});
  ::close(master);
  EXPECT_EQ(pty.exitCode, 1);
  EXPECT_TRUE(contains(pty.err, "carry no modem lines")) << pty.err;
  EXPECT_TRUE(contains(pty.err, "--listen"));
}

// A cash desk's session against the program: it keeps its cards between connections, so a
// sale in one run is refunded in the next, and it prints every frame decoded.
TEST(TerminalProgramTest, ServesACashDeskOverTheNetwork) {
  TempFolder tmp;
  ChildProcess terminal(kTerminal, {"--listen", "127.0.0.1:0", "--fault", "debit=code-0x8A"});
  const std::string ready = terminal.waitForErrLine("rfc2217://");
  ASSERT_FALSE(ready.empty());
  const auto from = ready.find("rfc2217://");
  const std::string url = ready.substr(from, ready.find(';', from) - from);
  const EnvVars env = {{"VEXCARD_COM7", url},
                       {"VEXCARD_SETTINGS_DIR", tmp / "settings"},
                       {"VEXCARD_LOG_DIR", tmp / "no-such-folder"}};
  const auto vexcard = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--port", "7", "--json"});
    return runProcess(kVexcard, args, env);
  };

  const ProcessResult sale =
      vexcard({"bonus-sale", "--purse", "19", "--qty", "20", "--sum", "370"});
  ASSERT_EQ(sale.exitCode, 0) << sale.err;
  const Json sold = parseJson(sale.out);
  EXPECT_FALSE(sold["simulator"].boolean);
  EXPECT_NEAR(sold["result"]["summa_sk"].number, 357.05, 1e-9);

  const ProcessResult refund =
      vexcard({"bonus-sale", "--mode", "+", "--purse", "19", "--qty", "20", "--sum", "370",
               "--block", sold["result"]["card_block"].string});
  EXPECT_EQ(refund.exitCode, 0) << refund.err;

  const ProcessResult debit =
      vexcard({"bonus-sale", "--mode", "M", "--purse", "19", "--qty", "1", "--sum", "18.5"});
  EXPECT_EQ(debit.exitCode, 1);
  EXPECT_EQ(parseJson(debit.out)["error"].string,
            "Ошибка ридера: На карте клиента не хватает средств");

  const ProcessResult stopped = terminal.stop(SIGINT);
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
  EXPECT_TRUE(contains(stopped.out, "cash desk: #2 tsReadCard\n"));
  EXPECT_TRUE(contains(stopped.out, "terminal:  code 0 «Команда выполнена», balance 5000.00"));
  EXPECT_TRUE(contains(stopped.out,
                       "cash desk: #3 tsSale: transaction 1, request byte 1, "
                       "product 92 «Аи-92» (purse 19)"));
  EXPECT_TRUE(contains(stopped.out, "cash desk: #5 tsRefund: transaction 1"));
  EXPECT_TRUE(contains(stopped.out, "balance 4642.95"));
  EXPECT_TRUE(contains(stopped.out, "terminal:  code 138 «На карте клиента не хватает средств»"));
  EXPECT_TRUE(contains(stopped.err, "stopped after"));
}

// The replaying terminal's result for a golden batch run against the given log.
ProcessResult replayGolden(const TempFolder& tmp, const std::string& log,
                           const std::string& batch) {
  ChildProcess terminal(kTerminal,
                        {"--replay", log, "--fast", "--quiet", "--listen", "127.0.0.1:0"});
  const std::string ready = terminal.waitForErrLine("rfc2217://");
  const auto from = ready.find("rfc2217://");
  if (from == std::string::npos) return terminal.stop(SIGINT);
  const EnvVars env = {{"VEXCARD_COM7", ready.substr(from, ready.find(';', from) - from)},
                       {"VEXCARD_SETTINGS_DIR", tmp / "settings"},
                       {"VEXCARD_LOG_DIR", tmp / "no-such-folder"}};
  runProcess(kVexcard, {"--port", "7", "--test-timing", "batch", batch}, env);
  return terminal.stop(SIGINT);
}

const std::string kGolden = std::string(VEXCARD_TEST_SOURCE_DIR) + "../golden/limits";

// A golden log with one byte of one request changed, as if another driver had sent it: the
// replaying terminal shows the request decoded both ways, byte by byte, and exits with 1.
TEST(TerminalProgramTest, ReplayShowsARequestThatDiverges) {
  TempFolder tmp;
  std::ifstream in(kGolden + ".log", std::ios::binary);
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto at = log.find("Send: 36 30 30 33 30 33 30 36 31 30");  // tsSelectPurse, selector 16
  ASSERT_NE(at, std::string::npos);
  log.replace(at + 33, 2, "31");  // selector 17
  std::ofstream(tmp / "changed.log", std::ios::binary) << log;

  const ProcessResult replay = replayGolden(tmp, tmp / "changed.log", kGolden + ".batch");
  EXPECT_EQ(replay.exitCode, 1) << replay.err;
  EXPECT_TRUE(contains(replay.out, "DIVERGENCE: request 2 diverges from the log (line 10)"));
  EXPECT_TRUE(contains(replay.out,
                       "log:  malformed (checksum 76, expected 77) #3 tsSelectPurse: "
                       "selector 17\n  came: #3 tsSelectPurse: selector 16"));
  EXPECT_TRUE(contains(replay.out, "command bytes in the log: 06 [11]\n")) << replay.out;
  EXPECT_TRUE(contains(replay.err, "9 of 9 logged requests received, 1 divergence."));
}

// The log with its card numbers masked still replays without a divergence.
TEST(TerminalProgramTest, AMaskedLogReplays) {
  TempFolder tmp;
  const ProcessResult masked = runProcess(kVexcard, {"log", "--mask-cards", kGolden + ".log"});
  ASSERT_EQ(masked.exitCode, 0);
  ASSERT_TRUE(contains(masked.out, "26 43 00 FF FF FF FF FF 23 45"));
  std::ofstream(tmp / "masked.log", std::ios::binary) << masked.out;
  const ProcessResult replay = replayGolden(tmp, tmp / "masked.log", kGolden + ".batch");
  EXPECT_EQ(replay.exitCode, 0) << replay.out << replay.err;
  EXPECT_TRUE(contains(replay.err, "9 of 9 logged requests received, 0 divergences."));
}

}  // namespace
}  // namespace vexcard::test
