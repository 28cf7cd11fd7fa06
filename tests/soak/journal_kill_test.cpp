// The driver's process killed at random moments of its sales: a child process (this program
// again, running the disabled test below) sells against the simulated terminal of this one
// over a network serial port, and is killed when the terminal has received or answered a
// frame chosen at random; then the next child takes over with the same settings and
// journal. After every kill nothing the terminal recorded may be missing from the journal,
// and at the end the journal reconciles with the ledger (journal_reconcile.h).
//
// VEXCARD_KILL_ROUNDS sets the number of kills (30 by default); the figures are printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <random>

#include "comport/device_virtual.h"
#include "driver/driver_factory.h"
#include "driver/env.h"
#include "integration/host_fixture.h"
#include "library/host_table.h"
#include "soak/journal_reconcile.h"
#include "support/temp_folder.h"
#include "terminal-sim/rfc2217_server.h"
#include "terminal-sim/terminal_simulator.h"

extern char** environ;

namespace vexcard::test {
namespace {

constexpr const char* kChildVariable = "VEXCARD_KILL_CHILD";

timing::Policy childPolicy() {
  timing::Policy p = timing::Policy::scaled(1, 1000);
  return p.set(timing::Delay::kCtsAnswer, 50)
      .set(timing::Delay::kHandshakeRetry, 5)
      .set(timing::Delay::kReplyWait, 2000)
      .set(timing::Delay::kKeepAliveIdle, 60000)
      .set(timing::Delay::kNetworkConnect, 5000)
      .set(timing::Delay::kNetworkReply, 3000);
}

// Starts this program as a child that sells until it is killed.
pid_t startChild(const std::string& folder, std::uint16_t port) {
  setenv(kChildVariable, folder.c_str(), 1);
  setenv("VEXCARD_COM9", ("rfc2217://127.0.0.1:" + std::to_string(port)).c_str(), 1);
  const std::string self = "/proc/self/exe";
  std::string filter = "--gtest_filter=JournalKillChild.DISABLED_SellsUntilKilled";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {const_cast<char*>(self.c_str()), filter.data(), disabled.data(), nullptr};
  // Its test report is of no interest: it ends killed.
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  const int rc = posix_spawn(&child, self.c_str(), &quiet, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&quiet);
  unsetenv(kChildVariable);
  unsetenv("VEXCARD_COM9");
  return rc == 0 ? child : -1;
}

TEST(JournalKill, NothingTheTerminalRecordedIsMissingFromTheJournal) {
  const char* roundsText = getenv("VEXCARD_KILL_ROUNDS");
  const int rounds = roundsText != nullptr ? std::max(1, std::atoi(roundsText)) : 30;
  const std::uint64_t start = static_cast<std::uint64_t>(::getpid());
  std::mt19937_64 rng(start);
  TempFolder folder;
  const std::string journalPath = folder / "VexCard.journal";

  sim::SimulatorConfig config;
  config.cards.push_back(simCard("bonus", 0x00, 0x01, 100000000, 1000));
  auto line = comport::NewVirtualSerialPair();
  auto networkEnd = line->open(0);
  sim::Rfc2217Server server{*networkEnd};
  sim::TerminalSimulator terminal(line->open(1), config);
  terminal.setReplyDelay(1);
  terminal.start();
  terminal.insertCard("bonus");
  ASSERT_TRUE(server.start());

  std::size_t missingAfterKill = 0;
  for (int round = 0; round < rounds; ++round) {
    const pid_t child = startChild(folder.path(), server.port());
    ASSERT_GT(child, 0);
    // Killed when the terminal has received (even) or answered (odd) a frame 1 to 8 frames
    // on: in the middle of a card read or a sale, before or after its reply.
    const std::size_t n = 1 + rng() % 8;
    const sim::SimulatorCounters now = terminal.counters();
    const bool received = rng() % 2 == 0;
    const bool reached = terminal.waitFor(
        [&](const sim::SimulatorCounters& c) {
          return received ? c.frames >= now.frames + n : c.handled >= now.handled + n;
        },
        30000);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(reached) << "round " << round << ": the child sold nothing";
    // The next child starts at once: the terminal's reply to what the dead one sent may
    // still reach it, and must not pass for the reply to its own first request.
    const Reconciliation r = reconcile(link::readJournal(journalPath), terminal.sales());
    missingAfterKill += r.faults.size();
    for (const std::string& fault : r.faults) ADD_FAILURE() << "round " << round << ": " << fault;
  }
  server.stop();
  terminal.stop();
  const Reconciliation r = reconcile(link::readJournal(journalPath), terminal.sales());
  std::cout << "journal kill test: " << rounds << " driver processes killed, "
            << terminal.saleCount() << " sales in the ledger; journal: " << r.summary() << "; "
            << missingAfterKill << " disagreements" << std::endl;
  EXPECT_TRUE(r.faults.empty());
  EXPECT_GT(r.done, 0u);
}

// The child: a driver on COM9 (the parent's network serial port), its settings and journal
// in the parent's folder, selling for ever.
TEST(JournalKillChild, DISABLED_SellsUntilKilled) {
  const char* folder = getenv(kChildVariable);
  if (folder == nullptr) GTEST_SKIP() << "run by JournalKill";
  Env env;
  env.timing = childPolicy();
  env.settingsFolder = folder;
  env.logPath = std::string(folder) + "/VexCard.log";
  EnvScope scope(env);
  HostObject* host = library::wrapDriver(driver::createDriver(9));
  std::mt19937_64 rng(static_cast<std::uint64_t>(::getpid()));
  for (;;) {
    const double qty = 1 + static_cast<double>(rng() % 5);
    const double sum = qty * static_cast<double>(1 + rng() % 10);
    try {
      if (rng() % 2 == 0) {
        TBonusResult r = filled<TBonusResult>();
        callSlot<BonusSaleExFn>(host, 22, &r, host, 'A', std::uint8_t{19}, qty, sum, nullptr,
                                nullptr, nullptr, nullptr, -1);
      } else {
        TSaleResult r = filled<TSaleResult>();
        callSlot<SubSchetFn>(host, 4, &r, host, std::uint8_t{19}, qty, sum);
      }
    } catch (const std::exception&) {
      // A sale cut short by the previous child's death: the next one goes on.
    }
  }
}

}  // namespace
}  // namespace vexcard::test
