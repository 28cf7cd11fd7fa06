#include "cli/log_summary_report.h"

#include <cstdio>

#include "cli/report.h"

namespace vexcard::cli {

namespace {

using logreader::kOutcomeCount;
using logreader::outcomeName;
using logreader::PeriodSummary;
using logreader::RequestOutcome;

std::string row(const char* format, auto... values) {
  char buf[200];
  std::snprintf(buf, sizeof buf, format, values...);
  return buf;
}

std::string jsonKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) c = c == ' ' ? '_' : c;
  return key;
}

}  // namespace

std::string summaryText(const std::vector<PeriodSummary>& periods) {
  std::string out;
  for (const PeriodSummary& p : periods) {
    out += (p.period.size() > 5 ? "Hour " + p.period + ":00" : "Day " + p.period) + "\n";
    out += row("  %-16s %7s %8s %16s %8s\n", "requests", "done", "refused", "not carried out",
               "unknown");
    for (const auto& [name, n] : p.outcomes) {
      out += row("  %-16s %7zu %8zu %16zu %8zu\n", name.c_str(), n[0], n[1], n[2], n[3]);
    }
    for (const auto& u : p.unsettled) {
      out +=
          "  to reconcile: " + u.stamp + " " + u.request + "\n                " + u.verdict + "\n";
    }
    out +=
        row("  exchanges %zu, attempts beyond the first %zu, reply time-outs %zu, refusals \"N\" "
            "%zu,\n  spoiled replies %zu, hand-shake failures %zu, keep-alive polls %zu, "
            "reconnects %zu\n",
            p.exchanges, p.retries, p.timeouts, p.refusals, p.spoiled, p.handshakeFailures, p.polls,
            p.reconnects);
    if (!p.durations.empty()) {
      out += row("  %-16s %6s %9s %9s %9s %11s\n", "exchange (ms)", "count", "median", "p95", "max",
                 "wire floor");
      for (const auto& [name, d] : p.durations) {
        out += row("  %-16s %6zu %9.0f %9.0f %9.0f %11.0f\n", name.c_str(), d.count, d.medianMs,
                   d.p95Ms, d.maxMs, d.wireFloorMs);
      }
    }
    out += "\n";
  }
  return out;
}

std::string summaryJson(const std::vector<PeriodSummary>& periods) {
  std::vector<Report> items;
  for (const PeriodSummary& p : periods) {
    Report r;
    r.text("period", "", p.period);
    std::vector<Report> requests;
    for (const auto& [name, n] : p.outcomes) {
      Report c;
      c.text("command", "", name);
      for (std::size_t k = 0; k < kOutcomeCount; ++k) {
        c.integer(jsonKey(outcomeName(static_cast<RequestOutcome>(k))), "",
                  static_cast<std::int64_t>(n[k]));
      }
      requests.push_back(std::move(c));
    }
    r.array("requests", "", std::move(requests));
    std::vector<Report> unsettled;
    for (const auto& u : p.unsettled) {
      unsettled.push_back(Report()
                              .text("stamp", "", u.stamp)
                              .text("request", "", u.request)
                              .text("verdict", "", u.verdict));
    }
    r.array("to_reconcile", "", std::move(unsettled));
    const auto count = [](std::size_t v) { return static_cast<std::int64_t>(v); };
    r.integer("exchanges", "", count(p.exchanges))
        .integer("retries", "", count(p.retries))
        .integer("reply_timeouts", "", count(p.timeouts))
        .integer("refusals", "", count(p.refusals))
        .integer("spoiled_replies", "", count(p.spoiled))
        .integer("handshake_failures", "", count(p.handshakeFailures))
        .integer("keep_alive_polls", "", count(p.polls))
        .integer("reconnects", "", count(p.reconnects));
    std::vector<Report> durations;
    for (const auto& [name, d] : p.durations) {
      durations.push_back(Report()
                              .text("command", "", name)
                              .integer("count", "", count(d.count))
                              .number("median_ms", "", d.medianMs)
                              .number("p95_ms", "", d.p95Ms)
                              .number("max_ms", "", d.maxMs)
                              .number("wire_floor_ms", "", d.wireFloorMs));
    }
    r.array("durations", "", std::move(durations));
    items.push_back(std::move(r));
  }
  return toJson(Report().array("periods", "", std::move(items)));
}

}  // namespace vexcard::cli
