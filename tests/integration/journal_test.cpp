// The journal of money requests, written by the driver against the simulated terminal: each
// request with its figures and its outcome, and nothing for the other commands.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <filesystem>

#include "integration/host_fixture.h"
#include "link/journal_format.h"
#include "platform/codepage.h"
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
  std::atomic<int> frames{0}, journalledFirst{0};
};

TEST_F(JournalTest, EachMoneyRequestWithItsFiguresAndHowItEnded) {
  // A hand-shake try that runs out costs only another try; the reply waits are steered.
  use({{Delay::kCtsAnswer, 50}});
  start(simCard("bonus", 0x00, 0x01, 1000000, 1000));
  ReplyWaitSteer::start(*terminal.sim, 50, 5000);
  struct Stop {
    ~Stop() { ReplyWaitSteer::stop(); }
  } stop;
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
  use({{Delay::kCtsAnswer, 50}});
  start(simCard("bonus", 0x00, 0x01, 1000000, 1000));
  ReplyWaitSteer::start(*terminal.sim, 50, 5000);
  struct Stop {
    ~Stop() { ReplyWaitSteer::stop(); }
  } stop;
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

}  // namespace
}  // namespace vexcard::test
