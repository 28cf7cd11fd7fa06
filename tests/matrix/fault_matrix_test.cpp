// The fault matrix: every host operation that talks to the terminal, against every fault the
// simulated terminal (or its line) can produce, once and five times in a row.
//
// Each cell checks the operation's result against a rule (below), that a success is one the
// terminal carried out (its ledger: sales, refunds, purse handles, shift state), that a
// failure left a trace in the ledger only where the reply was lost on the line, that the
// link is idle afterwards (LinkState 100, exchange lock free), that the next operation on
// the same driver works once the fault is gone, and that the time the operation may have
// spent waiting stays within what the exchange's waits allow. That time is added up from
// the durations the operation takes from the timing policy (timing::setObserver), in the
// policy's units: no clock is read, so a slow machine cannot fail a cell.
//
// Timing: pauses are a millisecond or two and the CTS wait is short (a try that misses costs
// only the next try). The reply wait is long, and short only for a request the terminal
// leaves unanswered or answers with a spoiled reply (ReplyWaitSteer), so no good reply can
// miss its wait and be taken for the next request's.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <string>
#include <thread>

#include "integration/host_fixture.h"
#include "link/link_state.h"
#include "link/status_texts.h"
#include "platform/codepage.h"
#include "support/reply_wait_steer.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using namespace vexcard::literals;
using sim::FaultKind;

// ---- Faults ----------------------------------------------------------------------------

enum class Fault {
  kSilence,
  kRefuse,
  kBadChecksum,
  kWrongTerminator,
  kTrickle,
  kGarbage,
  kNoCts,
  kVanish,
  kCode81,
  kCode8F,
  kCode01,
  kCode8A,
};
constexpr std::array kFaults = {Fault::kSilence,         Fault::kRefuse,  Fault::kBadChecksum,
                                Fault::kWrongTerminator, Fault::kTrickle, Fault::kGarbage,
                                Fault::kNoCts,           Fault::kVanish,  Fault::kCode81,
                                Fault::kCode8F,          Fault::kCode01,  Fault::kCode8A};

const char* faultName(Fault f) {
  constexpr const char* names[] = {"silence",   "refuse",    "bad_checksum", "wrong_terminator",
                                   "trickle",   "garbage",   "no_cts",       "vanish",
                                   "code_0x81", "code_0x8F", "code_0x01",    "code_0x8A"};
  return names[static_cast<int>(f)];
}
// The terminal carried the command out, but its reply did not reach the driver intact.
bool spoilsReplyOnly(Fault f) { return f == Fault::kBadChecksum || f == Fault::kWrongTerminator; }
// Faults that make the driver's reply or CTS wait run out (or leave RTS up for the next try).
bool waitsRunOut(Fault f) {
  return f == Fault::kSilence || f == Fault::kRefuse || f == Fault::kBadChecksum ||
         f == Fault::kWrongTerminator || f == Fault::kNoCts || f == Fault::kVanish;
}

// ---- Operations --------------------------------------------------------------------------

struct Outcome {
  bool done = false;
  std::string error;
};

// What an operation knows of its own call: the host's records and the ledger before it.
struct Call {
  std::size_t salesBefore = 0;
  std::array<std::uint8_t, 79> block{};
  alignas(8) TPurseInfo purse = filled<TPurseInfo>();  // as a host lays it out
  Currency price = Currency::fromRaw(450000);          // 45.00
  std::uint32_t saleId = 0;                            // the sale a refund gives back
};

class FaultMatrix;
struct Op {
  const char* name;
  const char* card;     // the card in the reader
  std::uint8_t target;  // the command the fault is put on
  // How the operation treats a failure of its target command.
  enum Kind { kChecks, kSwallows, kCompensates, kIgnoresCode } kind = kChecks;
  std::function<void(FaultMatrix&, Call&)> prepare;  // clean steps before the call
  std::function<void(FaultMatrix&, Call&)> call;     // the host's call; may throw
  // The success is the terminal's: what the result says matches the ledger.
  std::function<void(FaultMatrix&, Call&)> verify;
  // Whether the terminal carried the operation's money command out (sale ops only).
  std::function<bool(FaultMatrix&, Call&)> carriedOut;
};

enum class Expect { kDone, kLinkError, kReaderError };
// The terminal refuses with this code; a refund given back twice gets kRefundMismatch.
constexpr std::uint8_t kRefusal = 0x8A, kRefundMismatch = 0x8D;

// The result the rule gives for an operation meeting a fault `count` times on its target.
Expect expected(const Op& op, Fault f, int count) {
  Expect e = Expect::kDone;
  switch (f) {
    case Fault::kTrickle:
    case Fault::kGarbage:
    case Fault::kNoCts:
      e = Expect::kDone;
      break;
    case Fault::kVanish:
      return Expect::kLinkError;  // the first command fails, whatever the op
    // Re-sent after a failed attempt, re-synchronised after 0x81, re-sent after 0x8F and a
    // successful tsReset: once is mended by the next attempt, five times use all five.
    case Fault::kSilence:
    case Fault::kRefuse:
    case Fault::kBadChecksum:
    case Fault::kWrongTerminator:
    case Fault::kCode81:
    case Fault::kCode8F:
      e = count == 1 ? Expect::kDone : Expect::kLinkError;
      // The re-synchronisation sends the shift commands itself and meets the fault there
      // too: five are used up within three attempts.
      if (f == Fault::kCode81 && op.kind == Op::kIgnoresCode) e = Expect::kDone;
      break;
    case Fault::kCode01:
      e = Expect::kLinkError;
      break;  // the outcome is unknown: no success
    case Fault::kCode8A:
      e = Expect::kReaderError;
      break;
  }
  if (e == Expect::kDone) return e;
  switch (op.kind) {
    case Op::kSwallows:
      return Expect::kDone;
    case Op::kIgnoresCode:
      return e == Expect::kReaderError ? Expect::kDone : e;
    case Op::kCompensates:
      // A refund that went out and got no verdict (no reply, a spoiled one, a final 0x01)
      // may have been made: it is not compensated. One the terminal refused or never took
      // is given back by tsRefundReset.
      return spoilsReplyOnly(f) || f == Fault::kSilence || f == Fault::kCode01 ? Expect::kLinkError
                                                                               : Expect::kDone;
    case Op::kChecks:
      break;
  }
  return e;
}

struct Cell {
  std::size_t op;
  Fault fault;
  int count;
};

const std::vector<Op>& ops();

// ---- The fixture -------------------------------------------------------------------------

// How many times each of the exchange's waits and the operations' pauses was taken from the
// policy; other threads' waits (port workers, keep-alive) are not the operation's.
using Uses = std::array<std::uint64_t, timing::kDelayCount>;
std::array<std::atomic<std::uint64_t>, timing::kDelayCount> g_uses;
void countUse(timing::Delay d, std::uint32_t) {
  using timing::Delay;
  switch (d) {
    case Delay::kCtsAnswer:
    case Delay::kHandshakeRetry:
    case Delay::kReplyWait:
    case Delay::kResyncPause:
    case Delay::kResyncCloseShift:
    case Delay::kBusyPause:
    case Delay::kExecutingPause:
    case Delay::kPace500:
    case Delay::kPace400:
    case Delay::kPace300:
      ++g_uses[static_cast<std::size_t>(d)];
      break;
    default:
      break;
  }
}
// The uses so far, counted afresh from here on.
Uses takeUses() {
  Uses u{};
  for (std::size_t k = 0; k < u.size(); ++k) u[k] = g_uses[k].exchange(0);
  return u;
}
// The time those uses stand for under policy p, in its milliseconds.
std::uint64_t priced(const Uses& u, const timing::Policy& p) {
  std::uint64_t sum = 0;
  for (std::size_t k = 0; k < u.size(); ++k) sum += u[k] * p.get(static_cast<timing::Delay>(k));
  return sum;
}

sim::SimulatorConfig matrixTerminal() {
  sim::SimulatorConfig config;
  config.cards.push_back(simCard("bonus", 0x00, 0x01, 1000000, 1000));  // 10 000.00, 10 %
  sim::SimCard fleet = simCard("fleet", 0x00, 0x00, 100000, 200, "98765432109876543210");
  fleet.purses[1] = sim::SimPurse{1, 5000};  // "Масло", 50.00 at most
  config.cards.push_back(fleet);
  return config;
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {
 public:
  static timing::Policy slow() {
    timing::Policy p = timing::Policy::scaled(1, 1000);  // pauses of 1 or 2 ms
    return p.set(timing::Delay::kCtsAnswer, 25)
        .set(timing::Delay::kHandshakeRetry, 5)
        .set(timing::Delay::kReplyWait, 5000)
        .set(timing::Delay::kKeepAliveIdle, 600000);
  }
  // No CTS answer can come from a lost line: its hand-shake tries are cut short.
  static timing::Policy lost() {
    return fast().set(timing::Delay::kCtsAnswer, 5).set(timing::Delay::kHandshakeRetry, 1);
  }
  static timing::Policy fast() { return slow().set(timing::Delay::kReplyWait, 60); }

  const Op& op() const { return ops()[GetParam().op]; }
  std::vector<sim::SaleRecord> sales() const { return terminal.sim->sales(); }

  bool lockFree() {
    bool free = false;
    std::thread([&] {
      free = drv().ExchangeLock.try_lock();
      if (free) drv().ExchangeLock.unlock();
    }).join();
    return free;
  }
  driver::TSmartDriver& drv() { return library::driverOf(host); }

  void inject(Fault f, int count, std::uint8_t target) {
    auto& sim = *terminal.sim;
    const auto on = [&](sim::FaultRule r) { sim.injectFault(r.on(target).times(count)); };
    switch (f) {
      case Fault::kSilence:
        on(sim::FaultRule::of(FaultKind::kSilence));
        break;
      case Fault::kRefuse:
        on(sim::FaultRule::of(FaultKind::kRefuse));
        break;
      case Fault::kBadChecksum:
        on(sim::FaultRule::of(FaultKind::kBadChecksum));
        break;
      case Fault::kWrongTerminator:
        on(sim::FaultRule::of(FaultKind::kWrongTerminator));
        break;
      case Fault::kTrickle:
        on(sim::FaultRule::of(FaultKind::kTrickle));
        break;
      case Fault::kGarbage:
        on(sim::FaultRule::of(FaultKind::kGarbageBefore));
        break;
      case Fault::kNoCts:
        sim.injectFault(sim::FaultRule::of(FaultKind::kNoCtsAnswer).times(count));
        break;
      case Fault::kVanish:
        terminal.line->vanish(DriverEnv::kDriverEnd);
        break;
      case Fault::kCode81:
        on(sim::FaultRule::reply(0x81));
        break;
      case Fault::kCode8F:
        on(sim::FaultRule::reply(0x8F));
        break;
      case Fault::kCode01:
        on(sim::FaultRule::reply(0x01));
        break;
      case Fault::kCode8A:
        on(sim::FaultRule::reply(0x8A));
        break;
    }
  }

  // Runs the operation once: prepared cleanly, then called; returns what the host saw.
  Outcome run(Call& c) {
    c.salesBefore = sales().size();
    try {
      op().call(*this, c);
      return {true, {}};
    } catch (const std::exception& e) {
      return {false, e.what()};
    }
  }

  // The budget the exchange's waits allow for one occurrence of the fault (policy units).
  static std::uint64_t costOf(Fault f, int count, const timing::Policy& p) {
    using timing::Delay;
    const auto v = [&](Delay d) { return std::uint64_t{p.get(d)}; };
    const std::uint64_t exchange = v(Delay::kCtsAnswer) + v(Delay::kReplyWait);
    // A failed attempt, and the next attempt's first hand-shake try that runs out because
    // RTS is still up.
    const std::uint64_t failed = exchange + v(Delay::kCtsAnswer) + v(Delay::kHandshakeRetry);
    const std::uint64_t worst =  // a command that never gets through
        5 * (3 * (v(Delay::kCtsAnswer) + v(Delay::kHandshakeRetry)) + v(Delay::kReplyWait));
    const std::uint64_t n = static_cast<std::uint64_t>(count);
    switch (f) {
      case Fault::kSilence:
      case Fault::kRefuse:
      case Fault::kBadChecksum:
      case Fault::kWrongTerminator:
        return n * failed;
      case Fault::kNoCts:
        return n * (v(Delay::kCtsAnswer) + v(Delay::kHandshakeRetry));
      case Fault::kVanish:
        return n * 3 * worst;  // a refund's compensation tries two more
      case Fault::kCode81:
        return n * (v(Delay::kResyncPause) + v(Delay::kResyncCloseShift) + 3 * exchange);
      case Fault::kCode8F:
        return n * (v(Delay::kBusyPause) + 2 * exchange);
      case Fault::kCode01:
        return v(Delay::kExecutingPause) + exchange;
      case Fault::kTrickle:
      case Fault::kGarbage:
      case Fault::kCode8A:
        return 0;
    }
    return 0;
  }

  DriverEnv env{slow()};
  SimulatedTerminal terminal{env, 1, matrixTerminal()};
  HostObject* host = nullptr;

 protected:
  void SetUp() override {
    terminal.sim->setTrickleDelay(0);
    terminal.sim->insertCard(op().card);
    host = library::wrapDriver(driver::createDriver(1));
  }
  void TearDown() override {
    timing::setObserver(nullptr);
    if (host != nullptr) hostDestructor(host)(host);
  }
};

TEST_P(FaultMatrix, ResultIsTheTerminalsAndTheLinkRecovers) {
  const auto [opIndex, fault, count] = GetParam();
  const Op& o = op();
  const Expect want = expected(o, fault, count);

  Call first;
  if (o.prepare) o.prepare(*this, first);
  inject(fault, count, o.target);
  const timing::Policy faulted = fault == Fault::kVanish ? lost()
                                 : waitsRunOut(fault)    ? fast()
                                                         : slow();
  env.setTiming(faulted);
  takeUses();
  ReplyWaitSteer::start(*terminal.sim, fast().get(timing::Delay::kReplyWait),
                        slow().get(timing::Delay::kReplyWait), countUse);
  Outcome got = run(first);
  // A lost line stays lost for this driver: each further operation fails the same way.
  for (int k = 1; fault == Fault::kVanish && k < count && !got.done; ++k) {
    Call more;
    got = run(more);
  }
  timing::setObserver(nullptr);
  const Uses faultedUses = takeUses();
  const std::uint64_t spent = priced(faultedUses, faulted);
  // The same waits at the real constants (every wait counted whole), for docs/reliability.md.
  RecordProperty("wait_bound_ms_at_real_constants",
                 std::to_string(priced(faultedUses, timing::Policy::production())));

  // The result the rule gives.
  switch (want) {
    case Expect::kDone:
      EXPECT_TRUE(got.done) << got.error;
      break;
    case Expect::kLinkError:
      EXPECT_EQ(got.error, std::string("Ошибка обмена с ридером"_w1251));
      break;
    case Expect::kReaderError: {
      const std::uint8_t code = o.kind == Op::kCompensates ? kRefundMismatch : kRefusal;
      EXPECT_EQ(got.error, std::string("Ошибка ридера: "_w1251) + link::ReplyCodeText(code));
      break;
    }
  }
  // A success is the terminal's; a failure is in the ledger only where the reply was lost.
  if (got.done && !(o.kind == Op::kIgnoresCode && fault == Fault::kCode8A)) {
    o.verify(*this, first);
  }
  if (o.carriedOut && !got.done) {
    EXPECT_TRUE(!o.carriedOut(*this, first) || (spoilsReplyOnly(fault) && count == 5))
        << "failed, yet carried out";
  }
  EXPECT_EQ(drv().linkState(), link::kLinkInProgress);
  EXPECT_TRUE(lockFree());

  // The next operation works once the fault is gone, and sets the budget's base: the waits
  // of a clean run, priced in the faulted run's policy.
  terminal.sim->clearFaults();
  if (fault == Fault::kVanish) {
    // Its receiving ended with the device; a driver created again on the returned line works.
    hostDestructor(host)(host);
    terminal.line->vanish(DriverEnv::kDriverEnd, false);
    host = library::wrapDriver(driver::createDriver(1));
  }
  env.setTiming(slow());
  Call next;
  if (o.prepare) o.prepare(*this, next);
  takeUses();
  timing::setObserver(countUse);
  const Outcome again = run(next);
  timing::setObserver(nullptr);
  const std::uint64_t clean = priced(takeUses(), faulted);
  ASSERT_TRUE(again.done) << again.error;
  o.verify(*this, next);
  EXPECT_EQ(drv().linkState(), link::kLinkInProgress);

  // One failed attempt of slack: CTS answers that missed their short waits cost tries.
  const std::uint64_t slack = costOf(Fault::kSilence, 1, faulted) +
                              (o.kind == Op::kCompensates ? costOf(Fault::kCode8F, 1, faulted) : 0);
  EXPECT_LE(spent, clean + costOf(fault, count, faulted) + slack)
      << "clean " << clean << ", fault " << costOf(fault, count, faulted);
}

// ---- The operations ------------------------------------------------------------------------

constexpr std::uint8_t kReadCard = 0x0A, kSelectPurse = 0x06, kQueryQuantity = 0x07, kSale = 0x08,
                       kRefund = 0x09, kDebit = 0x0E, kOpenShift = 0x03, kCloseShift = 0x04;

TBonusResult bonusSale(FaultMatrix& m, Call& c, char mode) {
  TBonusResult r = filled<TBonusResult>();
  callSlot<BonusSaleExFn>(m.host, 22, &r, m.host, mode, std::uint8_t{19}, 20.0, 370.0, nullptr,
                          nullptr, nullptr, c.block.data(), 78);
  return r;
}
// A clean sale whose block a refund then gives back.
void saleToRefund(FaultMatrix& m, Call& c) {
  bonusSale(m, c, 'A');
  c.saleId = m.sales().back().id;
}
// The one new sale (or quote) in the ledger since the call began, if any.
const sim::SaleRecord* newSale(const std::vector<sim::SaleRecord>& all, const Call& c, bool quote) {
  const sim::SaleRecord* found = nullptr;
  int n = 0;
  for (std::size_t k = c.salesBefore; k < all.size(); ++k) {
    if (all[k].quote == quote) found = &all[k], ++n;
  }
  EXPECT_LE(n, 1) << "carried out more than once";
  return found;
}
bool soldOnce(FaultMatrix& m, Call& c) { return newSale(m.sales(), c, false) != nullptr; }
bool refunded(FaultMatrix& m, Call& c) {
  for (const auto& s : m.sales()) {
    if (s.id == c.saleId) return s.refunded;
  }
  return false;
}
// The sale the result reports is the terminal's, with its figures and block.
void expectSale(FaultMatrix& m, Call& c, double summaSk, bool quote, bool withBlock) {
  const auto all = m.sales();
  const sim::SaleRecord* s = newSale(all, c, quote);
  ASSERT_NE(s, nullptr) << "reported done, not carried out";
  EXPECT_EQ(std::llround(summaSk * 100), s->charged);
  if (withBlock) {
    EXPECT_TRUE(std::equal(c.block.begin(), c.block.end(), s->block.begin()));
  }
}
// The purse handle the host holds is one the terminal handed out.
bool handleFromTerminal(FaultMatrix& m, std::uint8_t handle) {
  for (const auto& r : m.terminal.requests()) {
    if (r.valid() && r.commandCode() == kSelectPurse && r.replyCode() == 0 &&
        r.replyBody.size() > 11 && r.replyBody[11] == handle) {
      return true;
    }
  }
  return false;
}
void openPurse(FaultMatrix& m, Call& c) {
  c.purse = filled<TPurseInfo>();
  callSlot<OpenPurseFn>(m.host, 16, &c.purse, m.host, std::uint8_t{5});
}

const std::vector<Op>& ops() {
  static const std::vector<Op> all = [] {
    std::vector<Op> v;
    v.push_back({"CardInfo", "fleet", kReadCard, Op::kChecks, nullptr,
                 [](FaultMatrix& m, Call& c) {
                   TCardInfo r = filled<TCardInfo>();
                   callSlot<CardInfoFn>(m.host, 7, &r, m.host, 0u);
                   c.price = Currency::fromRaw(std::llround(r.Available * 10000));
                   EXPECT_EQ(r.CardDigits.view(), "987654");
                 },
                 [](FaultMatrix&, Call& c) { EXPECT_EQ(c.price.raw, 10000000); }, nullptr});
    v.push_back({"OilLimit", "fleet", kQueryQuantity, Op::kChecks, nullptr,
                 [](FaultMatrix& m, Call& c) { callSlot<OilLimitFn>(m.host, 9, &c.purse, m.host); },
                 [](FaultMatrix&, Call& c) {
                   EXPECT_EQ(c.purse.AllowedQty, 50.0);
                   EXPECT_EQ(c.purse.PurseNo, 1);
                 },
                 nullptr});
    v.push_back({"OpenPurse", "fleet", kSelectPurse, Op::kSwallows, nullptr, openPurse,
                 [](FaultMatrix& m, Call& c) {
                   // A handle kept only when the terminal selected the purse.
                   if (c.purse.PurseHandle != 0xAA) {
                     EXPECT_TRUE(handleFromTerminal(m, c.purse.PurseHandle));
                     EXPECT_EQ(c.purse.Status, 0);
                   }
                 },
                 nullptr});
    v.push_back({"ItemLimit", "fleet", kQueryQuantity, Op::kChecks, openPurse,
                 [](FaultMatrix& m, Call& c) {
                   TItemList items = filled<TItemList>(0);
                   items.Count = 1;
                   items.Items[0].Purse = 1;
                   items.Items[0].Price = Currency::fromRaw(25000);
                   items.Items[0].Qty = extendedFromLongDouble(40.0L);
                   callSlot<ItemLimitFn>(m.host, 17, &c.purse, m.host, 0u, items);
                 },
                 [](FaultMatrix&, Call& c) {
                   EXPECT_EQ(c.purse.AllowedQty, 40.0);
                   EXPECT_EQ(c.purse.Done, 1);
                 },
                 nullptr});
    // Bonus sales: the result's SummaSk kept in the call's price for the check.
    const auto bonusCall = [](char mode) {
      return [mode](FaultMatrix& m, Call& c) {
        c.price = Currency::fromRaw(std::llround(bonusSale(m, c, mode).SummaSk * 10000));
      };
    };
    const auto saleVerify = [](bool quote, bool withBlock) {
      return [=](FaultMatrix& m, Call& c) {
        expectSale(m, c, static_cast<double>(c.price.raw) / 10000, quote, withBlock);
      };
    };
    v.push_back({"BonusSaleEx", "bonus", kSale, Op::kChecks, nullptr, bonusCall('A'),
                 saleVerify(false, true), soldOnce});
    v.push_back({"BonusSaleEx_debit", "bonus", kDebit, Op::kChecks, nullptr, bonusCall('M'),
                 saleVerify(true, true), nullptr});
    v.push_back({"BonusSaleEx_refund", "bonus", kRefund, Op::kCompensates, saleToRefund,
                 bonusCall('+'), [](FaultMatrix& m, Call& c) { EXPECT_TRUE(refunded(m, c)); },
                 nullptr});
    v.push_back({"BonusSaleExStr", "bonus", kSale, Op::kChecks, nullptr,
                 [](FaultMatrix& m, Call& c) {
                   TBonusResultStr r = filled<TBonusResultStr>();
                   r.CardType = r.CardNumber = nullptr;
                   struct Release {
                     TBonusResultStr& r;
                     ~Release() { longStrRelease(r.CardType), longStrRelease(r.CardNumber); }
                   } release{r};
                   callSlot<BonusSaleExStrFn>(m.host, 28, &r, m.host, 'A', std::uint8_t{19}, 20.0,
                                              370.0, nullptr, nullptr, nullptr, c.block.data(), 78);
                   c.price = Currency::fromRaw(std::llround(r.SummaSk * 10000));
                 },
                 saleVerify(false, true), soldOnce});
    v.push_back({"BonusSale", "bonus", kSale, Op::kChecks, nullptr,
                 [](FaultMatrix& m, Call& c) {
                   TBonusResult r = filled<TBonusResult>();
                   callSlot<BonusSaleFn>(m.host, 11, &r, m.host, 'A', std::uint8_t{19}, 20.0, 370.0,
                                         nullptr, nullptr);
                   c.price = Currency::fromRaw(std::llround(r.SummaSk * 10000));
                 },
                 saleVerify(false, false), soldOnce});
    v.push_back({"BonusSale2", "bonus", kSale, Op::kChecks, nullptr,
                 [](FaultMatrix& m, Call& c) {
                   TBonusResult r = filled<TBonusResult>();
                   callSlot<BonusSale2Fn>(m.host, 20, &r, m.host, 'A', std::uint8_t{19}, 20.0,
                                          370.0, nullptr, nullptr, nullptr);
                   c.price = Currency::fromRaw(std::llround(r.SummaSk * 10000));
                 },
                 saleVerify(false, false), soldOnce});
    v.push_back({"SubSchet", "bonus", kSale, Op::kChecks, nullptr,
                 [](FaultMatrix& m, Call& c) {
                   TSaleResult r = filled<TSaleResult>();
                   callSlot<SubSchetFn>(m.host, 4, &r, m.host, std::uint8_t{19}, 20.0, 370.0);
                   c.price = Currency::fromRaw(std::llround(r.Amount * 10000));  // the discount
                 },
                 [](FaultMatrix& m, Call& c) {
                   const auto all = m.sales();
                   const sim::SaleRecord* s = newSale(all, c, false);
                   ASSERT_NE(s, nullptr) << "reported done, not carried out";
                   EXPECT_EQ(c.price.raw, (s->amount - s->charged) * 100);
                 },
                 soldOnce});
    v.push_back({"RefundSale", "bonus", kRefund, Op::kChecks, saleToRefund,
                 [](FaultMatrix& m, Call& c) {
                   std::uint8_t status = 0xAA;
                   callSlot<RefundSaleFn>(m.host, 15, &status, m.host, std::uint8_t{1}, nullptr,
                                          nullptr, c.block.data(), 78, std::uint8_t{19}, 20.0,
                                          370.0, std::uint8_t{0});
                   EXPECT_EQ(status, 0);
                 },
                 [](FaultMatrix& m, Call& c) { EXPECT_TRUE(refunded(m, c)); }, refunded});
    v.push_back({"SubSchetEx", "fleet", kSale, Op::kChecks, nullptr,
                 [](FaultMatrix& m, Call& c) {
                   TSaleResultEx r = filled<TSaleResultEx>();
                   callSlot<SubSchetExFn>(m.host, 12, &r, m.host, std::uint8_t{1}, std::uint8_t{1},
                                          20.0, 370.0);
                   c.price = Currency::fromRaw(std::llround(r.SummaSk * 10000));
                   std::copy(std::begin(r.CardBlock), std::end(r.CardBlock), c.block.begin());
                 },
                 saleVerify(false, true), soldOnce});
    // The discounted price written back is the terminal's quote, or the host's own price.
    const auto quotedPrice = [](FaultMatrix& m, Call& c) {
      if (c.price.raw == 450000) return;
      const auto all = m.sales();
      const sim::SaleRecord* q = newSale(all, c, true);
      ASSERT_NE(q, nullptr) << "a price no quote gave";
      EXPECT_EQ(c.price.raw, std::llround(100.0 * q->charged / q->quantity) * 100);
    };
    v.push_back({"CardQuantityEx", "fleet", kDebit, Op::kSwallows, nullptr,
                 [](FaultMatrix& m, Call& c) {
                   TCardInfo r = filled<TCardInfo>();
                   callSlot<CardQuantityExFn>(m.host, 19, &r, m.host, std::uint8_t{1}, &c.price);
                   EXPECT_EQ(r.Status, 0xF0);
                 },
                 quotedPrice, nullptr});
    v.push_back({"CardQuantity", "fleet", kDebit, Op::kSwallows, nullptr,
                 [](FaultMatrix& m, Call& c) {
                   TCardInfo r = filled<TCardInfo>();
                   callSlot<CardQuantityFn>(m.host, 18, &r, m.host, std::uint8_t{1}, c.price);
                   EXPECT_EQ(r.Status, 0xF0);
                 },
                 [](FaultMatrix&, Call& c) { EXPECT_EQ(c.price.raw, 450000); }, nullptr});
    v.push_back({"OpenShift", "fleet", kOpenShift, Op::kIgnoresCode,
                 [](FaultMatrix& m, Call&) { m.terminal.sim->setShift(false, 0); },
                 [](FaultMatrix& m, Call&) {
                   callSlot<OpenShiftFn>(m.host, 13, m.host, 45000.0, std::uint8_t{3});
                 },
                 [](FaultMatrix& m, Call&) {
                   EXPECT_TRUE(m.terminal.sim->shift().open);
                   EXPECT_EQ(m.terminal.sim->shift().number, 3);
                 },
                 nullptr});
    v.push_back({"CloseShift", "fleet", kCloseShift, Op::kIgnoresCode,
                 [](FaultMatrix& m, Call&) { m.terminal.sim->setShift(true, 3); },
                 [](FaultMatrix& m, Call&) { callSlot<CloseShiftFn>(m.host, 14, m.host); },
                 [](FaultMatrix& m, Call&) { EXPECT_FALSE(m.terminal.sim->shift().open); },
                 nullptr});
    return v;
  }();
  return all;
}

std::vector<Cell> cells() {
  std::vector<Cell> out;
  for (std::size_t o = 0; o < ops().size(); ++o) {
    for (Fault f : kFaults) {
      for (int n : {1, 5}) out.push_back({o, f, n});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Ops, FaultMatrix, ::testing::ValuesIn(cells()),
                         [](const ::testing::TestParamInfo<Cell>& i) {
                           return std::string(ops()[i.param.op].name) + "_" +
                                  faultName(i.param.fault) + "_x" + std::to_string(i.param.count);
                         });

}  // namespace
}  // namespace vexcard::test
