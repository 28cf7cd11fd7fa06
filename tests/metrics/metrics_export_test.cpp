// The metrics file as a station's monitoring reads it: Debian's prometheus-node-exporter with
// only its textfile collector, on a free loopback port, reads the driver's folder while a short
// soak of sales with faults runs against the simulated terminal; /metrics, scraped over HTTP,
// must carry the driver's figures, and the money figures must be those of the journal.
// Skipped only when the exporter is not installed ($VEXCARD_NODE_EXPORTER, else
// prometheus-node-exporter or node_exporter on the PATH).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "integration/host_fixture.h"
#include "link/journal_format.h"
#include "support/reply_wait_steer.h"
#include "support/temp_folder.h"
#include "vexcard/exception.h"

extern char** environ;

namespace vexcard::test {
namespace {

using sim::FaultKind;
using sim::FaultRule;

std::string findExporter() {
  if (const char* v = std::getenv("VEXCARD_NODE_EXPORTER"); v != nullptr && *v != '\0') {
    return ::access(v, X_OK) == 0 ? v : "";
  }
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    for (const char* name : {"prometheus-node-exporter", "node_exporter"}) {
      const std::string candidate = dir + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return {};
}

std::uint16_t freeLoopbackPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0;
  ::close(s);
  return ok ? ntohs(a.sin_port) : 0;
}

// The exporter serving the folder's *.prom files; stopped with SIGTERM at the end. Another
// program may take the free port before the exporter binds it: then it ends at once and is
// started again on another.
class NodeExporter {
 public:
  NodeExporter(const std::string& program, const std::string& folder) {
    for (int tries = 0; tries < 3; ++tries) {
      start(program, folder);
      if (started()) break;
    }
  }
  ~NodeExporter() { stop(); }
  // /metrics as served, or empty when the exporter does not answer within a hang guard.
  std::string scrape() {
    for (int tries = 0; tries < 200 && pid_ > 0; ++tries) {
      if (auto r = client_->Get("/metrics"); r && r->status == 200) return r->body;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
  }

 private:
  void start(const std::string& program, const std::string& folder) {
    const std::uint16_t port = freeLoopbackPort();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
    client_->set_connection_timeout(1);
    std::vector<std::string> args = {
        program, "--collector.disable-defaults", "--collector.textfile",
        "--collector.textfile.directory=" + folder,
        std::string("--web.listen-address=127.0.0.1:").append(std::to_string(port))};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  // Whether the exporter answers; false (and stopped) when it has ended or never does.
  bool started() {
    for (int tries = 0; tries < 200 && pid_ > 0; ++tries) {
      if (auto r = client_->Get("/metrics"); r && r->status == 200) return true;
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
    return false;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  std::unique_ptr<httplib::Client> client_;
};

// The samples of a scrape: "name{labels}" (labels as the exporter orders them) to value.
std::map<std::string, double> samples(const std::string& text) {
  std::map<std::string, double> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const auto blank = line.rfind(' ');
    if (line.empty() || line[0] == '#' || blank == std::string::npos) continue;
    out[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return out;
}

class MetricsExport : public HostTest {
 protected:
  void TearDown() override {
    ReplyWaitSteer::stop();
    unsetenv("VEXCARD_METRICS_DIR");
  }
  // A bonus sale; false when it failed.
  bool sale() {
    TBonusResult r = filled<TBonusResult>();
    try {
      callSlot<BonusSaleExFn>(host, 22, &r, host, 'A', std::uint8_t{19}, 2.0, 37.0, nullptr,
                              nullptr, nullptr, nullptr, -1);
      return true;
    } catch (const Exception&) {
      return false;
    }
  }
};

TEST_F(MetricsExport, TheExporterServesTheDriversFiguresAsTheJournalHasThem) {
  const std::string program = findExporter();
  if (program.empty()) GTEST_SKIP() << "prometheus-node-exporter is not installed";
  const std::string folder = env.folder().string() + "/textfile";
  std::filesystem::create_directories(folder);
  setenv("VEXCARD_METRICS_DIR", folder.c_str(), 1);
  use({{Delay::kCtsAnswer, 50}, {Delay::kMetricsWrite, 20}});
  const auto began = std::chrono::system_clock::now();
  start(simCard("bonus", 0x00, 0x01, 100000000, 1000));
  ReplyWaitSteer::start(*terminal.sim, 50, 5000);
  NodeExporter exporter(program, folder);

  constexpr std::uint8_t kSale = 0x08, kReadCard = 0x0A;
  const FaultRule faults[] = {
      FaultRule::of(FaultKind::kSilence).on(kSale),      // a time-out, then done
      FaultRule::of(FaultKind::kBadChecksum).on(kSale),  // spoiled, then done
      FaultRule::of(FaultKind::kWrongTerminator).on(kReadCard),
      FaultRule::of(FaultKind::kNoCtsAnswer).times(3),            // one attempt without hand-shake
      FaultRule::reply(0x01).on(kSale),                           // unknown
      FaultRule::reply(0x87).on(kSale),                           // refused
      FaultRule::of(FaultKind::kSilence).on(kSale).times(5),      // unknown
      FaultRule::of(FaultKind::kRefuse).on(kSale).times(5),       // not carried out
      FaultRule::of(FaultKind::kSilence).on(kReadCard).times(5),  // no money request at all
  };
  int operations = 0;
  for (int round = 0; round < 2; ++round) {
    for (const FaultRule& fault : faults) {
      EXPECT_TRUE(sale());
      terminal.sim->injectFault(fault);
      sale();
      terminal.sim->clearFaults();
      operations += 2;
    }
    if (round == 0) {
      // Written while the driver works, not only at its end.
      std::map<std::string, double> now;
      for (int tries = 0; tries < 200 && now[R"(vexcard_exchanges_total{port="COM1"})"] == 0;
           ++tries) {
        now = samples(exporter.scrape());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      EXPECT_GT(now[R"(vexcard_exchanges_total{port="COM1"})"], 0);
    }
  }
  hostDestructor(host)(host);  // the last write
  host = nullptr;
  const auto ended = std::chrono::system_clock::now();

  const std::string text = exporter.scrape();
  ASSERT_NE(text.find("# TYPE vexcard_money_requests_total counter"), std::string::npos) << text;
  auto s = samples(text);
  EXPECT_EQ(s["node_textfile_scrape_error"], 0);
  const auto series = [&](const std::string& name, const std::string& outcome = {}) {
    const std::string labels = outcome.empty() ? "" : "outcome=\"" + outcome + "\",";
    return s[name + "{" + labels + "port=\"COM1\"}"];
  };

  std::map<std::string, double> journal;
  for (const auto& e : link::readJournal((env.folder() / "ZUR" / "VexCard.journal").string())) {
    std::string outcome(link::outcomeName(e.outcome.outcome));
    std::replace(outcome.begin(), outcome.end(), ' ', '_');
    ++journal[outcome];
  }
  EXPECT_EQ(journal["done"], 26);
  EXPECT_EQ(journal["unknown"], 4);
  EXPECT_EQ(journal["refused"], 2);
  EXPECT_EQ(journal["not_carried_out"], 2);
  for (const char* o : {"done", "refused", "not_carried_out", "unknown"}) {
    EXPECT_EQ(series("vexcard_money_requests_total", o), journal[o]) << o;
  }
  EXPECT_EQ(series("vexcard_unknown_outcomes_unsettled"), journal["unknown"]);
  double told = 0;
  for (const char* o : {"none", "not_carried_out", "refused", "unknown", "done"}) {
    told += series("vexcard_money_operations_total", o);
  }
  EXPECT_EQ(told, operations);
  EXPECT_EQ(series("vexcard_money_operations_total", "none"), 2);

  // A card read and a sale each, but a card read alone where it failed, and a tsReset after
  // each 0x01.
  EXPECT_EQ(series("vexcard_exchanges_total"), 2 * operations - 2 + 2);
  // Per round: five silences on a card read, five and one on a sale; a bad checksum and a wrong
  // terminator; a hand-shake left unanswered (a late CTS answer could add one: at least).
  EXPECT_EQ(series("vexcard_timeouts_total"), 22);
  EXPECT_EQ(series("vexcard_spoiled_replies_total"), 4);
  EXPECT_GE(series("vexcard_handshake_failures_total"), 2);
  // After each fault but the 0x01 and the 0x87 one attempt more, four after the five-fold ones.
  EXPECT_GE(series("vexcard_retries_total"), 32);
  const double last = series("vexcard_last_good_exchange_timestamp_seconds");
  EXPECT_GE(last,
            std::chrono::duration_cast<std::chrono::seconds>(began.time_since_epoch()).count());
  EXPECT_LE(last,
            std::chrono::duration_cast<std::chrono::seconds>(ended.time_since_epoch()).count());

  // The next driver starts its counters afresh; the journal's unknowns are still there.
  HostObject* next = library::wrapDriver(driver::createDriver(1));
  hostDestructor(next)(next);
  s = samples(exporter.scrape());
  EXPECT_EQ(series("vexcard_exchanges_total"), 0);
  EXPECT_EQ(series("vexcard_unknown_outcomes_unsettled"), 4);
}

}  // namespace
}  // namespace vexcard::test
