// The link's numbers for a station's monitoring: counters of the exchanges with the
// terminal and of the money requests, kept by the link as it works, and the metrics file
// that a Prometheus exporter's textfile collector reads (node exporter's
// --collector.textfile.directory, windows_exporter's textfile collector).
//
// The file is <folder>/vexcard_com<port>.prom in the Prometheus text exposition format,
// with a port label ("COM1") on every sample:
//   vexcard_exchanges_total            requests sent (every SendCommand, the link's own too)
//   vexcard_retries_total              attempts after the first of a request
//   vexcard_timeouts_total             attempts that got no complete reply in time
//   vexcard_spoiled_replies_total      replies with a wrong terminator or checksum, or too short
//   vexcard_handshake_failures_total   attempts whose hand-shake the terminal never answered
//   vexcard_money_requests_total{outcome}    money requests as their exchange ended:
//                                            done, refused, not_carried_out, unknown
//   vexcard_money_operations_total{outcome}  money operations of the host as they ended:
//                                            none, not_carried_out, refused, unknown, done
//   vexcard_unknown_outcomes_unsettled  the port's journal entries whose outcome reads unknown, not
//   settled vexcard_last_good_exchange_timestamp_seconds  unix time of the last good reply; 0: none
//   yet
// The counters start at 0 with each driver (the exporter's rate() takes the reset).
//
// The folder is VEXCARD_METRICS_DIR; without it (or empty) no file is written. A writer
// thread of the link's own writes the file when something changed, at most once per
// timing::Delay::kMetricsWrite, and at least every kRefreshPeriods of them (so the file's
// time shows the driver alive), and once more when the driver ends. Each write goes to a
// temporary file in the same folder (not read by the collectors: its name does not end in
// .prom), which then replaces the file, so a scrape never sees half a file.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/journal_format.h"
#include "link/request_outcome.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "vexcard/exception.h"

namespace vexcard::link {

// What the link counts. Thread-safe: the host's thread and the keep-alive thread add,
// the writer thread reads; every update also advances `changes`.
class LinkCounters {
 public:
  enum Counter : std::size_t {
    kExchanges,
    kRetries,
    kTimeouts,
    kSpoiledReplies,
    kHandshakeFailures,
    kCounterCount
  };

  void add(Counter c) { bump(counters_[c]); }
  void addMoneyRequest(RequestOutcome o) { bump(requests_[static_cast<std::size_t>(o)]); }
  void addMoneyOperation(MoneyOutcome o) { bump(operations_[static_cast<std::size_t>(o)]); }
  // A good reply came now.
  void goodReply();
  // The packet of the money request under way (journal line written, outcome not yet);
  // nullopt when none is.
  void setOpenMoneyRequest(std::optional<std::int32_t> packet) {
    openPacket_.store(packet.value_or(-1));
  }

  std::uint64_t get(Counter c) const { return counters_[c].load(); }
  std::uint64_t moneyRequests(RequestOutcome o) const {
    return requests_[static_cast<std::size_t>(o)].load();
  }
  std::uint64_t moneyOperations(MoneyOutcome o) const {
    return operations_[static_cast<std::size_t>(o)].load();
  }
  std::int64_t lastGoodReply() const { return lastGood_.load(); }
  std::optional<std::int32_t> openMoneyRequest() const {
    const std::int32_t p = openPacket_.load();
    return p < 0 ? std::nullopt : std::optional<std::int32_t>(p);
  }
  std::uint64_t changes() const { return changes_.load(); }

 private:
  void bump(std::atomic<std::uint64_t>& c) {
    c.fetch_add(1, std::memory_order_relaxed);
    changes_.fetch_add(1, std::memory_order_relaxed);
  }

  std::array<std::atomic<std::uint64_t>, kCounterCount> counters_{};
  std::array<std::atomic<std::uint64_t>, 4> requests_{};    // by RequestOutcome
  std::array<std::atomic<std::uint64_t>, 5> operations_{};  // by MoneyOutcome
  std::atomic<std::int64_t> lastGood_{0};
  std::atomic<std::int32_t> openPacket_{-1};
  std::atomic<std::uint64_t> changes_{0};
};

// The port's journal entries whose outcome reads unknown (also those without an outcome
// line), leaving out the request still under way (openPacket: its outcome is not written yet).
std::int64_t unsettledUnknownCount(const std::vector<JournalEntry>& entries, unsigned port,
                                   std::optional<std::int32_t> openPacket);

// The file's text for the port's counters and the unsettled count.
std::string formatMetrics(unsigned port, const LinkCounters& counters, std::int64_t unsettled);

// The folder of the metrics files: the override when one is set, else VEXCARD_METRICS_DIR
// (platform::metricsFolderSetting);
// empty: none is written.
std::string metricsFolder();
// Replaces metricsFolder()'s answer for drivers built afterwards; "" switches the file off
// (the vexcard command does so when it runs the driver against its built-in simulator, so
// that a try-out does not pass for the station's numbers); nullopt restores the variable.
// Thread-safe.
void setMetricsFolderOverride(std::optional<std::string> folder);
// "vexcard_com1.prom".
std::string metricsFileName(unsigned port);

// Writes text to path through path + ".tmp" and a rename that replaces the file. False
// when it could not be written (the temporary file is then removed).
bool writeMetricsFile(const std::string& path, std::string_view text);

// The writer thread: writes the port's file as described above. Built by the link when a
// folder is set; its destructor stops the thread and writes the file a last time.
class MetricsWriter {
 public:
  // At least every kRefreshPeriods periods the file is written, changed or not.
  static constexpr int kRefreshPeriods = 6;

  MetricsWriter(unsigned port, const LinkCounters& counters, std::string folder,
                std::string journalPath);
  ~MetricsWriter();
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;

  const std::string& path() const { return path_; }

 private:
  void run();
  void write();
  std::int64_t unsettled();

  unsigned port_;
  const LinkCounters& counters_;
  std::string path_;
  std::string journalPath_;
  // The journal is read again only when its file's size has changed.
  std::int64_t journalSize_ = -2;
  std::vector<JournalEntry> entries_;
  bool failureLogged_ = false;
  platform::Event stop_{platform::EventReset::kManual};
  platform::Thread thread_;
};

}  // namespace vexcard::link
