// vexcard check and find-port run as processes: each fault of the simulated terminal gives
// its own verdict and exit code, and the search tells a terminal that answers from a dead
// line and from a port that does not exist.
#include "cli/line_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "cli/args.h"
#include "mini_json.h"
#include "support/temp_folder.h"

namespace vexcard::test {
namespace {

const std::string kVexcard = VEXCARD_CLI_PATH;
const std::string kTerminal = VEXCARD_TERMINAL_PATH;

EnvVars quietEnv(const TempFolder& tmp) {
  return {{"VEXCARD_LOG_DIR", tmp / "no-such-folder"},
          {"VEXCARD_SETTINGS_DIR", tmp / "settings"},
          {"XDG_STATE_HOME", tmp / "state"}};
}

// The rfc2217:// address a vexcard-terminal started with args listens on.
std::string listenUrl(ChildProcess& terminal) {
  const std::string ready = terminal.waitForErrLine("rfc2217://");
  const auto from = ready.find("rfc2217://");
  if (from == std::string::npos) return {};
  return ready.substr(from, ready.find(';', from) - from);
}

TEST(LineCheckTest, EachFaultHasItsVerdictAndExitCode) {
  TempFolder tmp;
  EnvVars env = quietEnv(tmp);
  env.push_back({"VEXCARD_COM3", tmp / "no-such-device"});
  struct Case {
    std::vector<std::string> args;
    const char* verdict;
    int exit;
  };
  const std::vector<Case> cases = {
      {{}, "ok", 0},
      {{"--fault", "no-cts"}, "no-cts", 11},
      {{"--fault", "silence"}, "no-reply", 12},
      {{"--fault", "bad-checksum"}, "spoiled", 13},
      {{"--fault", "wrong-terminator"}, "spoiled", 13},
      {{"--fault", "code-0x87"}, "refused", 14},
      {{"--fault", "refuse"}, "refused", 14},
      {{"--port", "3"}, "no-port", 10},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"check", "--test-timing", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = runProcess(kVexcard, args, env);
    EXPECT_EQ(r.exitCode, c.exit) << c.verdict << r.err;
    const Json j = parseJson(r.out);
    EXPECT_EQ(j["verdict"].string, c.verdict);
    EXPECT_EQ(j["ok"].boolean, c.exit == 0);
  }
  const ProcessResult refused = runProcess(kVexcard, {"check", "--fault", "code-0x87"}, env);
  EXPECT_NE(refused.out.find("reply code 135: В считывателе нет карты"), std::string::npos);
  EXPECT_EQ(runProcess(kVexcard, {"check", "extra"}, env).exitCode, 2);
  for (const char* command : {"check", "find-port"}) {
    const ProcessResult help = runProcess(kVexcard, {command, "--help"}, env);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: vexcard [options] " + std::string(command)), std::string::npos);
  }
}

TEST(LineCheckTest, FindPortTellsTheTerminalFromADeadLineAndAMissingPort) {
  TempFolder tmp;
  ChildProcess terminal(kTerminal, {"--listen", "127.0.0.1:0"});
  ChildProcess mute(kTerminal, {"--listen", "127.0.0.1:0", "--fault", "no-cts:always"});
  EnvVars env = quietEnv(tmp);
  env.push_back({"VEXCARD_COM40", listenUrl(terminal)});
  env.push_back({"VEXCARD_COM41", listenUrl(mute)});
  env.push_back({"VEXCARD_COM42", tmp / "no-such-device"});
  const ProcessResult r =
      runProcess(kVexcard, {"find-port", "--ports", "40-42", "--test-timing", "--json"}, env);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const Json j = parseJson(r.out);
  ASSERT_EQ(j["ports"].array.size(), 3u);
  EXPECT_EQ(j["ports"][std::size_t{0}]["verdict"].string, "ok");
  EXPECT_EQ(j["ports"][std::size_t{1}]["verdict"].string, "no-cts");
  EXPECT_EQ(j["ports"][std::size_t{2}]["verdict"].string, "no-port");
  ASSERT_EQ(j["found"].array.size(), 1u);
  EXPECT_EQ(j["found"][std::size_t{0}]["port"].number, 40);
  // Without the answering port nothing is found.
  const ProcessResult none = runProcess(kVexcard, {"find-port", "--ports", "41,42"}, env);
  EXPECT_EQ(none.exitCode, 11);
  EXPECT_NE(none.out.find("COM41"), std::string::npos);
  for (const char* bad : {"0", "5-1", "x", "1,,2"}) {
    EXPECT_EQ(runProcess(kVexcard, {"find-port", "--ports", bad}, env).exitCode, 2) << bad;
  }
}

}  // namespace
}  // namespace vexcard::test
