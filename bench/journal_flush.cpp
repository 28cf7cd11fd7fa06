#include "journal_flush.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "driver/card_ops.h"
#include "driver/product_table.h"
#include "link/terminal_link.h"
#include "platform/settings_store.h"
#include "rig.h"

namespace vexcard::bench {
namespace {

using timing::Delay;
constexpr int kHandshakeDelays[] = {0, 5};

timing::Policy unpacedPolicy() {
  timing::Policy p = timing::Policy::production();
  for (Delay d : {Delay::kPace500, Delay::kPace400, Delay::kPace300}) p.set(d, 0);
  return p;
}

bool sale(driver::TSmartDriver& d) {
  static const driver::ops::SaleFigures figures = driver::ops::saleFigures(20, 370);
  static const driver::TKodTovar product = driver::ProductOfPurse(19);
  d.tsSale(driver::ops::transactionWord(d.TransactionNo), 1, product.code, product.name,
           figures.price, figures.quantity, driver::kRequestTag);
  d.TransactionNo = driver::ops::nextTransaction(d.TransactionNo);
  return d.ReplyData[driver::ops::kReplyCodeAt] == 0;
}

void flush(benchmark::State& state, bool after) {
  using Clock = std::chrono::steady_clock;
  const auto handshakeMs = static_cast<std::uint32_t>(state.range(0));
  // The bench's own store in a sibling folder of the driver's, on the same file system; opened
  // while no driver exists.
  ScratchFolder storeFolder;
  std::unique_ptr<platform::SettingsStore> store;
  {
    Env env = currentEnv();
    env.settingsFolder = storeFolder.path().string();
    EnvScope scope(env);
    store = platform::SettingsStore::open();
  }
  Rig rig({.paced = false,
           .replyDelayMs = 0,
           .policy = unpacedPolicy(),
           .journal = after,
           .handshakeDelayMs = handshakeMs});
  const bool storeFirst = !after && handshakeMs > 0;
  std::int32_t value = 1;
  try {
    if (!sale(rig.driver())) return state.SkipWithError("the terminal refused the sale");
    for (auto _ : state) {
      const auto start = Clock::now();
      if (storeFirst) store->writeInt(link::kPacketCounterValue, value++);
      if (!sale(rig.driver())) return state.SkipWithError("the terminal refused the sale");
      state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

}  // namespace

void registerFlushBenchmarks(bool shortRun) {
  for (const int h : kHandshakeDelays) {
    for (const bool after : {false, true}) {
      benchmark::RegisterBenchmark(after ? "flush/after" : "flush/before",
                                   [after](benchmark::State& state) { flush(state, after); })
          ->Arg(h)
          ->Iterations(shortRun ? 2 : 60)
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond);
    }
  }
}

void printFlushRows(const std::function<double(const std::string&)>& seconds) {
  for (const int h : kHandshakeDelays) {
    char before_name[32], after_name[32];
    std::snprintf(before_name, sizeof before_name, "flush/before/%d", h);
    std::snprintf(after_name, sizeof after_name, "flush/after/%d", h);
    const double before = seconds(before_name);
    const double after = seconds(after_name);
    if (before <= 0 || after <= 0) continue;
    char label[96], a[32], b[32], ratio[96];
    std::snprintf(label, sizeof label, "tsSale with its flushes, hand-shake answered in %d ms", h);
    std::snprintf(a, sizeof a, "%.3f ms", after * 1e3);
    std::snprintf(b, sizeof b, "%.3f ms", before * 1e3);
    std::snprintf(ratio, sizeof ratio, "after / before %.3f (%+.3f ms)", after / before,
                  (after - before) * 1e3);
    std::printf("%-58s %14s %14s %s\n", label, a, b, ratio);
  }
}

}  // namespace vexcard::bench
