#include "logreader/log_summary.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "link/link_state.h"
#include "logreader/log_decoder.h"
#include "logreader/log_file.h"
#include "logreader/text.h"

namespace vexcard::logreader {

namespace {

constexpr std::size_t kMaxAttempts = 5;
constexpr double kMsPerCharacter = 10.0 * 1000.0 / 9600.0;
constexpr std::uint8_t kReset = 0x00, kRefundReset = 0x0D;
constexpr std::uint8_t kCodeExecuting = 0x01, kCodeShift = 0x81, kCodeBusy = 0x8F;

bool isMoney(std::uint8_t command) {
  return command == 0x08 || command == 0x09 || command == 0x0D || command == 0x0E;
}

// One request and its attempts so far.
struct Request {
  std::vector<std::uint8_t> text;
  std::uint8_t command = 0;
  std::string description;
  std::string stamp;
  std::size_t period = 0;
  std::size_t attempts = 0;
  bool good = false;        // the last attempt got a good reply
  std::uint8_t code = 0;    // its reply code
  bool mayHaveRun = false;  // an attempt's reply was lost or spoiled
  std::string verdict;
  bool open = true;
};

struct Period {
  PeriodSummary summary;
  std::map<std::string, std::vector<double>> times;
};

double percentile(std::vector<double>& v, double p) {
  std::sort(v.begin(), v.end());
  const std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

class Summarizer {
 public:
  explicit Summarizer(bool hourly) : hourly_(hourly) {}

  void feed(const LogLine& line) {
    const std::string key(line.stamp.substr(0, hourly_ ? 8 : 5));
    if (periods_.empty() || periods_.back().summary.period != key) {
      periods_.push_back({});
      periods_.back().summary.period = key;
    }
    PeriodSummary& p = periods_.back().summary;
    if (line.text == "RTS_ON") {
      if (!rts_) handshakeOpen_ = true;
      rts_ = true;
      return;
    }
    if (line.text == "RTS_OFF") {
      if (handshakeOpen_) ++p.handshakeFailures;
      rts_ = handshakeOpen_ = false;
      return;
    }
    if (line.text.ends_with(": connection made again")) ++p.reconnects;
    if (!line.port) return;
    if (line.port->text.substr(0, 5) == "Send:") {
      handshakeOpen_ = false;
      if (const auto chars = dumpBytes(line.port->text.substr(5))) send(line, *chars, p);
      return;
    }
    if (const auto reply = parseReplyLine(line.port->text)) onReply(line, *reply, p);
  }

  std::vector<PeriodSummary> finish() {
    for (Request& r : requests_) close(r);
    std::vector<PeriodSummary> out;
    for (Period& period : periods_) {
      for (auto& [name, times] : period.times) {
        DurationStats& d = period.summary.durations[name];
        d.count = times.size();
        d.maxMs = *std::max_element(times.begin(), times.end());
        d.medianMs = percentile(times, 0.5);
        d.p95Ms = percentile(times, 0.95);
      }
      out.push_back(std::move(period.summary));
    }
    return out;
  }

 private:
  void send(const LogLine& line, const std::vector<std::uint8_t>& chars, PeriodSummary& p) {
    ++p.exchanges;
    const DecodedRequest decoded = parseRequestText(chars);
    const std::uint8_t command = decoded.command.empty() ? 0xFF : decoded.command[0];
    // A tsReset that answers no 0x8F or 0x01 and opens no tsRefundReset is a keep-alive poll.
    if (pendingReset_ && command != kRefundReset) ++periodOf(*pendingReset_).polls;
    pendingReset_.reset();
    auto same = std::find_if(requests_.rbegin(), requests_.rend(),
                             [&](const Request& r) { return r.open && r.text == chars; });
    if (same != requests_.rend()) {
      ++same->attempts;
      ++p.retries;
      current_ = &*same;
    } else {
      Request r;
      r.text = chars;
      r.command = command;
      r.description =
          decoded.command.empty() ? "malformed request" : describeRequest(decoded.command);
      r.stamp = std::string(line.stamp);
      r.period = periods_.size() - 1;
      r.attempts = 1;
      if (command == kReset && !afterBusyOrExecuting_) pendingReset_ = r.period;
      requests_.push_back(std::move(r));
      current_ = &requests_.back();
      // Only recent requests can still see attempts; older ones are settled.
      while (requests_.size() > 32) {
        close(requests_.front());
        requests_.erase(requests_.begin());
      }
      current_ = &requests_.back();
    }
    afterBusyOrExecuting_ = false;
    sentAt_ = line.ms;
  }

  void onReply(const LogLine& line, const ReplyLine& reply, PeriodSummary& p) {
    if (current_ == nullptr) return;
    Request& r = *current_;
    current_ = nullptr;
    r.good = reply.linkState == 0 && reply.body.size() > 2;
    r.code = r.good ? reply.body[2] : 0;
    r.verdict = r.good ? describeReply(r.command, reply.body)
                       : utf8(line.port->text.substr(0, trailingDumpStart(line.port->text)));
    if (reply.linkState == link::kLinkNotReady) {
      ++p.refusals;
    } else if (reply.linkState == link::kLinkReplyTimeout && reply.body.empty()) {
      ++p.timeouts;
      r.mayHaveRun = true;
    } else if (reply.linkState == link::kLinkReplyTimeout ||
               reply.linkState == link::kLinkBadTerminator) {
      ++p.spoiled;
      r.mayHaveRun = true;
    }
    if (r.good) {
      const std::string name = commandName(r.command);
      periods_.back().times[name].push_back(line.ms - sentAt_);
      const double floor =
          static_cast<double>(r.text.size() + 2 * (reply.body.size() + 3) + 1) * kMsPerCharacter;
      DurationStats& d = p.durations[name];
      d.wireFloorMs = d.wireFloorMs == 0 ? floor : std::min(d.wireFloorMs, floor);
      afterBusyOrExecuting_ = r.code == kCodeBusy || r.code == kCodeExecuting;
      if (r.code != kCodeShift && r.code != kCodeBusy) close(r);
    } else if (r.attempts >= kMaxAttempts) {
      close(r);
    }
  }

  void close(Request& r) {
    if (!r.open) return;
    r.open = false;
    RequestOutcome outcome;
    if (r.good) {
      outcome = r.code == 0                ? RequestOutcome::kDone
                : r.code == kCodeExecuting ? RequestOutcome::kUnknown
                                           : RequestOutcome::kRefused;
    } else {
      outcome = r.mayHaveRun ? RequestOutcome::kUnknown : RequestOutcome::kNotCarriedOut;
    }
    PeriodSummary& p = periods_[r.period].summary;
    ++p.outcomes[commandName(r.command)][static_cast<std::size_t>(outcome)];
    if (outcome == RequestOutcome::kUnknown && isMoney(r.command)) {
      p.unsettled.push_back({r.stamp, r.description, r.verdict});
    }
  }

  PeriodSummary& periodOf(std::size_t index) { return periods_[index].summary; }

  const bool hourly_;
  std::vector<Period> periods_;
  std::vector<Request> requests_;
  Request* current_ = nullptr;  // the request whose reply is awaited
  double sentAt_ = 0;
  bool rts_ = false, handshakeOpen_ = false, afterBusyOrExecuting_ = false;
  std::optional<std::size_t> pendingReset_;  // period of a tsReset that may be a poll
};

}  // namespace

std::vector<PeriodSummary> summarizeLog(std::string_view log, bool hourly) {
  Summarizer s(hourly);
  for (const std::string_view raw : splitLines(log)) {
    if (const auto line = parseLogLine(raw)) s.feed(*line);
  }
  return s.finish();
}

}  // namespace vexcard::logreader
