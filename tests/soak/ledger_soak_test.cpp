// The ledger soak: thousands of random host operations with random faults, through one
// driver on a network serial port (rfc2217://) to the simulated terminal behind the
// simulator's RFC 2217 server, with the server restarted in the middle. At the end the
// terminal's ledger must agree with what the host was told:
// - every sale, debit and refund reported as done is in it once, with the reported figures;
// - one reported as failed is in it only where the terminal's good reply was lost on the
//   line (counted and printed);
// - each card's balance is its opening balance less what its live sales charged;
// - the driver's journal reconciles with the ledger (journal_reconcile.h);
// - the heap in use after warm-up does not grow beyond the ledger's own records.
//
// VEXCARD_SOAK_OPS sets the number of operations (default 6000) and VEXCARD_SOAK_RAND the
// random start (default: from the clock); both are printed, so that a failing run can be
// repeated exactly as far as the operations and faults go.
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>

#include "comport/device_virtual.h"
#include "driver/driver_factory.h"
#include "integration/host_fixture.h"
#include "library/host_table.h"
#include "platform/timing.h"
#include "soak/journal_reconcile.h"
#include "support/reply_wait_steer.h"
#include "terminal-sim/rfc2217_server.h"
#include "terminal-sim/terminal_simulator.h"

namespace vexcard::test {
namespace {

using sim::FaultKind;
using sim::FaultRule;

constexpr unsigned kPort = 9;
constexpr std::uint8_t kSale = 0x08, kRefund = 0x09, kReadCard = 0x0A, kRefundReset = 0x0D,
                       kDebit = 0x0E;
// The server goes down and comes back in the middle of the run; the driver's network port
// makes its connection again.
constexpr bool kRestartInTheMiddle = true;

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}
std::size_t heapInUse() { return mallinfo2().uordblks; }

// A sale the host was told is done, and whether the host was told it is refunded.
struct Reported {
  std::size_t at;  // position in the terminal's ledger
  std::uint32_t id;
  std::string card;
  std::int64_t charged;
  std::array<std::uint8_t, 79> block;
  bool refunded = false;
  bool refundable = true;  // the host holds its block
};

std::uint32_t saleIdOf(const std::uint8_t* block) {
  return block[12] | block[13] << 8 | block[14] << 16 | static_cast<std::uint32_t>(block[15]) << 24;
}

class LedgerSoak : public ::testing::Test {
 protected:
  LedgerSoak() {
    sim::SimulatorConfig config;
    config.cards.push_back(simCard("bonus", 0x00, 0x01, kOpening, 1000));
    config.cards.push_back(simCard("fleet", 0x00, 0x00, kOpening, 200, "98765432109876543210"));
    terminal = std::make_unique<sim::TerminalSimulator>(line->open(1), config);
    terminal->setReplyDelay(1);
    terminal->setTrickleDelay(0);
    terminal->start();
    EXPECT_TRUE(server.start());
    setenv("VEXCARD_COM9", ("rfc2217://127.0.0.1:" + std::to_string(server.port())).c_str(), 1);
    host = library::wrapDriver(driver::createDriver(kPort));
    ReplyWaitSteer::start(*terminal, 150, 5000);
  }
  ~LedgerSoak() override {
    ReplyWaitSteer::stop();
    hostDestructor(host)(host);
    unsetenv("VEXCARD_COM9");
    server.stop();
    terminal->stop();
  }

  static timing::Policy policy() {
    timing::Policy p = timing::Policy::scaled(1, 1000);  // pauses of a millisecond or two
    return p.set(timing::Delay::kCtsAnswer, 50)
        .set(timing::Delay::kHandshakeRetry, 5)
        .set(timing::Delay::kReplyWait, 5000)     // 150 ms where no good reply comes (below)
        .set(timing::Delay::kKeepAliveIdle, 500)  // polls come between operations now and then
        .set(timing::Delay::kNetworkConnect, 5000)
        .set(timing::Delay::kNetworkReply, 3000);
  }

  // A random fault for the next operation: on one of its commands or on any request.
  void randomFault(std::mt19937_64& rng, std::initializer_list<std::uint8_t> commands) {
    if (rng() % 4 != 0) return;
    static const FaultRule kinds[] = {
        FaultRule::of(FaultKind::kSilence),
        FaultRule::of(FaultKind::kRefuse),
        FaultRule::of(FaultKind::kBadChecksum),
        FaultRule::of(FaultKind::kWrongTerminator),
        FaultRule::of(FaultKind::kTrickle),
        FaultRule::of(FaultKind::kGarbageBefore),
        FaultRule::reply(0x81),
        FaultRule::reply(0x8A),
        FaultRule::reply(0x87),
        FaultRule::reply(0x8F),
        FaultRule::reply(0x01),
    };
    const int count = rng() % 3 == 0 ? 5 : 1;  // five use up every attempt
    if (rng() % 10 == 0) {
      terminal->injectFault(FaultRule::of(FaultKind::kNoCtsAnswer).times(count));
    } else {
      FaultRule rule = kinds[rng() % std::size(kinds)].times(count);
      const std::size_t pick = rng() % (commands.size() + 1);
      if (pick < commands.size()) rule = rule.on(commands.begin()[pick]);
      terminal->injectFault(rule);
    }
    ++faults;
  }

  // Whether the terminal wrote a good reply (code 0) to `command` since the records were
  // cleared: the reply existed, the line lost it.
  bool goodReplyWritten(std::uint8_t command) const {
    for (const auto& r : terminal->requests()) {
      if (r.valid() && r.commandCode() == command && r.replyCode() == 0 && !r.replyWire.empty()) {
        return true;
      }
    }
    return false;
  }

  static constexpr std::int64_t kOpening = 15000000;  // 150 000.00

  DriverEnv env{policy()};
  std::shared_ptr<comport::VirtualSerialPair> line = comport::NewVirtualSerialPair();
  std::unique_ptr<comport::SerialDevice> networkEnd = line->open(0);
  sim::Rfc2217Server server{*networkEnd};
  std::unique_ptr<sim::TerminalSimulator> terminal;
  HostObject* host = nullptr;
  std::size_t faults = 0;
};

TEST_F(LedgerSoak, TheTerminalsLedgerAgreesWithWhatTheHostWasTold) {
  const std::uint64_t ops = envNumber("VEXCARD_SOAK_OPS", 6000);
  const std::uint64_t start = envNumber(
      "VEXCARD_SOAK_RAND",
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::cout << "ledger soak: " << ops << " operations, random start VEXCARD_SOAK_RAND=" << start
            << std::endl;
  std::mt19937_64 rng(start);

  std::vector<Reported> sales;  // reported done, in order
  std::map<std::uint32_t, std::size_t> byId;
  std::size_t done = 0, doneAfterRestart = 0, failed = 0, lostSales = 0, lostRefunds = 0,
              quotes = 0, restarts = 0;
  std::size_t heapWarm = 0, ledgerWarm = 0;
  const auto began = std::chrono::steady_clock::now();

  for (std::uint64_t n = 0; n < ops; ++n) {
    if (n == 200) {
      heapWarm = heapInUse();
      ledgerWarm = terminal->saleCount();
    }
    if (kRestartInTheMiddle && n == ops / 2) {
      const std::uint16_t port = server.port();
      server.stop();
      ASSERT_TRUE(server.start("127.0.0.1", port));
      ++restarts;
    }
    terminal->clearRecords();
    const std::size_t ledgerBefore = terminal->saleCount();
    const int kind = static_cast<int>(rng() % 7);
    const bool fleet = kind == 5;
    terminal->insertCard(fleet ? "fleet" : "bonus");
    const double qty = 1 + static_cast<double>(rng() % 5);
    const double sum = qty * static_cast<double>(1 + rng() % 10);  // the balances last the run
    const bool refund = (kind == 2 || kind == 3) && !sales.empty();
    Reported* target = nullptr;
    if (refund) {
      target = &sales[rng() % sales.size()];
      if (target->refunded || !target->refundable) target = nullptr;
    }
    if ((kind == 2 || kind == 3) && target == nullptr) continue;
    randomFault(rng, {kReadCard, kSale, kDebit, kRefund, kRefundReset});

    std::array<std::uint8_t, 79> block{};
    double summaSk = -1, amount = -1;
    bool ok = true;
    try {
      switch (kind) {
        case 0:
        case 1: {  // a bonus sale, or a debit quote
          TBonusResult r = filled<TBonusResult>();
          callSlot<BonusSaleExFn>(host, 22, &r, host, kind == 0 ? 'A' : 'M', std::uint8_t{19}, qty,
                                  sum, nullptr, nullptr, nullptr, block.data(), 78);
          summaSk = r.SummaSk;
          break;
        }
        case 2: {  // a bonus refund
          block = target->block;
          TBonusResult r = filled<TBonusResult>();
          callSlot<BonusSaleExFn>(host, 22, &r, host, '+', std::uint8_t{19}, qty, sum, nullptr,
                                  nullptr, nullptr, block.data(), 78);
          break;
        }
        case 3: {  // a refund by block, with tsRefund or tsRefundReset
          std::uint8_t status = 0xFF;
          callSlot<RefundSaleFn>(host, 15, &status, host, std::uint8_t{1}, nullptr, nullptr,
                                 target->block.data(), 78, std::uint8_t{19}, qty, sum,
                                 static_cast<std::uint8_t>(rng() % 2));
          break;
        }
        case 4: {  // a plain sale
          TSaleResult r = filled<TSaleResult>();
          callSlot<SubSchetFn>(host, 4, &r, host, std::uint8_t{19}, qty, sum);
          amount = r.Amount;
          break;
        }
        case 5: {  // a non-cash sale
          TSaleResultEx r = filled<TSaleResultEx>();
          callSlot<SubSchetExFn>(host, 12, &r, host, std::uint8_t{1}, std::uint8_t{19}, qty, sum);
          summaSk = r.SummaSk;
          std::copy(std::begin(r.CardBlock), std::end(r.CardBlock), block.begin());
          break;
        }
        default: {  // a card read: the balance is the terminal's
          TCardInfo r = filled<TCardInfo>();
          callSlot<CardInfoFn>(host, 7, &r, host, 0u);
          EXPECT_EQ(std::llround(r.Available * 100), terminal->card("bonus")->balance)
              << "operation " << n;
          break;
        }
      }
    } catch (const std::exception&) {
      ok = false;
    }
    terminal->clearFaults();

    const auto added = terminal->sales(ledgerBefore);
    const auto refundedNow = [&] { return terminal->sales(target->at, 1).front().refunded; };
    const bool sells = kind == 0 || kind == 4 || kind == 5;
    if (ok) {
      ++done;
      if (restarts > 0) ++doneAfterRestart;
      if (sells || kind == 1) {
        // Carried out once, as reported.
        ASSERT_EQ(added.size(), 1u) << "operation " << n << " kind " << kind;
        const sim::SaleRecord& s = added.front();
        EXPECT_EQ(s.quote, kind == 1) << "operation " << n;
        if (summaSk >= 0) {
          EXPECT_EQ(std::llround(summaSk * 100), s.charged) << "operation " << n;
        }
        if (amount >= 0) {
          EXPECT_EQ(std::llround(amount * 100), s.amount - s.charged) << "operation " << n;
        }
        if (kind != 4) {
          EXPECT_EQ(saleIdOf(block.data()), s.id) << "operation " << n;
        }
        if (kind == 1) {
          ++quotes;
        } else {
          EXPECT_EQ(byId.count(s.id), 0u);
          byId[s.id] = sales.size();
          sales.push_back({ledgerBefore, s.id, s.cardName, s.charged, s.block});
          sales.back().refundable = kind != 4;  // a plain sale hands out no block
        }
      } else if (refund) {
        EXPECT_TRUE(refundedNow()) << "operation " << n;
        target->refunded = true;
      }
    } else {
      ++failed;
      // Nothing carried out, or carried out with its good reply lost on the line.
      if (!added.empty() && !added.front().quote) {
        EXPECT_TRUE(goodReplyWritten(kSale)) << "operation " << n;
        ++lostSales;
        const sim::SaleRecord& s = added.front();
        byId[s.id] = sales.size();
        sales.push_back({ledgerBefore, s.id, s.cardName, s.charged, s.block});
        sales.back().refundable = false;  // the host never saw its block
      }
      EXPECT_LE(added.size(), 1u);
      if (refund && refundedNow()) {
        EXPECT_TRUE(goodReplyWritten(kRefund) || goodReplyWritten(kRefundReset))
            << "operation " << n;
        ++lostRefunds;
        target->refunded = true;
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

  // The driver found the server again after its restart.
  EXPECT_TRUE(restarts == 0 || doneAfterRestart > 0);

  // Balances add up: each card's opening balance less what its live sales charged.
  const auto ledger = terminal->sales();
  std::map<std::string, std::int64_t> charged;
  for (const auto& s : ledger) {
    if (!s.quote && !s.refunded) charged[s.cardName] += s.charged;
  }
  for (const char* card : {"bonus", "fleet"}) {
    EXPECT_EQ(terminal->card(card)->balance, kOpening - charged[card]) << card;
  }
  // Every sale the host holds is in the ledger once; nothing is there that it was not told
  // of, apart from the lost replies counted above.
  std::size_t live = 0;
  for (const auto& s : ledger) live += s.quote ? 0 : 1;
  EXPECT_EQ(live, sales.size());

  // The journal reconciles with the ledger: nothing the terminal recorded is missing, and
  // nothing marked done or not carried out contradicts it.
  const Reconciliation journal =
      reconcile(link::readJournal((env.folder() / "ZUR" / "VexCard.journal").string()), ledger);
  std::cout << "ledger soak: journal against the ledger: " << journal.summary() << std::endl;
  for (std::size_t k = 0; k < journal.faults.size() && k < 20; ++k) {
    ADD_FAILURE() << journal.faults[k];
  }

  const std::size_t heapEnd = heapInUse();
  const std::size_t ledgerGrowth = (ledger.size() - ledgerWarm) * sizeof(sim::SaleRecord);
  // The soak's own record of what the host was told grows too.
  const std::size_t ownGrowth = sales.size() * (sizeof(Reported) + 64);
  const std::ptrdiff_t growth =
      static_cast<std::ptrdiff_t>(heapEnd) - static_cast<std::ptrdiff_t>(heapWarm);
  std::cout << "ledger soak: " << done << " done, " << failed << " failed, " << faults
            << " faults injected, " << lostSales << " sales and " << lostRefunds
            << " refunds with their reply lost, " << quotes << " quotes, " << restarts
            << " server restarts; heap in use after warm-up " << heapWarm << " B, at the end "
            << heapEnd << " B (" << growth << " B, the ledger's new records " << ledgerGrowth
            << " B, the soak's own " << ownGrowth << " B); " << seconds << " s" << std::endl;
  // Flat: beyond the terminal's growing ledger and the soak's own records (twice each, for a
  // vector's spare room), the heap grows by less than 256 KiB.
  EXPECT_LT(growth, static_cast<std::ptrdiff_t>(2 * (ledgerGrowth + ownGrowth) + 256 * 1024));
  // VEXCARD_SOAK_LOG keeps the driver's log (its generations joined, oldest first), e.g. for
  // vexcard log --summary.
  if (const char* keep = std::getenv("VEXCARD_SOAK_LOG"); keep != nullptr && *keep != '\0') {
    std::ofstream out(keep, std::ios::binary);
    const std::filesystem::path log = env.folder() / "log" / "VexCard.log";
    for (int g = 10; g >= -1; --g) {
      std::ifstream in(g < 0 ? log.string() : log.string() + "." + std::to_string(g),
                       std::ios::binary);
      if (in) out << in.rdbuf();
    }
  }
}

}  // namespace
}  // namespace vexcard::test
