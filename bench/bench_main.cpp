// The driver's benchmarks against the wire: each figure is printed at the end with its floor,
// both measured in the same run (docs/performance.md explains every row).
//
//  paced/*     one exchange or one whole host operation on a virtual line paced at 9600 baud,
//              production timing; floor = characters on the wire x 10 bits / 9600 + the
//              simulator's reply delay per reply + the operation's prescribed pauses.
//  line/*      the paced virtual line alone: one write of 96 characters.
//  overhead/*  the same work on an unpaced line, reply delay 0, the operations' pacing pauses
//              0: what the driver itself costs.
//  store/*, receiver/*, log/*, driver/*: the parts on their own.
//
// Options: --short (few iterations, for CI) and every Google Benchmark option.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "comport/com_port.h"
#include "comport/device_virtual.h"
#include "driver/card_ops.h"
#include "driver/env.h"
#include "driver/product_table.h"
#include "journal_flush.h"
#include "link/reply_receiver.h"
#include "logging/logger.h"
#include "platform/codepage.h"
#include "platform/settings_store.h"
#include "rig.h"
#include "terminal-sim/sim_wire.h"

namespace vexcard::bench {
namespace {

using namespace vexcard::literals;
using timing::Delay;

constexpr std::uint32_t kBaud = 9600;
constexpr int kDriverEnd = 0;                // the driver's end of a rig's line
constexpr std::uint32_t kReplyDelayMs = 20;  // the built-in simulator's reply delay
bool g_short = false;

double seconds(std::chrono::nanoseconds t) { return std::chrono::duration<double>(t).count(); }

// ---- The operations -------------------------------------------------------------------------

struct Operation {
  const char* name;
  const char* card;
  std::vector<Delay> pauses;      // the pauses the operation prescribes, in order
  std::function<bool(Rig&)> run;  // false when the terminal did not carry it out
};

bool saleExchange(Rig& rig) {
  driver::TSmartDriver& d = rig.driver();
  static const driver::ops::SaleFigures figures = driver::ops::saleFigures(20, 370);
  const driver::TKodTovar product = driver::ProductOfPurse(19);
  d.tsSale(driver::ops::transactionWord(d.TransactionNo), 1, product.code, product.name,
           figures.price, figures.quantity, driver::kRequestTag);
  d.TransactionNo = driver::ops::nextTransaction(d.TransactionNo);
  return d.ReplyData[driver::ops::kReplyCodeAt] == 0;
}

const std::vector<Operation>& operations() {
  static const std::vector<Operation> ops = {
      {"tsReadCard",
       "bonus",
       {},
       [](Rig& rig) {
         rig.driver().tsReadCard();
         return rig.driver().ReplyData[driver::ops::kReplyCodeAt] == 0;
       }},
      {"tsSale", "bonus", {}, saleExchange},
      {"BonusSaleEx",
       "bonus",
       {},
       [](Rig& rig) {
         TBonusResult r{};
         std::array<std::uint8_t, driver::kCardBlockSize> block{};
         rig.slots().BonusSaleEx(&r, rig.host(), 'A', 19, 20.0, 370.0, nullptr, nullptr, nullptr,
                                 block.data(), static_cast<std::int32_t>(block.size() - 1));
         return r.Status == 0;
       }},
      {"SubSchetEx",
       "fuel",
       {},
       [](Rig& rig) {
         TSaleResultEx r{};
         rig.slots().SubSchetEx(&r, rig.host(), 3, 21, 30.0, 1200.0);
         return r.Status == 0;
       }},
      {"OilLimit",
       "bonus",
       {Delay::kPace500, Delay::kPace500, Delay::kPace500},
       [](Rig& rig) {
         TPurseInfo r{};
         rig.slots().OilLimit(&r, rig.host());
         return r.Status == 0;
       }},
  };
  return ops;
}

// Production timing; for pure overhead the operations' pacing pauses are 0. The waits that
// events end (CTS answer, reply) keep their production bounds, so a late answer on a loaded
// machine is waited for rather than turned into a retry that would be counted as overhead.
timing::Policy overheadPolicy() {
  timing::Policy p = timing::Policy::production();
  for (Delay d : {Delay::kPace500, Delay::kPace400, Delay::kPace300}) p.set(d, 0);
  return p;
}

// Runs op once; a refusal or an error of the driver ends the benchmark with its message.
bool carriedOut(benchmark::State& state, Rig& rig, const Operation& op) {
  std::string error = "the terminal did not carry out the operation";
  try {
    if (op.run(rig)) return true;
  } catch (const std::exception& e) {
    error = std::string("the driver failed: ") + e.what();
  }
  state.SkipWithError(error.c_str());
  return false;
}

// Runs op over the state's iterations on rig, after one run that is not counted (the log
// file's first open, the first allocations of each path), and sets the counters: characters
// on the wire, replies, allocations of the driver's threads and of its event thread. With a
// store, each run is followed by one value written through it, timed on its own (store_s):
// what persisting the packet counter costs, measured between the very exchanges it is part of.
void runOperation(benchmark::State& state, Rig& rig, const Operation& op,
                  platform::SettingsStore* store = nullptr) {
  using Clock = std::chrono::steady_clock;
  if (!carriedOut(state, rig, op)) return;
  rig.mark();
  const AllocCounts before = allocCounts();
  std::uint64_t storeAllocs = 0;
  Clock::duration storeTime{};
  std::int32_t value = 1;
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(state.max_iterations));  // no allocation in the loop
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!carriedOut(state, rig, op)) return;
    const auto done = Clock::now();
    times.push_back(std::chrono::duration<double>(done - start).count());
    state.SetIterationTime(times.back());
    if (store != nullptr) {
      const std::uint64_t a = threadAllocCount();
      store->writeInt(link::kPacketCounterValue, value++);
      storeAllocs += threadAllocCount() - a;
      storeTime += Clock::now() - done;
    }
  }
  AllocCounts used = allocCounts() - before;
  used.driver -= storeAllocs;
  const Traffic t = rig.traffic();
  const double n = static_cast<double>(state.iterations());
  state.counters["chars"] = static_cast<double>(t.characters) / n;
  state.counters["reply_chars"] = static_cast<double>(t.replyCharacters) / n;
  state.counters["replies"] = static_cast<double>(t.replies) / n;
  state.counters["allocs"] = static_cast<double>(used.driver) / n;
  state.counters["rx_allocs"] = static_cast<double>(used.portEvents) / n;
  double floor = seconds(comport::characterTime(kBaud, t.characters)) / n +
                 static_cast<double>(t.replies) * rig.replyDelayMs() / 1000.0 / n;
  for (Delay d : op.pauses) floor += timing::ms(d) / 1000.0;
  state.counters["floor_s"] = floor;
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  state.counters["median_s"] = times[times.size() / 2];
  if (store != nullptr)
    state.counters["store_s"] = std::chrono::duration<double>(storeTime).count() / n;
}

// A settings store of its own in folder; opened while no driver exists, as the Env may
// change only then.
std::unique_ptr<platform::SettingsStore> storeIn(const ScratchFolder& folder) {
  Env env = currentEnv();
  env.settingsFolder = folder.path().string();
  EnvScope scope(env);
  return platform::SettingsStore::open();
}

void pacedOperation(benchmark::State& state, const Operation& op) {
  Rig rig({.paced = true, .replyDelayMs = kReplyDelayMs, .card = op.card});
  runOperation(state, rig, op);
}

void overheadOperation(benchmark::State& state, const Operation& op) {
  // A store of its own in a sibling folder of the driver's, on the same file system.
  ScratchFolder folder;
  auto store = storeIn(folder);
  Rig rig({.paced = false, .replyDelayMs = 0, .policy = overheadPolicy(), .card = op.card});
  runOperation(state, rig, op, store.get());
  state.counters["floor_s"] = 0;
}

// ---- The parts on their own ----------------------------------------------------------------

// One paced write of 96 characters (100 ms at 9600 baud) from one end to the other.
void lineAlone(benchmark::State& state) {
  auto line = comport::NewVirtualSerialPair(comport::VirtualLineOptions{true});
  auto a = line->open(0);
  auto b = line->open(1);
  std::array<std::uint8_t, 96> bytes;
  bytes.fill('0');
  for (auto _ : state) {
    std::uint32_t written = 0;
    a->write(bytes.data(), bytes.size(), written);
    std::array<std::uint8_t, 96> in;
    b->read(in.data(), in.size());
  }
  state.counters["floor_s"] = seconds(comport::characterTime(kBaud, bytes.size()));
}

// Persisting the packet counter as every exchange does: one value written through the
// settings store (temporary file, flush, rename, flush of the folder).
void packetCounterStore(benchmark::State& state) {
  ScratchFolder folder;
  auto store = storeIn(folder);
  std::int32_t value = 1;
  const AllocCounts before = allocCounts();
  for (auto _ : state) store->writeInt(link::kPacketCounterValue, value++);
  state.counters["allocs"] = static_cast<double>((allocCounts() - before).driver) /
                             static_cast<double>(state.iterations());
}

// A good tsSale reply frame (102-byte body, 209 characters) through the reply receiver.
void receiverPerByte(benchmark::State& state) {
  sim::Bytes body(102);
  for (std::size_t k = 0; k < body.size(); ++k) body[k] = static_cast<std::uint8_t>(k * 37 + 11);
  body[1] = 0x08;
  body[2] = 0x00;
  const sim::Bytes frame = sim::encodeFrameText(body);
  link::ReplyReceiver rx;
  const AllocCounts before = allocCounts();
  for (auto _ : state) {
    rx.ResetReceiver();
    for (std::uint8_t b : frame) benchmark::DoNotOptimize(rx.ReceiveByte(b));
    benchmark::ClobberMemory();
  }
  if (rx.LinkState.load() != link::kLinkOk) state.SkipWithError("the frame was not accepted");
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(frame.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["frame_chars"] = static_cast<double>(frame.size());
  state.counters["allocs"] = static_cast<double>((allocCounts() - before).driver) / bytes;
  state.counters["floor_s"] = seconds(comport::characterTime(kBaud, 1));
}

// The driver's whole receiving side per character: its port's event thread taking each
// character of a paced line as its own event, the input ring and DataReceived with the
// receiver. The terminal's end sends 209-character reply frames closed by a wrong terminator:
// every character is parsed, and each frame ends in a verdict that wakes nobody and logs
// nothing, so the event thread does per-character work only.
void receivingSide(benchmark::State& state) {
  Rig rig({.paced = true, .simulator = false});
  sim::Bytes body(102, 0x5A);
  sim::FrameSpoiling spoil;
  spoil.terminator = 0x0D;
  const sim::Bytes frame = sim::encodeFrameText(body, spoil);
  rig.line().waitUntilIdle(kDriverEnd);
  const AllocCounts before = allocCounts();
  const auto cpuBefore = rig.eventThreadCpu();
  for (auto _ : state) {
    std::uint32_t written = 0;
    rig.terminalEnd().write(frame.data(), static_cast<std::uint32_t>(frame.size()), written);
  }
  rig.line().waitUntilIdle(kDriverEnd);  // the event thread has taken every character
  const double chars = static_cast<double>(state.iterations()) * static_cast<double>(frame.size());
  state.counters["chars"] = chars;
  state.counters["cpu_s"] = seconds(rig.eventThreadCpu() - cpuBefore) / chars;
  state.counters["floor_s"] = seconds(comport::characterTime(kBaud, 1));
  state.counters["rx_allocs"] = static_cast<double>((allocCounts() - before).portEvents) / chars;
}

// One log line (a tsReadCard reply dump, as the exchange writes it) appended to an active file
// of 0 bytes and one to a file of 10 MiB - 256 KiB, by turns, each line timed on its own, so
// that both sizes meet the same moments of a shared machine. Every 4096 lines both files are
// cut back to their starting size, so the big one stays below the 10 MiB rotation limit (a
// cut costs tens of microseconds: a few nanoseconds a line).
void logLines(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  ScratchFolder folder;
  const std::uintmax_t sizes[2] = {0, (10u << 20) - (256u << 10)};
  const std::string paths[2] = {(folder.path() / "empty.log").string(),
                                (folder.path() / "full.log").string()};
  for (int k = 0; k < 2; ++k) {
    std::ofstream out(paths[k], std::ios::binary);
    const std::string filler(78, 'x');
    for (std::uintmax_t at = 0; at < sizes[k]; at += 80) out << filler << "\r\n";
    out.close();
    std::filesystem::resize_file(paths[k], sizes[k]);
  }
  std::array<std::uint8_t, 35> reply{};
  reply[0] = 2;
  reply[1] = 0x0A;
  const std::string text = comport::formatPortLine(
      1,
      comport::formatHexDump(reply.data(), reply.size(), std::string("Команда выполнена: "_w1251)));
  logging::testing::resetLogState();
  logging::SetLogPath(paths[0]);
  logging::WriteLog(1, text);  // the first line of a load adds an empty line: not counted
  Clock::duration spent[2] = {};
  std::uint64_t allocs = 0;
  std::uint32_t lines = 0;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      logging::SetLogPath(paths[k]);
      const std::uint64_t a = threadAllocCount();
      const auto start = Clock::now();
      logging::WriteLog(1, text);
      spent[k] += Clock::now() - start;
      allocs += threadAllocCount() - a;
    }
    if (++lines == 4096) {
      lines = 0;
      for (int k = 0; k < 2; ++k) std::filesystem::resize_file(paths[k], sizes[k]);
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["allocs"] = static_cast<double>(allocs) / (2 * n);
  state.counters["empty_s"] = std::chrono::duration<double>(spent[0]).count() / n;
  state.counters["full_s"] = std::chrono::duration<double>(spent[1]).count() / n;
  state.counters["text_chars"] = static_cast<double>(text.size());
  logging::testing::resetLogState();
}

// GeTDriver on the rig's line and the host's destructor slot.
void driverLifecycle(benchmark::State& state) {
  Rig rig({.paced = false, .replyDelayMs = 0, .createDriver = false});
  const AllocCounts before = allocCounts();
  for (auto _ : state) {
    rig.createHost();
    rig.destroyHost();
  }
  state.counters["allocs"] = static_cast<double>((allocCounts() - before).driver) /
                             static_cast<double>(state.iterations());
}

// ---- The summary --------------------------------------------------------------------------

struct Result {
  double secondsPerIteration = 0;
  std::map<std::string, double> counters;
  bool failed = false;
};

// The usual console lines, then the table of every figure with its floor and ratio.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      Result r;
      r.failed = run.error_occurred;
      r.secondsPerIteration =
          run.iterations > 0 ? run.real_accumulated_time / static_cast<double>(run.iterations) : 0;
      for (const auto& [name, counter] : run.counters) r.counters[name] = counter.value;
      const std::string& args = run.run_name.args;
      results_[run.run_name.function_name + (args.empty() ? "" : "/" + args)] = r;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-58s %14s %14s %s\n", "figure", "measured", "floor", "ratio");
    for (const Operation& op : operations()) pacedRow(op.name);
    if (const Result* r = find("line/96-characters")) {
      timeRow("virtual line alone: one write of 96 characters", r->secondsPerIteration,
              r->counters.at("floor_s"));
    }
    for (const Operation& op : operations()) overheadRow(op.name);
    if (const Result* over = find("overhead/tsReadCard")) {
      const double store = over->counters.at("store_s");
      std::printf("%-58s %14s %14s %s\n", "  tsReadCard's share: persisting the packet counter",
                  ms(store).c_str(), "0",
                  share(store, over->secondsPerIteration, "of its overhead").c_str());
    }
    if (const Result* store = find("store/packet-counter")) {
      std::printf("%-58s %14s %14s %s\n", "persisting the packet counter, alone",
                  ms(store->secondsPerIteration).c_str(), "0",
                  (fmt("%.0f", store->counters.at("allocs")) + " allocations").c_str());
    }
    if (const Result* r = find("receiver/sale-reply")) {
      const double perByte = r->secondsPerIteration / r->counters.at("frame_chars");
      char ratio[96];
      std::snprintf(ratio, sizeof ratio, "%.2g of a character time: %.2g x the line rate",
                    perByte / r->counters.at("floor_s"), r->counters.at("floor_s") / perByte);
      std::printf("%-58s %14s %14s %s\n", "reply receiver, per character", ns(perByte).c_str(),
                  us(r->counters.at("floor_s")).c_str(), ratio);
    }
    if (const Result* r = find("receiver/driver-paced")) {
      const double cpu = r->counters.at("cpu_s");
      const double line = r->counters.at("floor_s");
      std::printf("%-58s %14s %14s %s\n", "receiving side per character (event thread CPU, paced)",
                  us(cpu).c_str(), us(line).c_str(),
                  fmt("%.3g of a character time: ", cpu / line)
                      .append(fmt("%.3g x the line rate", line / cpu))
                      .c_str());
    }
    printFlushRows([this](const std::string& name) {
      const Result* r = find(name);
      return r != nullptr ? r->secondsPerIteration : -1.0;
    });
    allocationRows();
    logRows();
    if (const Result* r = find("driver/create-destroy")) {
      std::printf("%-58s %14s %14s %s\n", "driver created (GeTDriver) and destroyed",
                  ms(r->secondsPerIteration).c_str(), "-",
                  (fmt("%.0f", r->counters.at("allocs")) + " allocations").c_str());
    }
  }

 private:
  const Result* find(const std::string& name) const {
    const auto it = results_.find(name);
    return it == results_.end() || it->second.failed ? nullptr : &it->second;
  }
  static std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
  }
  static std::string ms(double s) { return fmt("%.3f ms", s * 1e3); }
  static std::string us(double s) { return fmt("%.2f us", s * 1e6); }
  static std::string ns(double s) { return fmt("%.2f ns", s * 1e9); }
  static std::string share(double part, double whole, const char* what) {
    return fmt("%.3g %%", 100.0 * part / whole) + " " + what;
  }

  void timeRow(const std::string& figure, double measured, double floor,
               const std::string& note = {}) const {
    std::printf("%-58s %14s %14s %.4f x floor%s\n", figure.c_str(), ms(measured).c_str(),
                ms(floor).c_str(), measured / floor, note.c_str());
  }
  void pacedRow(const std::string& name) const {
    const Result* r = find("paced/" + name);
    if (r == nullptr) return;
    const auto& c = r->counters;
    timeRow(name + " at 9600 baud: " + fmt("%.0f chars", c.at("chars")) +
                fmt(", %.0f replies", c.at("replies")),
            r->secondsPerIteration, c.at("floor_s"),
            fmt(" (median %.4f)", c.at("median_s") / c.at("floor_s")));
  }
  void overheadRow(const std::string& name) const {
    const Result* r = find("overhead/" + name);
    if (r == nullptr) return;
    const Result* paced = find("paced/" + name);
    std::string ratio = "median " + ms(r->counters.at("median_s"));
    if (paced != nullptr) {
      ratio += "; mean " +
               share(r->secondsPerIteration, paced->counters.at("floor_s"), "of the paced floor");
    }
    std::printf("%-58s %14s %14s %s\n", (name + ": pure overhead (line unpaced)").c_str(),
                ms(r->secondsPerIteration).c_str(), "0", ratio.c_str());
  }
  void allocationRows() const {
    for (const Operation& op : operations()) {
      const Result* r = find("overhead/" + std::string(op.name));
      if (r == nullptr) continue;
      std::printf(
          "%-58s %14s %14s %s\n", (std::string("heap allocations per ") + op.name).c_str(),
          fmt("%.1f", r->counters.at("allocs")).c_str(), "-",
          (fmt("%.1f", r->counters.at("rx_allocs")) + " on the port's event thread").c_str());
    }
    if (const Result* r = find("receiver/driver-paced")) {
      std::printf("%-58s %14s %14s %s\n", "heap allocations per received character (paced)",
                  fmt("%.4f", r->counters.at("rx_allocs")).c_str(), "0",
                  fmt("the event thread over %.0f characters", r->counters.at("chars")).c_str());
    }
    if (const Result* r = find("receiver/sale-reply")) {
      std::printf("%-58s %14s %14s\n", "heap allocations per character in the receiver",
                  fmt("%.3f", r->counters.at("allocs")).c_str(), "0");
    }
  }
  void logRows() const {
    const Result* r = find("log/line");
    if (r == nullptr) return;
    const double empty = r->counters.at("empty_s");
    const double full = r->counters.at("full_s");
    std::printf("%-58s %14s %14s %s\n", "log line, empty active file", us(empty).c_str(), "-",
                fmt("%.0f characters, ", r->counters.at("text_chars"))
                    .append(fmt("%.1f allocations", r->counters.at("allocs")))
                    .c_str());
    std::printf("%-58s %14s %14s %s\n", "log line, 10 MiB active file (below rotation)",
                us(full).c_str(), us(empty).c_str(),
                fmt("%.3f x the empty file's line, by turns", full / empty).c_str());
  }

  std::map<std::string, Result> results_;
};

void registerAll() {
  const int pacedIterations[] = {30, 20, 10, 10, 4};
  const int shortIterations[] = {3, 2, 1, 1, 1};
  const double minTime = g_short ? 0.02 : 1.0;
  int k = 0;
  for (const Operation& op : operations()) {
    benchmark::RegisterBenchmark(("paced/" + std::string(op.name)).c_str(), pacedOperation, op)
        ->Iterations(g_short ? shortIterations[k] : pacedIterations[k])
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    ++k;
  }
  benchmark::RegisterBenchmark("line/96-characters", lineAlone)
      ->Iterations(g_short ? 2 : 20)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  for (const Operation& op : operations()) {
    benchmark::RegisterBenchmark(("overhead/" + std::string(op.name)).c_str(), overheadOperation,
                                 op)
        ->MinTime(minTime)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
  }
  registerFlushBenchmarks(g_short);
  benchmark::RegisterBenchmark("store/packet-counter", packetCounterStore)
      ->MinTime(minTime)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("receiver/sale-reply", receiverPerByte)->MinTime(minTime);
  benchmark::RegisterBenchmark("receiver/driver-paced", receivingSide)
      ->Iterations(g_short ? 1 : 5)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("log/line", logLines)->MinTime(minTime)->UseRealTime();
  benchmark::RegisterBenchmark("driver/create-destroy", driverLifecycle)
      ->MinTime(g_short ? 0.02 : 0.5)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace
}  // namespace vexcard::bench

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int k = 0; k < argc; ++k) {
    if (std::strcmp(argv[k], "--short") == 0) {
      vexcard::bench::g_short = true;
    } else {
      args.push_back(argv[k]);
    }
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
  vexcard::bench::registerAll();
  vexcard::bench::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
