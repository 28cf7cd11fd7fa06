// The fault explorer: every host operation through up to three faults at once, each aimed
// at any command of the operation (the commands the exchange sends on its own included) and
// at any of its occurrences and attempts, checked against the simulated terminal's ledger and
// the driver's journal. Each run is made from its run number alone, on a fresh driver and
// terminal, and ends with the next operation: a card read that must show the true balance.
//
// The invariants (names as printed):
//   host-figures       a success carries the terminal's own figures for this very request;
//   journal-ledger     whatever money request the terminal carried out is in the journal as
//                      done or unknown; a "done" is in the ledger with the same figures, a
//                      "not carried out" or "refused" is not (journal_reconcile.h);
//   told-outcome       the outcome the host was told (vexcard::Exception::outcome()) is the
//                      journal's (the weightiest of the operation's money requests':
//                      unknown, done, refused, not carried out), and a success of a sale,
//                      debit or refund is a journal "done";
//   told-outcome-none  the same where the host was told no outcome at all (kNone) although
//                      the operation journalled a money request;
//   next-read          the card read after the run works and shows the true balance;
//   time-bound         the run ends within kRunBoundMs.
// A failing run is shrunk (faults dropped, counts and occurrences lowered) to the smallest
// case that still breaks the invariant, printed as a line for kRegressions below.
//
// VEXCARD_EXPLORE_RUNS (default 5000) and VEXCARD_EXPLORE_FROM (default 1) choose the run
// numbers; VEXCARD_EXPLORE_CASE runs one case given as text. Invariants named in kTolerated
// are reported but do not fail the test; VEXCARD_EXPLORE_STRICT=1 tolerates none.
//
// Timing: pauses are a millisecond; the reply wait is long for a request the terminal
// answers and short only for one it cannot answer now (silence, a spoiled or held reply:
// the steer below looks at the terminal's record of the frame first), so no good reply ever
// misses its wait. Late replies go out at fixed points of the line's traffic (the next
// hand-shake, the next other request) or when the explorer releases them between
// operations, never after a sleep; before every hand-shake and pause both ends of the line
// have taken what the other sent (settle()).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "integration/host_fixture.h"
#include "link/journal_format.h"
#include "platform/codepage.h"
#include "soak/journal_reconcile.h"
#include "vexcard/exception.h"

namespace vexcard::test {
namespace {

using sim::FaultKind;
using sim::FaultRule;
using sim::LateRelease;

// Invariants today's driver is known to break; the explorer reports them without failing.
// Empty it once the driver keeps them (VEXCARD_EXPLORE_STRICT=1 tries that first).
const std::set<std::string> kTolerated = {};

// Smallest cases of earlier runs, run every time (with the same tolerance as the runs).
const char* const kRegressions[] = {
    // The tsReset after 0x8F answered late: its reply taken for the re-sent tsSale's.
    "SubSchet: code-8F@08 late-reply@00",
    // A late reply taken by the next operation's command (the card read shows the sale's
    // figures, or the zeros of a reply too short for it), also across a driver restart.
    "SubSchet: late-reply@08",
    "CloseShift: late-reply@04",
    "SubSchet: late-reply@08 +restart",
    // An attempt carried out, the retry refused: journalled "refused".
    "CardQuantity: code-87@0E#1 terminator@0E",
    // A reply value out of range after the sale was made: a plain failure, "done" with zeros.
    "SubSchetEx: bad-money@08",
    // A final 0x01 and a refund without answer: the host is told no outcome.
    "BonusSaleEx: code-01@08",
    "RefundSale: silence@09x5",
    // An attempt carried out (its reply spoiled or late), then 0x81: the frame sent again
    // after the re-synchronisation was charged a second time.
    "SubSchetEx: checksum@08 code-81@08",
    "BonusSaleEx: late-handshake@08 code-81@08",
    // The re-synchronisation's late reply taken for the next command's.
    "OilLimit: code-81@07x2 late-reply@05",
};

constexpr std::uint32_t kRunBoundMs = 30000;
constexpr std::uint32_t kCtsMs = 25;

// ---- Faults and runs -------------------------------------------------------------------

enum class Kind {
  kSilence,
  kRefuse,
  kChecksum,
  kTerminator,
  kTrickle,
  kGarbage,
  kHangUp,
  kNoCts,
  kCode81,
  kCode8F,
  kCode01,
  kCode8A,
  kCode87,
  kBadMoney,       // a money value of the reply out of range (the command carried out)
  kLateHandshake,  // the reply goes out at the next hand-shake (LateRelease)
  kLateReply,      // held until the next request other than its own retry (LateRelease)
  kLateAfter,      // the terminal holds the line until the operation has ended
  kCount
};
constexpr const char* kKindNames[] = {
    "silence", "refuse",    "checksum",       "terminator", "trickle",   "garbage",
    "hang-up", "no-cts",    "code-81",        "code-8F",    "code-01",   "code-8A",
    "code-87", "bad-money", "late-handshake", "late-reply", "late-after"};
static_assert(std::size(kKindNames) == static_cast<std::size_t>(Kind::kCount));

bool isLate(Kind k) { return k >= Kind::kLateHandshake; }

struct Fault {
  Kind kind = Kind::kSilence;
  std::uint8_t command = 0;  // unused for no-cts
  int skip = 0;              // occurrences (hand-shakes for no-cts) let pass first
  int times = 1;             // occurrences in a row that meet it
};

struct Case {
  std::size_t op = 0;
  std::vector<Fault> faults;
  bool restart = false;  // the driver is destroyed and made again before the next read
  bool poll = false;     // a keep-alive poll follows the operation
};

FaultRule ruleOf(const Fault& f) {
  FaultRule r;
  switch (f.kind) {
    case Kind::kSilence:
      r = FaultRule::of(FaultKind::kSilence);
      break;
    case Kind::kRefuse:
      r = FaultRule::of(FaultKind::kRefuse);
      break;
    case Kind::kChecksum:
      r = FaultRule::of(FaultKind::kBadChecksum);
      break;
    case Kind::kTerminator:
      r = FaultRule::of(FaultKind::kWrongTerminator);
      break;
    case Kind::kTrickle:
      r = FaultRule::of(FaultKind::kTrickle);
      break;
    case Kind::kGarbage:
      r = FaultRule::of(FaultKind::kGarbageBefore);
      break;
    case Kind::kHangUp:
      r = FaultRule::of(FaultKind::kHangUp);
      break;
    case Kind::kNoCts:
      r = FaultRule::of(FaultKind::kNoCtsAnswer);
      break;
    case Kind::kCode81:
      r = FaultRule::reply(0x81);
      break;
    case Kind::kCode8F:
      r = FaultRule::reply(0x8F);
      break;
    case Kind::kCode01:
      r = FaultRule::reply(0x01);
      break;
    case Kind::kCode8A:
      r = FaultRule::reply(0x8A);
      break;
    case Kind::kCode87:
      r = FaultRule::reply(0x87);
      break;
    case Kind::kBadMoney:
      r = FaultRule::patchReply(11, {0x7F, 0x01, 0x00, 0x00});
      break;
    case Kind::kLateHandshake:
    case Kind::kLateReply:
    case Kind::kLateAfter:
      r = FaultRule::of(FaultKind::kLateReply)
              .releasedAt(f.kind == Kind::kLateHandshake ? LateRelease::kNextHandshake
                          : f.kind == Kind::kLateReply   ? LateRelease::kNextReply
                                                         : LateRelease::kTimed);
      r.lateMs = 0;
      break;
    case Kind::kCount:
      break;
  }
  if (f.kind != Kind::kNoCts) r = r.on(f.command);
  return r.skipping(f.skip).times(f.times);
}

// ---- The operations ----------------------------------------------------------------------

struct Ctx;
struct Op {
  const char* name;
  const char* card;
  std::vector<std::uint8_t> commands;       // the commands it sends when nothing goes wrong
  std::function<void(Ctx&)> prepare;        // clean steps before the faults
  std::function<void(Ctx&)> call;           // the host's call; may throw
  std::function<std::string(Ctx&)> verify;  // after a success: empty, or what is wrong
  // A success says the money request was carried out (a price quote's does not).
  bool claimsMoney = false;
};
const std::vector<Op>& ops();

sim::SimulatorConfig explorerTerminal() {
  sim::SimulatorConfig config;
  config.cards.push_back(simCard("bonus", 0x00, 0x01, 1000000, 1000));  // 10 000.00, 10 %
  sim::SimCard fleet = simCard("fleet", 0x00, 0x00, 100000, 200, "98765432109876543210");
  fleet.purses[1] = sim::SimPurse{1, 5000};
  config.cards.push_back(fleet);
  return config;
}

timing::Policy policy() {
  timing::Policy p = timing::Policy::scaled(1, 1000);  // pauses of a millisecond or two
  return p.set(timing::Delay::kCtsAnswer, kCtsMs)
      .set(timing::Delay::kHandshakeRetry, 1)
      .set(timing::Delay::kReplyWait, 5000)
      .set(timing::Delay::kKeepAliveIdle, 600000);  // polls only where a run asks for one
}

// The reply and CTS waits, steered from what the terminal recorded (see the top).
struct Steer {
  sim::TerminalSimulator* terminal = nullptr;
  comport::VirtualSerialPair* line = nullptr;
  std::size_t base = 0;
  std::atomic<std::size_t> waits{0};
};
Steer g_steer;
// Whatever the terminal still had to say to the frames so far has reached the driver and
// been taken by its receiver, and each side has taken the other's last change of the lines
// (unless the terminal holds the line for a late reply): so a second reply to one frame
// lands at a fixed point, and a hand-shake is answered or ignored before its wait begins,
// never as the machine's load decides. True when the terminal holds the line.
bool settle() {
  sim::TerminalSimulator& t = *g_steer.terminal;
  const std::size_t sent = g_steer.base + g_steer.waits;
  t.waitFor(
      [&](const sim::SimulatorCounters& c) {
        return c.lateWaiting != 0 || (c.frames >= sent && c.handled >= c.frames);
      },
      10000);
  if (t.counters().lateWaiting != 0) return true;
  // Each end's answer to a change of the other's lines may set off another: twice round.
  for (int round = 0; round < 2; ++round) {
    g_steer.line->waitUntilIdle(DriverEnv::kTerminalEnd);
    g_steer.line->waitUntilIdle(DriverEnv::kDriverEnd);
  }
  return false;
}

void steer(timing::Delay d, std::uint32_t) {
  using timing::Delay;
  switch (d) {
    case Delay::kPace500:  // the exchange's thread, between its commands and attempts
    case Delay::kPace400:
    case Delay::kPace300:
    case Delay::kBusyPause:
    case Delay::kExecutingPause:
    case Delay::kResyncPause:
    case Delay::kResyncCloseShift:
    case Delay::kHandshakeRetry:
      settle();
      return;
    case Delay::kCtsAnswer:
    case Delay::kReplyWait:
      break;
    default:
      return;
  }
  sim::TerminalSimulator& t = *g_steer.terminal;
  timing::Policy p = timing::current();
  if (d == Delay::kCtsAnswer) {
    // A terminal that holds the line for a late reply answers no hand-shake.
    retime(p.set(Delay::kCtsAnswer, settle() ? 1 : kCtsMs));
    return;
  }
  const std::size_t frame = g_steer.base + ++g_steer.waits;
  bool answered = false;
  if (t.waitFor([&](const sim::SimulatorCounters& c) { return c.frames >= frame || c.lateWaiting; },
                10000) &&
      t.counters().frames >= frame) {
    const auto records = t.requests();
    const auto fault = records.empty() ? std::nullopt : records.back().fault;
    answered = fault != FaultKind::kSilence && fault != FaultKind::kHangUp &&
               fault != FaultKind::kBadChecksum && fault != FaultKind::kWrongTerminator &&
               fault != FaultKind::kLateReply;
  }
  retime(p.set(Delay::kReplyWait, answered ? 5000 : 2));
}

struct Ctx {
  DriverEnv env{policy()};
  SimulatedTerminal terminal{env, 1, explorerTerminal()};
  HostObject* host = nullptr;
  std::array<std::uint8_t, 79> block{};
  std::size_t salesBefore = 0;
  std::uint32_t saleId = 0;  // the sale a refund gives back
  double figure = 0;         // what the result reported (SummaSk, Amount, Available)
  TPurseInfo purse = filled<TPurseInfo>();

  Ctx() {
    terminal.sim->setReplyDelay(0);
    terminal.sim->setTrickleDelay(0);
    host = library::wrapDriver(driver::createDriver(1));
  }
  ~Ctx() {
    timing::setObserver(nullptr);
    if (host != nullptr) hostDestructor(host)(host);
  }
  driver::TSmartDriver& drv() { return library::driverOf(host); }
  std::vector<sim::SaleRecord> sales() const { return terminal.sim->sales(); }
  std::vector<sim::SaleRecord> newSales() const { return terminal.sim->sales(salesBefore); }
  std::vector<link::JournalEntry> journal() const {
    return link::readJournal((env.folder() / "ZUR" / "VexCard.journal").string());
  }
  bool refunded() const {
    for (const auto& s : sales()) {
      if (s.id == saleId) return s.refunded;
    }
    return false;
  }
};

TBonusResult bonusSale(Ctx& c, char mode) {
  TBonusResult r = filled<TBonusResult>();
  callSlot<BonusSaleExFn>(c.host, 22, &r, c.host, mode, std::uint8_t{19}, 20.0, 370.0, nullptr,
                          nullptr, nullptr, c.block.data(), 78);
  return r;
}
void saleToRefund(Ctx& c) {
  bonusSale(c, 'A');
  c.saleId = c.sales().back().id;
}
std::int64_t hundredths(double v) { return std::llround(v * 100); }

// The one new ledger record carries the figure and (when asked) the block the host got.
std::string oneSale(Ctx& c, bool quote, bool block, std::int64_t figure) {
  const auto added = c.newSales();
  if (added.size() != 1 || added[0].quote != quote) {
    return std::to_string(added.size()) + " new ledger records for one success";
  }
  if (figure != added[0].charged) {
    return "reported " + std::to_string(figure) + ", the terminal charged " +
           std::to_string(added[0].charged);
  }
  if (block && !std::equal(c.block.begin(), c.block.end(), added[0].block.begin())) {
    return "a card block the terminal did not hand out";
  }
  return {};
}
std::string nothingSold(Ctx& c) {
  for (const auto& s : c.newSales()) {
    if (!s.quote) return "a sale in the ledger after an operation that sells nothing";
  }
  return {};
}
std::string expect(bool ok, const char* what) { return ok ? std::string() : what; }

const std::vector<Op>& ops() {
  static const std::vector<Op> all = [] {
    std::vector<Op> v;
    v.push_back({"CardInfo",
                 "bonus",
                 {0x0A},
                 nullptr,
                 [](Ctx& c) {
                   TCardInfo r = filled<TCardInfo>();
                   callSlot<CardInfoFn>(c.host, 7, &r, c.host, 0u);
                   c.figure = r.Available;
                 },
                 [](Ctx& c) {
                   return expect(hundredths(c.figure) == c.terminal.sim->card("bonus")->balance,
                                 "a balance that is not the card's");
                 }});
    v.push_back({"OilLimit",
                 "fleet",
                 {0x0A, 0x0B, 0x07},
                 nullptr,
                 [](Ctx& c) { callSlot<OilLimitFn>(c.host, 9, &c.purse, c.host); },
                 [](Ctx& c) {
                   return expect(c.purse.AllowedQty == 50.0 && c.purse.PurseNo == 1,
                                 "a purse limit the terminal did not give");
                 }});
    v.push_back({"BonusSaleEx",
                 "bonus",
                 {0x0A, 0x08},
                 nullptr,
                 [](Ctx& c) { c.figure = bonusSale(c, 'A').SummaSk; },
                 [](Ctx& c) { return oneSale(c, false, true, hundredths(c.figure)); },
                 true});
    v.push_back({"BonusSaleEx_debit",
                 "bonus",
                 {0x0A, 0x0E},
                 nullptr,
                 [](Ctx& c) { c.figure = bonusSale(c, 'M').SummaSk; },
                 [](Ctx& c) { return oneSale(c, true, true, hundredths(c.figure)); },
                 true});
    v.push_back({"BonusSaleEx_refund",
                 "bonus",
                 {0x0A, 0x09},
                 saleToRefund,
                 [](Ctx& c) { bonusSale(c, '+'); },
                 [](Ctx& c) { return expect(c.refunded(), "refund reported, not made"); },
                 true});
    for (const std::uint8_t mode : {std::uint8_t{0}, std::uint8_t{1}}) {
      v.push_back({mode == 0 ? "RefundSale" : "RefundSale_reset",
                   "bonus",
                   {0x0A, static_cast<std::uint8_t>(mode == 0 ? 0x09 : 0x0D)},
                   saleToRefund,
                   [mode](Ctx& c) {
                     std::uint8_t status = 0xAA;
                     callSlot<RefundSaleFn>(c.host, 15, &status, c.host, std::uint8_t{1}, nullptr,
                                            nullptr, c.block.data(), 78, std::uint8_t{19}, 20.0,
                                            370.0, mode);
                     c.figure = status;
                   },
                   [](Ctx& c) {
                     return expect(c.figure == 0 && c.refunded(), "refund reported, not made");
                   },
                   true});
    }
    v.push_back({"SubSchet",
                 "bonus",
                 {0x0A, 0x08},
                 nullptr,
                 [](Ctx& c) {
                   TSaleResult r = filled<TSaleResult>();
                   callSlot<SubSchetFn>(c.host, 4, &r, c.host, std::uint8_t{19}, 20.0, 370.0);
                   c.figure = r.Amount;  // the discount
                 },
                 [](Ctx& c) {
                   const auto added = c.newSales();
                   if (added.size() != 1) return std::string("not one sale for one success");
                   return expect(hundredths(c.figure) == added[0].amount - added[0].charged,
                                 "a discount the terminal did not give");
                 },
                 true});
    v.push_back({"SubSchetEx",
                 "fleet",
                 {0x0A, 0x08},
                 nullptr,
                 [](Ctx& c) {
                   TSaleResultEx r = filled<TSaleResultEx>();
                   callSlot<SubSchetExFn>(c.host, 12, &r, c.host, std::uint8_t{1}, std::uint8_t{1},
                                          20.0, 370.0);
                   c.figure = r.SummaSk;
                   std::copy(std::begin(r.CardBlock), std::end(r.CardBlock), c.block.begin());
                 },
                 [](Ctx& c) { return oneSale(c, false, true, hundredths(c.figure)); },
                 true});
    v.push_back({"CardQuantity",
                 "fleet",
                 {0x0A, 0x0E},
                 nullptr,
                 [](Ctx& c) {
                   TCardInfo r = filled<TCardInfo>();
                   callSlot<CardQuantityFn>(c.host, 18, &r, c.host, std::uint8_t{1},
                                            Currency::fromRaw(450000));
                 },
                 nothingSold});
    v.push_back(
        {"OpenShift",
         "fleet",
         {0x03},
         [](Ctx& c) { c.terminal.sim->setShift(false, 0); },
         [](Ctx& c) { callSlot<OpenShiftFn>(c.host, 13, c.host, 45000.0, std::uint8_t{3}); },
         nothingSold});  // the shift commands' reply codes are not checked
    v.push_back({"CloseShift",
                 "fleet",
                 {0x04},
                 [](Ctx& c) { c.terminal.sim->setShift(true, 3); },
                 [](Ctx& c) { callSlot<CloseShiftFn>(c.host, 14, c.host); },
                 nothingSold});
    return v;
  }();
  return all;
}

// ---- Runs as text: "SubSchet: code-8F@08 late-handshake@00#1x2 +restart" ----------------

std::string hex2(std::uint8_t b) {
  static constexpr char d[] = "0123456789ABCDEF";
  return {d[b >> 4], d[b & 15]};
}
std::string text(const Case& r) {
  std::string s = std::string(ops()[r.op].name) + ":";
  // Appends only: GCC 12 at -O3 warns falsely (-Wrestrict) on "x" + std::string.
  for (const Fault& f : r.faults) {
    s.append(" ").append(kKindNames[static_cast<int>(f.kind)]);
    if (f.kind != Kind::kNoCts) s.append("@").append(hex2(f.command));
    if (f.skip > 0) s.append("#").append(std::to_string(f.skip));
    if (f.times > 1) s.append("x").append(std::to_string(f.times));
  }
  if (r.restart) s += " +restart";
  if (r.poll) s += " +poll";
  return s;
}
std::optional<Case> parse(const std::string& s) {
  Case r;
  const auto colon = s.find(':');
  if (colon == std::string::npos) return std::nullopt;
  bool found = false;
  for (std::size_t k = 0; k < ops().size(); ++k) {
    if (s.substr(0, colon) == ops()[k].name) r.op = k, found = true;
  }
  if (!found) return std::nullopt;
  std::istringstream words(s.substr(colon + 1));
  for (std::string w; words >> w;) {
    if (w == "+restart" || w == "+poll") {
      (w == "+poll" ? r.poll : r.restart) = true;
      continue;
    }
    Fault f;
    const std::size_t end = w.find_first_of("@#x");
    const std::string name = w.substr(0, end);
    int kind = -1;
    for (int k = 0; k < static_cast<int>(Kind::kCount); ++k) {
      if (name == kKindNames[k]) kind = k;
    }
    if (kind < 0) return std::nullopt;
    f.kind = static_cast<Kind>(kind);
    for (std::size_t at = end; at < w.size();) {
      const char tag = w[at];
      const std::size_t next = w.find_first_of("@#x", at + 1);
      const std::string value = w.substr(at + 1, next - at - 1);
      const int n = static_cast<int>(std::stoul(value, nullptr, tag == '@' ? 16 : 10));
      if (tag == '@') f.command = static_cast<std::uint8_t>(n);
      if (tag == '#') f.skip = n;
      if (tag == 'x') f.times = n;
      at = next;
    }
    r.faults.push_back(f);
  }
  return r;
}

// ---- Runs from their numbers -------------------------------------------------------------

// A small generator (splitmix64): the same run number gives the same run everywhere.
struct Rand {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

Case generate(std::uint64_t number) {
  Rand rand{number};
  Case r;
  r.op = rand.below(ops().size());
  const Op& op = ops()[r.op];
  // The exchange's own commands: tsReset after 0x8F and 0x01 and in the keep-alive poll, and
  // the re-synchronisation's tsCloseShift, tsOpenShift and tsResumeShift.
  static const std::uint8_t own[] = {0x00, 0x04, 0x03, 0x05};
  const std::size_t count = 1 + rand.below(3);
  for (std::size_t k = 0; k < count; ++k) {
    Fault f;
    f.kind = static_cast<Kind>(rand.below(static_cast<std::size_t>(Kind::kCount)));
    f.command = rand.below(3) != 0 ? op.commands[rand.below(op.commands.size())]
                                   : own[rand.below(std::size(own))];
    const std::size_t skip = rand.below(9);
    f.skip = skip < 4 ? 0 : static_cast<int>(skip - 4);  // 0 mostly, else 1 to 4 (attempt 5)
    const std::size_t times = rand.below(8);
    f.times = isLate(f.kind) || times < 5 ? 1 : times < 7 ? 2 : 5;  // 5 uses every attempt
    r.faults.push_back(f);
  }
  r.restart = rand.below(8) == 0;
  r.poll = rand.below(8) == 0;
  return r;
}

// ---- One run -----------------------------------------------------------------------------

using Violations = std::map<std::string, std::string>;  // invariant: what was seen

MoneyOutcome moneyOutcomeOf(link::RequestOutcome o) {
  switch (o) {
    case link::RequestOutcome::kDone:
      return MoneyOutcome::kDone;
    case link::RequestOutcome::kRefused:
      return MoneyOutcome::kRefused;
    case link::RequestOutcome::kNotCarriedOut:
      return MoneyOutcome::kNotCarriedOut;
    case link::RequestOutcome::kUnknown:
      return MoneyOutcome::kUnknown;
  }
  return MoneyOutcome::kNone;
}
const char* outcomeText(MoneyOutcome o) {
  constexpr const char* names[] = {"none", "not carried out", "refused", "unknown", "done"};
  return names[static_cast<int>(o)];
}

bool g_verbose = false;  // a case run alone prints its journal, ledger and requests

void printRun(const Ctx& c, const std::vector<link::JournalEntry>& journal) {
  for (const auto& e : journal) {
    std::cout << "  journal: " << e.request.command << " price " << e.request.price.raw << " qty "
              << e.request.quantity.raw << " -> " << link::outcomeName(e.outcome.outcome)
              << " money " << e.outcome.money1.raw << " " << e.outcome.money2.raw << " "
              << e.outcome.money3.raw << "\n";
  }
  for (const auto& s : c.sales()) {
    std::cout << "  ledger: id " << s.id << (s.quote ? " quote" : " sale") << " charged "
              << s.charged << (s.refunded ? " refunded" : "") << "\n";
  }
  for (const auto& r : c.terminal.requests()) {
    std::cout << "  request #" << int(r.packetIndex) << " " << hex2(r.commandCode())
              << (r.fault ? std::string(" (") + std::string(sim::faultKindName(*r.fault)) + ")"
                          : std::string())
              << (r.replayed ? " replayed" : "") << " reply code " << hex2(r.replyCode()) << "\n";
  }
}

Violations runOnce(const Case& run) {
  const auto began = std::chrono::steady_clock::now();
  Violations v;
  const Op& op = ops()[run.op];
  Ctx c;
  c.terminal.sim->insertCard(op.card);
  if (op.prepare) op.prepare(c);
  const std::size_t journalBefore = c.journal().size();
  c.salesBefore = c.sales().size();
  for (const Fault& f : run.faults) c.terminal.sim->injectFault(ruleOf(f));
  g_steer.terminal = c.terminal.sim.get();
  g_steer.line = c.terminal.line.get();
  g_steer.base = c.terminal.sim->counters().frames;
  g_steer.waits = 0;
  timing::setObserver(&steer);

  bool ok = true;
  MoneyOutcome told = MoneyOutcome::kNone;
  std::string error;
  try {
    op.call(c);
  } catch (const Exception& e) {
    ok = false, told = e.outcome(), error = cp1251ToUtf8(e.what());
  } catch (const std::exception& e) {
    ok = false, error = cp1251ToUtf8(e.what());
  }
  if (ok) {
    if (std::string bad = op.verify(c); !bad.empty()) v["host-figures"] = bad;
  }

  // Between the operations: a poll, a late reply let go, a restart of the driver.
  settle();
  if (run.poll) {
    try {
      c.drv().keepAlivePoll(std::chrono::steady_clock::now());
    } catch (const std::exception&) {
    }
  }
  if (run.restart) {
    hostDestructor(c.host)(c.host);
    c.host = nullptr;
  }
  c.terminal.sim->clearFaults();
  c.terminal.sim->releaseLateReply();
  c.terminal.sim->waitFor([](const sim::SimulatorCounters& k) { return k.lateWaiting == 0; },
                          10000);
  if (run.restart) c.host = library::wrapDriver(driver::createDriver(1));
  settle();

  // The journal: reconciled with the ledger, and what the host was told.
  const auto journal = c.journal();
  const Reconciliation rec = reconcile(journal, c.sales());
  if (!rec.faults.empty()) v["journal-ledger"] = rec.faults.front();
  if (g_verbose) printRun(c, journal);
  if (journal.size() > journalBefore) {
    // The operation's outcome: the weightiest of its money requests' (unknown, done,
    // refused, not carried out; a refund and the tsRefundReset that compensates it are two).
    MoneyOutcome own = MoneyOutcome::kNotCarriedOut;
    for (std::size_t k = journalBefore; k < journal.size(); ++k) {
      own = std::max(own, moneyOutcomeOf(journal[k].outcome.outcome), [](auto a, auto b) {
        constexpr int rank[] = {0, 0, 1, 3, 2};  // none, not carried out, refused, unknown, done
        return rank[static_cast<int>(a)] < rank[static_cast<int>(b)];
      });
    }
    if (ok && op.claimsMoney && own != MoneyOutcome::kDone) {
      v["told-outcome"] = std::string("success, journalled ") + outcomeText(own);
    } else if (!ok && told == MoneyOutcome::kNone) {
      v["told-outcome-none"] = std::string("failure told no outcome, journalled ") +
                               outcomeText(own) + " (" + error + ")";
    } else if (!ok && told != own) {
      v["told-outcome"] =
          std::string("told ") + outcomeText(told) + ", journalled " + outcomeText(own);
    }
  }

  // The next operation sees the terminal's true state.
  g_steer.base = c.terminal.sim->counters().frames;
  g_steer.waits = 0;
  try {
    TCardInfo r = filled<TCardInfo>();
    callSlot<CardInfoFn>(c.host, 7, &r, c.host, 0u);
    const std::int64_t balance = c.terminal.sim->card(op.card)->balance;
    if (hundredths(r.Available) != balance) {
      v["next-read"] = "shows " + std::to_string(hundredths(r.Available)) + ", the card holds " +
                       std::to_string(balance);
    }
  } catch (const std::exception& e) {
    v["next-read"] = "failed: " + cp1251ToUtf8(e.what());
  }
  timing::setObserver(nullptr);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - began)
                      .count();
  if (ms > kRunBoundMs) v["time-bound"] = std::to_string(ms) + " ms";
  return v;
}

// The smallest run derived from `run` that still breaks `invariant`.
Case shrink(Case run, const std::string& invariant) {
  const auto fails = [&](const Case& r) { return runOnce(r).count(invariant) != 0; };
  for (bool smaller = true; smaller;) {
    smaller = false;
    std::vector<Case> candidates;
    for (std::size_t k = 0; k < run.faults.size(); ++k) {
      Case fewer = run;
      fewer.faults.erase(fewer.faults.begin() + static_cast<std::ptrdiff_t>(k));
      candidates.push_back(fewer);
      if (run.faults[k].times > 1) {
        Case less = run;
        less.faults[k].times = less.faults[k].times == 5 ? 2 : less.faults[k].times - 1;
        candidates.push_back(less);
      }
      if (run.faults[k].skip > 0) {
        Case sooner = run;
        --sooner.faults[k].skip;
        candidates.push_back(sooner);
      }
    }
    if (run.restart) candidates.push_back(run), candidates.back().restart = false;
    if (run.poll) candidates.push_back(run), candidates.back().poll = false;
    for (const Case& r : candidates) {
      if (fails(r)) {
        run = r;
        smaller = true;
        break;
      }
    }
  }
  return run;
}

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}
bool strict() { return envNumber("VEXCARD_EXPLORE_STRICT", 0) != 0; }

// Tallies violations; the first few runs breaking each invariant are shrunk, and each
// distinct smallest case is printed once.
struct Report {
  static constexpr std::size_t kShrunkPerInvariant = 3;
  std::map<std::string, std::size_t> counts;
  std::map<std::string, std::vector<std::string>> first;
  std::set<std::string> smallest;

  void add(const std::string& label, const Case& run, const Violations& v) {
    for (const auto& [name, seen] : v) {
      if (counts[name]++ >= kShrunkPerInvariant) continue;
      const std::string small = text(shrink(run, name));
      if (!smallest.insert(name + small).second) continue;
      first[name].push_back(label + ": " + seen + "\n    smallest: {\"" + small + "\"},");
    }
  }
  // Prints everything; fails the test for every invariant not tolerated.
  void finish(std::size_t runs) const {
    std::cout << "explorer: " << runs << " runs";
    for (const auto& [name, n] : counts) std::cout << ", " << name << " broken " << n;
    std::cout << std::endl;
    for (const auto& [name, where] : first) {
      const bool tolerated = !strict() && kTolerated.count(name) != 0;
      for (const std::string& w : where) {
        std::cout << "explorer: " << name << (tolerated ? " (tolerated)" : "") << " at " << w
                  << std::endl;
      }
      if (!tolerated) ADD_FAILURE() << name << " broken " << counts.at(name) << " times";
    }
  }
};

// The driver flushes its journal and settings store before every frame: on a memory file
// system that costs nothing, and the explorer's runs are three times as fast.
void preferMemoryFolders() {
  if (std::filesystem::is_directory("/dev/shm")) setenv("TMPDIR", "/dev/shm", 0);
}

TEST(Explorer, EveryRunKeepsTheInvariants) {
  preferMemoryFolders();
  Report report;
  std::size_t runs = 0;
  const auto began = std::chrono::steady_clock::now();
  if (const char* one = std::getenv("VEXCARD_EXPLORE_CASE"); one != nullptr && *one != '\0') {
    const auto run = parse(one);
    ASSERT_TRUE(run) << "not a case: " << one;
    g_verbose = true;
    const Violations v = runOnce(*run);
    g_verbose = false;
    report.add(std::string("case ") + one, *run, v);
    report.finish(1);
    return;
  }
  const std::uint64_t from = envNumber("VEXCARD_EXPLORE_FROM", 1);
  const std::uint64_t count = envNumber("VEXCARD_EXPLORE_RUNS", 5000);
  for (std::uint64_t n = from; n < from + count; ++n, ++runs) {
    const Case run = generate(n);
    report.add("run " + std::to_string(n) + " (" + text(run) + ")", run, runOnce(run));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::cout << "explorer: runs " << from << " to " << from + count - 1 << " in " << seconds << " s"
            << std::endl;
  report.finish(runs);
}

TEST(Explorer, RegressionCasesKeepTheInvariants) {
  preferMemoryFolders();
  Report report;
  for (const char* line : kRegressions) {
    const auto run = parse(line);
    ASSERT_TRUE(run) << line;
    EXPECT_EQ(text(*run), line);  // the printed form reads back as itself
    report.add(std::string("case ") + line, *run, runOnce(*run));
  }
  report.finish(std::size(kRegressions));
}

}  // namespace
}  // namespace vexcard::test
