#include "link/metrics.h"

#include <chrono>
#include <mutex>

#include "logging/logger.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/timing.h"

namespace vexcard::link {

using namespace vexcard::literals;

void LinkCounters::goodReply() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  lastGood_.store(std::chrono::duration_cast<std::chrono::seconds>(now).count());
  changes_.fetch_add(1, std::memory_order_relaxed);
}

std::int64_t unsettledUnknownCount(const std::vector<JournalEntry>& entries, unsigned port,
                                   std::optional<std::int32_t> openPacket) {
  std::int64_t count = 0;
  const JournalEntry* last = nullptr;  // the port's newest entry
  for (const JournalEntry& e : entries) {
    if (e.request.port != port) continue;
    last = &e;
    if (e.openUnknown()) ++count;
  }
  if (last != nullptr && openPacket && last->request.packet == *openPacket &&
      !last->outcome.recorded) {
    --count;
  }
  return count;
}

namespace {

struct Family {
  std::string_view name;
  std::string_view type;
  std::string_view help;
};

void header(std::string& out, const Family& f) {
  out.append("# HELP ").append(f.name).append(" ").append(f.help).append("\n");
  out.append("# TYPE ").append(f.name).append(" ").append(f.type).append("\n");
}

void sample(std::string& out, std::string_view name, const std::string& labels,
            std::int64_t value) {
  out.append(name).append("{").append(labels).append("} ").append(std::to_string(value));
  out.append("\n");
}

std::int64_t signedOf(std::uint64_t v) { return static_cast<std::int64_t>(v); }

// Label values: Prometheus style, without blanks.
constexpr std::string_view kRequestLabels[] = {"done", "refused", "not_carried_out", "unknown"};
constexpr RequestOutcome kRequestOutcomes[] = {RequestOutcome::kDone, RequestOutcome::kRefused,
                                               RequestOutcome::kNotCarriedOut,
                                               RequestOutcome::kUnknown};
constexpr std::string_view kOperationLabels[] = {"none", "not_carried_out", "refused", "unknown",
                                                 "done"};
constexpr MoneyOutcome kOperationOutcomes[] = {MoneyOutcome::kNone, MoneyOutcome::kNotCarriedOut,
                                               MoneyOutcome::kRefused, MoneyOutcome::kUnknown,
                                               MoneyOutcome::kDone};

}  // namespace

std::string formatMetrics(unsigned port, const LinkCounters& counters, std::int64_t unsettled) {
  static constexpr Family kCounters[] = {
      {"vexcard_exchanges_total", "counter", "Requests sent to the payment terminal."},
      {"vexcard_retries_total", "counter", "Attempts after the first of a request."},
      {"vexcard_timeouts_total", "counter", "Attempts that got no complete reply in time."},
      {"vexcard_spoiled_replies_total", "counter",
       "Replies with a wrong terminator or checksum, or too short."},
      {"vexcard_handshake_failures_total", "counter",
       "Attempts whose RTS/CTS hand-shake the terminal never answered."},
  };
  const std::string portLabel = std::string("port=\"COM").append(std::to_string(port)).append("\"");
  std::string out;
  out.reserve(2048);
  for (std::size_t k = 0; k < LinkCounters::kCounterCount; ++k) {
    header(out, kCounters[k]);
    sample(out, kCounters[k].name, portLabel,
           signedOf(counters.get(static_cast<LinkCounters::Counter>(k))));
  }
  header(out, {"vexcard_money_requests_total", "counter",
               "Money requests (sale, refund, debit) by how their exchange ended."});
  for (std::size_t k = 0; k < std::size(kRequestOutcomes); ++k) {
    sample(out, "vexcard_money_requests_total",
           portLabel + ",outcome=\"" + std::string(kRequestLabels[k]) + "\"",
           signedOf(counters.moneyRequests(kRequestOutcomes[k])));
  }
  header(out, {"vexcard_money_operations_total", "counter",
               "Money operations of the host by what they told it of the money."});
  for (std::size_t k = 0; k < std::size(kOperationOutcomes); ++k) {
    sample(out, "vexcard_money_operations_total",
           portLabel + ",outcome=\"" + std::string(kOperationLabels[k]) + "\"",
           signedOf(counters.moneyOperations(kOperationOutcomes[k])));
  }
  header(out, {"vexcard_unknown_outcomes_unsettled", "gauge",
               "Journal entries of money requests whose outcome is unknown and not settled."});
  sample(out, "vexcard_unknown_outcomes_unsettled", portLabel, unsettled);
  header(out, {"vexcard_last_good_exchange_timestamp_seconds", "gauge",
               "Unix time of the last good reply from the terminal; 0 when none came yet."});
  sample(out, "vexcard_last_good_exchange_timestamp_seconds", portLabel, counters.lastGoodReply());
  return out;
}

namespace {

struct FolderOverride {
  std::mutex mutex;
  std::optional<std::string> folder;  // guarded by mutex
};

FolderOverride& folderOverride() {
  static FolderOverride o;
  return o;
}

}  // namespace

std::string metricsFolder() {
  {
    FolderOverride& o = folderOverride();
    std::lock_guard<std::mutex> g(o.mutex);
    if (o.folder) return *o.folder;
  }
  return platform::metricsFolderSetting();
}

void setMetricsFolderOverride(std::optional<std::string> folder) {
  FolderOverride& o = folderOverride();
  std::lock_guard<std::mutex> g(o.mutex);
  o.folder = std::move(folder);
}

std::string metricsFileName(unsigned port) {
  return std::string("vexcard_com").append(std::to_string(port)).append(".prom");
}

bool writeMetricsFile(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  platform::OutputFile file;
  const bool written = file.create(temporary) && file.write(text);
  if (file.close() && written && platform::replaceFile(temporary, path)) return true;
  platform::deleteFile(temporary);
  return false;
}

MetricsWriter::MetricsWriter(unsigned port, const LinkCounters& counters, std::string folder,
                             std::string journalPath)
    : port_(port), counters_(counters), journalPath_(std::move(journalPath)) {
  if (!folder.empty() && platform::kPathDelimiters.find(folder.back()) == std::string::npos) {
    folder += platform::kPathSeparator;
  }
  path_ = folder + metricsFileName(port);
  try {
    thread_.start([this] { run(); });
  } catch (const std::exception&) {
    // Without its thread the file is written only when the driver ends.
  }
}

MetricsWriter::~MetricsWriter() {
  stop_.set();
  thread_.join();
  write();
}

void MetricsWriter::run() {
  write();
  std::uint64_t written = counters_.changes();
  int idle = 0;
  while (!stop_.wait(timing::ms(timing::Delay::kMetricsWrite))) {
    const std::uint64_t now = counters_.changes();
    if (now == written && ++idle < kRefreshPeriods) continue;
    if (now == written) journalSize_ = -2;  // a refresh reads the journal again
    idle = 0;
    written = now;
    write();
  }
}

std::int64_t MetricsWriter::unsettled() {
  // The request under way is asked for before the journal is read and, when none was,
  // after it: a request whose outcome is written meanwhile is left out rather than counted
  // as unknown, and so is one that began meanwhile. (One that ended and another that began
  // during the read may be counted once; the next write, which their change brings, is
  // right again.)
  const std::optional<std::int32_t> before = counters_.openMoneyRequest();
  const std::int64_t size = platform::fileSize(journalPath_);
  if (size != journalSize_) {
    journalSize_ = size;
    entries_ = readJournal(journalPath_);
  }
  return unsettledUnknownCount(entries_, port_, before ? before : counters_.openMoneyRequest());
}

void MetricsWriter::write() {
  try {
    if (writeMetricsFile(path_, formatMetrics(port_, counters_, unsettled()))) return;
  } catch (const std::exception&) {
  }
  if (failureLogged_) return;
  failureLogged_ = true;
  logging::WriteLog(1, std::string("Файл метрик не записан: "_w1251) + path_ +
                           std::string("; работа продолжается без него"_w1251));
}

}  // namespace vexcard::link
