// The journal of money requests, written by the driver against the simulated terminal: each
// request with its figures and its outcome, and nothing for the other commands.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "integration/host_fixture.h"
#include "link/journal.h"
#include "link/journal_format.h"
#include "link/terminal_link.h"
#include "platform/codepage.h"
#include "platform/file_events.h"
#include "support/reply_wait_steer.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using link::RequestOutcome;
using namespace vexcard::literals;
constexpr std::uint8_t kSale = 0x08, kRefund = 0x09;

class JournalTest : public HostTest {
 protected:
  void sale() {
    TBonusResult r = filled<TBonusResult>();
    callSlot<BonusSaleExFn>(host, 22, &r, host, 'A', std::uint8_t{19}, 20.0, 370.0, nullptr,
                            nullptr, nullptr, nullptr, -1);
  }
  std::vector<link::JournalEntry> journal() const {
    return link::readJournal((env.folder() / "ZUR" / "VexCard.journal").string());
  }
  // Counts the money frames that reach the terminal, and those whose request was in the
  // journal, without an outcome yet, by then.
  void watchFrames() {
    sim::SimulatorObserver observer;
    observer.request = [this](const sim::RequestRecord& r) {
      if (!r.valid() || (r.commandCode() != kSale && r.commandCode() != kRefund)) return;
      ++frames;
      const auto entries = journal();
      if (!entries.empty() && !entries.back().outcome.recorded &&
          static_cast<std::uint8_t>(entries.back().request.packet) == r.packetIndex) {
        ++journalledFirst;
      }
    };
    terminal.sim->setObserver(observer);
  }
  // A bonus card, a hand-shake try that runs out costs only another try, the reply waits
  // steered (until the test ends).
  void startSteered() {
    use({{Delay::kCtsAnswer, 50}});
    start(simCard("bonus", 0x00, 0x01, 1000000, 1000));
    ReplyWaitSteer::start(*terminal.sim, 50, 5000);
  }
  void TearDown() override { ReplyWaitSteer::stop(); }
  std::atomic<int> frames{0}, journalledFirst{0};
};

TEST_F(JournalTest, EachMoneyRequestWithItsFiguresAndHowItEnded) {
  startSteered();
  watchFrames();
  sale();
  terminal.fault(sim::FaultKind::kBadChecksum, kSale, 5);  // the reply is lost five times
  EXPECT_THROW(sale(), Exception);
  terminal.replyCode(0x87, kSale);
  EXPECT_THROW(sale(), Exception);
  // A refund that never reaches the line: no hand-shake answer in any attempt.
  terminal.fault(sim::FaultKind::kNoCtsAnswer, std::nullopt, 15);
  std::array<std::uint8_t, 79> block{0x12, 0x34};
  std::uint8_t status = 0xFF;
  EXPECT_THROW(
      callSlot<RefundSaleFn>(host, 15, &status, host, std::uint8_t{1}, nullptr, nullptr,
                             block.data(), 78, std::uint8_t{19}, 20.0, 370.0, std::uint8_t{0}),
      Exception);

  const auto entries = journal();
  ASSERT_EQ(entries.size(), 4u);  // the card reads are not there
  const link::JournalRequest& r = entries[0].request;
  EXPECT_EQ(r.command, "tsSale");
  EXPECT_EQ(r.operation, "BonusSaleEx");
  EXPECT_EQ(r.port, 1u);
  EXPECT_EQ(r.transaction, 1u);
  EXPECT_EQ(r.purse, 19u);
  EXPECT_EQ(r.productCode, 92);
  EXPECT_EQ(r.productName, "Аи-92");
  EXPECT_EQ(link::journalMoney(r.price) + " " + link::journalMoney(r.quantity) + " " +
                link::journalMoney(r.amount),
            "18.50 20.00 370.00");
  EXPECT_EQ(r.card, "12345678901234567890");
  EXPECT_EQ(entries[0].outcome.outcome, RequestOutcome::kDone);
  EXPECT_EQ(link::journalMoney(entries[0].outcome.money2), "333.00");
  EXPECT_EQ(entries[0].outcome.block.size(), 158u);

  EXPECT_EQ(entries[1].outcome.outcome, RequestOutcome::kUnknown);
  EXPECT_EQ(entries[1].request.amount, r.amount);
  EXPECT_EQ(entries[2].outcome.outcome, RequestOutcome::kRefused);
  EXPECT_EQ(entries[2].outcome.code, 0x87);
  EXPECT_EQ(entries[3].request.command, "tsRefund");
  EXPECT_EQ(entries[3].request.operation, "RefundSale");
  EXPECT_EQ(entries[3].request.card.substr(0, 4), "1234");
  EXPECT_EQ(entries[3].outcome.outcome, RequestOutcome::kNotCarriedOut);
  for (const auto& e : entries) EXPECT_TRUE(e.outcome.recorded);
  // Each frame found its request in the journal when it reached the terminal (the five
  // spoiled replies make five frames of one request).
  EXPECT_EQ(frames.load(), 7);
  EXPECT_EQ(journalledFirst.load(), 7);
}

// A failing money operation tells the host what came of its request, as the journal does:
// unknown for a sale answered 0x01, and for a refund that went out unanswered while the
// tsReset the stale 0x01 asks for failed too; done for a sale whose reply the driver then
// could not use.
TEST_F(JournalTest, AFailedMoneyOperationTellsTheHostWhatTheJournalRecords) {
  startSteered();
  const auto outcomeOf = [](auto&& call) {
    try {
      call();
    } catch (const Exception& e) {
      return e.outcome();
    }
    return MoneyOutcome::kNone;
  };
  terminal.replyCode(0x01, kSale);
  terminal.fault(sim::FaultKind::kSilence, 0x00, 10);  // both tsResets
  EXPECT_EQ(outcomeOf([&] { sale(); }), MoneyOutcome::kUnknown);
  terminal.fault(sim::FaultKind::kSilence, kRefund, 5);
  std::array<std::uint8_t, 79> block{};
  std::uint8_t status = 0xFF;
  EXPECT_EQ(outcomeOf([&] {
              callSlot<RefundSaleFn>(host, 15, &status, host, std::uint8_t{1}, nullptr, nullptr,
                                     block.data(), 78, std::uint8_t{19}, 20.0, 370.0,
                                     std::uint8_t{0});
            }),
            MoneyOutcome::kUnknown);
  EXPECT_EQ(env.countLogPrefix("Результат операции неизвестен: tsRefund"_w1251), 1u);
  // A bonus refund the terminal refuses (0x8D: no such sale) is compensated: journalled too.
  TBonusResult refund = filled<TBonusResult>();
  EXPECT_THROW(callSlot<BonusSaleExFn>(host, 22, &refund, host, '+', std::uint8_t{19}, 20.0, 370.0,
                                       nullptr, nullptr, nullptr, block.data(), 78),
               Exception);
  terminal.sim->addCard(simCard("fuel", 0x00, 0x00, 1000000, 0, "11112222333344445555"));
  terminal.sim->insertCard("fuel");
  patchReply(kSale, 11, {0, 0, 0, 0});  // a gross amount of 0 leaves no discount to compute
  TSaleResultEx r = filled<TSaleResultEx>();
  EXPECT_EQ(outcomeOf([&] {
              callSlot<SubSchetExFn>(host, 12, &r, host, std::uint8_t{1}, std::uint8_t{19}, 20.0,
                                     370.0);
            }),
            MoneyOutcome::kDone);

  const auto entries = journal();
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].outcome.outcome, RequestOutcome::kUnknown);
  EXPECT_EQ(entries[1].outcome.outcome, RequestOutcome::kUnknown);
  EXPECT_EQ(entries[2].outcome.outcome, RequestOutcome::kRefused);
  EXPECT_EQ(entries[3].request.command, "tsRefundReset");
  EXPECT_EQ(entries[4].outcome.outcome, RequestOutcome::kDone);
}

// A FIFO where the journal should be: the sales go on, and the log says so once.
TEST_F(JournalTest, AJournalThatCannotBeWrittenStopsNoSale) {
  std::filesystem::create_directories(env.folder() / "ZUR");
  ASSERT_EQ(::mkfifo((env.folder() / "ZUR" / "VexCard.journal").c_str(), 0600), 0);
  start(simCard("bonus", 0x00, 0x01, 1000000, 1000));
  sale();
  sale();
  EXPECT_EQ(env.countLogPrefix("Журнал операций не открыт: "_w1251), 1u);
  EXPECT_EQ(terminal.sim->saleCount(), 2u);
}

// The disk under the journal and the settings store as a page cache: every step of their
// durable writes, and the frames that reached the terminal, in order. Replayed up to any
// step it gives what a power cut there leaves: the flushed data and the folder entries of
// the last folder flush, with the writes since the file's last flush lost, cut at a byte or
// zero-filled.
class PageCache final : public platform::FileEvents {
 public:
  enum Kind { kCreate, kAppend, kSync, kFolderSync, kRename, kRemove, kFrame };
  struct Step {
    Kind kind;
    std::string path, to;  // kFrame: to holds the command code
    std::string bytes;
    std::int32_t counter = 0;  // kFrame: the packet counter last stored before it
  };
  void created(const std::string& p) override { add({kCreate, p, {}, {}}); }
  void appended(const std::string& p, std::string_view b) override {
    std::lock_guard<std::mutex> g(lock);
    steps.push_back({kAppend, p, {}, std::string(b)});
    if (p.find("/." + std::string(link::kPacketCounterValue) + ".tmp.") != std::string::npos) {
      counter = std::stoi(std::string(b));
    }
  }
  void synced(const std::string& p) override { add({kSync, p, {}, {}}); }
  void folderSynced(const std::string& f) override { add({kFolderSync, f, {}, {}}); }
  void renamed(const std::string& f, const std::string& t) override { add({kRename, f, t, {}}); }
  void removed(const std::string& p) override { add({kRemove, p, {}, {}}); }
  void frame(std::uint8_t command, std::uint8_t packet) {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(counter & 0xFF, packet) << "the frame's index was stored before it went out";
    steps.push_back({kFrame, {}, std::string(1, static_cast<char>(command)), {}, counter});
  }

  // The files a power cut after `count` steps leaves: mode 0 loses the unflushed writes,
  // mode 1 zero-fills them, mode 2 + c keeps their first c bytes (all, for c from a file's
  // unflushed size on); longest gets the most bytes unflushed in one file.
  std::map<std::string, std::string> survivors(std::size_t count, std::size_t mode,
                                               std::size_t& longest) const {
    struct Inode {
      std::string data;
      std::size_t flushed = 0;
    };
    std::vector<Inode> inodes;
    std::map<std::string, std::size_t> live, durable;
    const auto folder = [](const std::string& p) { return p.substr(0, p.rfind('/')); };
    for (std::size_t k = 0; k < count; ++k) {
      const Step& s = steps[k];
      const auto it = live.find(s.path);
      if (s.kind == kCreate) {
        live[s.path] = inodes.size();
        inodes.emplace_back();
      } else if (s.kind == kFolderSync) {
        std::erase_if(durable, [&](const auto& e) { return folder(e.first) == s.path; });
        for (const auto& [p, id] : live) {
          if (folder(p) == s.path) durable[p] = id;
        }
      } else if (it != live.end()) {
        Inode& inode = inodes[it->second];
        if (s.kind == kAppend) inode.data += s.bytes;
        if (s.kind == kSync) inode.flushed = inode.data.size();
        if (s.kind == kRename) live[s.to] = it->second;
        if (s.kind == kRename || s.kind == kRemove) live.erase(it);
      }
    }
    std::map<std::string, std::string> files;
    longest = 0;
    for (const auto& [p, id] : durable) {
      const Inode& inode = inodes[id];
      const std::size_t lost = inode.data.size() - inode.flushed;
      longest = std::max(longest, lost);
      files[p] = inode.data.substr(0, inode.flushed) +
                 (mode == 1 ? std::string(lost, '\0')
                            : inode.data.substr(inode.flushed, mode < 2 ? 0 : mode - 2));
    }
    return files;
  }
  std::mutex lock;
  std::vector<Step> steps;
  std::int32_t counter = 0;

 private:
  void add(Step step) {
    std::lock_guard<std::mutex> g(lock);
    steps.push_back(std::move(step));
  }
};

// Three sales (done, refused, done) with a power cut at every step of their journal and
// settings writes, in each way a page cache can lose them, and a restart on what is left.
TEST_F(JournalTest, APowerCutAtAnyWriteOrFlushLosesNothingTheTerminalMayHaveActedOn) {
  const std::string journalPath = (env.folder() / "journal" / "VexCard.journal").string();
  const std::string counterPath =
      (env.folder() / "ZUR" / std::string(link::kPacketCounterValue)).string();
  env.setJournalPath(journalPath);  // apart from the settings, whose flushes would hide its own
  PageCache cache;
  platform::setFileEvents(&cache);
  struct Unwatch {
    sim::TerminalSimulator& sim;
    ~Unwatch() {
      platform::setFileEvents(nullptr);
      sim.setObserver({});
    }
  } unwatch{*terminal.sim};
  sim::SimulatorObserver observer;
  observer.request = [&](const sim::RequestRecord& r) {
    if (r.valid()) cache.frame(r.commandCode(), r.packetIndex);
  };
  terminal.sim->setObserver(observer);
  start(simCard("bonus", 0x00, 0x01, 1000000, 1000));
  sale();
  terminal.replyCode(0x87, kSale);
  EXPECT_THROW(sale(), Exception);
  sale();
  hostDestructor(host)(host);
  host = nullptr;
  platform::setFileEvents(nullptr);

  std::set<std::string> written;  // every journal line the driver wrote
  for (const PageCache::Step& s : cache.steps) {
    if (s.kind == PageCache::kAppend && s.path == journalPath) written.insert(s.bytes);
  }
  ASSERT_EQ(written.size(), 6u);
  test::TempFolder after;
  const std::string restarted = after / "VexCard.journal";
  link::JournalRequest marker;
  marker.time = "2999-01-01 00:00:00.000";
  marker.command = "tsSale";
  std::size_t states = 0;
  for (std::size_t count = 0; count <= cache.steps.size(); ++count) {
    std::size_t longest = 0;
    for (std::size_t mode = 0; mode <= 2 + longest; ++mode, ++states) {
      auto files = cache.survivors(count, mode, longest);
      std::filesystem::remove(restarted);  // not truncated: ext4 flushes a truncated file
      std::ofstream(restarted, std::ios::binary) << files[journalPath];
      // The records read are exactly the complete lines left, before the restart and after
      // it with the one the restarted driver wrote.
      std::size_t complete = 0, from = 0;
      for (std::size_t lf; (lf = files[journalPath].find('\n', from)) != std::string::npos;) {
        complete += written.count(files[journalPath].substr(from, lf + 1 - from));
        from = lf + 1;
      }
      const auto check = [&](const std::vector<link::JournalEntry>& entries, std::size_t extra) {
        std::size_t records = 0;
        for (std::size_t k = 0; k < entries.size(); ++k) {
          const link::JournalEntry& e = entries[k];
          records += 1 + e.outcome.recorded;
          if (k + extra == entries.size()) break;
          EXPECT_EQ(written.count(link::formatRequestLine(e.request)), 1u);
          if (e.outcome.recorded) {
            EXPECT_EQ(written.count(link::formatOutcomeLine(e.request, e.outcome)), 1u);
          }
        }
        EXPECT_EQ(records, complete + extra) << count << "/" << mode;
      };
      std::vector<link::JournalEntry> before;
      link::parseJournal(files[journalPath], before);
      check(before, 0);
      link::Journal(restarted).begin(marker);
      const link::JournalContents read = link::readJournalContents(restarted);
      check(read.entries, 1);
      ASSERT_FALSE(read.entries.empty());
      EXPECT_EQ(read.entries.back().request.time, marker.time) << count << "/" << mode;
      // Each money frame that reached the terminal found its request durable, and the
      // stored counter at least at its index.
      const std::int32_t counter =
          files.count(counterPath) ? std::stoi(files[counterPath]) : 1;
      for (std::size_t k = 0; k < count; ++k) {
        const PageCache::Step& s = cache.steps[k];
        if (s.kind != PageCache::kFrame) continue;
        EXPECT_GE(counter, s.counter) << count << "/" << mode;
        if (s.to[0] != static_cast<char>(kSale)) continue;
        EXPECT_TRUE(std::any_of(read.entries.begin(), read.entries.end(), [&](const auto& e) {
          return e.request.packet == s.counter;
        })) << "crash after step " << count << ", mode " << mode;
      }
      if (HasFailure()) return;
    }
  }
  std::printf("power cuts: %zu steps, %zu crash states, all recovered\n", cache.steps.size(),
              states);
}

}  // namespace
}  // namespace vexcard::test
