#include "terminal-sim/replay/log_replay.h"

#include <utility>

#include "terminal-sim/sim_wire.h"

namespace vexcard::sim {

using logreader::ReplayReply;

LogReplay::LogReplay(logreader::ReplayScript script, bool fast,
                     std::function<void(const std::string&)> report)
    : script_(std::move(script)), fast_(fast), report_(std::move(report)) {}

bool LogReplay::answerHandshake() {
  std::lock_guard<std::mutex> g(mutex_);
  if (nextHandshake_ >= script_.handshakes.size()) return true;
  return script_.handshakes[nextHandshake_++];
}

std::optional<ScriptedAnswer> LogReplay::answer(const RequestRecord& rec) {
  std::lock_guard<std::mutex> g(mutex_);
  const std::size_t k = nextRequest_++;
  if (k >= script_.exchanges.size()) {
    ++divergences_;
    report_("request " + std::to_string(k + 1) + " diverges: the log has only " +
            std::to_string(script_.exchanges.size()) + " requests; the simulator answers it\n");
    return std::nullopt;
  }
  const logreader::ReplayExchange& e = script_.exchanges[k];
  if (const auto diff = logreader::compareRequest(e.request, rec.wire)) {
    ++divergences_;
    report_("request " + std::to_string(k + 1) + " diverges from the log (line " +
            std::to_string(e.line) + "); answered as the log shows\n" + *diff);
  }
  ScriptedAnswer a;
  a.delayMs = fast_ ? 0 : e.delayMs;
  a.hangUp = e.reply == ReplayReply::kHangUp;
  if (e.reply == ReplayReply::kSilence || a.hangUp) return a;
  if (e.reply == ReplayReply::kRefusal) {
    a.wire = {kRefusal};
    return a;
  }
  Bytes body = e.body;
  if (!body.empty() && rec.valid()) body[0] = rec.packetIndex;
  FrameSpoiling spoil;
  spoil.corruptChecksum = e.reply == ReplayReply::kBadChecksum;
  if (e.reply == ReplayReply::kWrongTerminator) spoil.terminator = '\r';
  a.wire = encodeFrameText(body, spoil);
  a.good = e.reply == ReplayReply::kReply;
  return a;
}

void LogReplay::reportMissing() {
  std::lock_guard<std::mutex> g(mutex_);
  if (nextRequest_ >= script_.exchanges.size()) return;
  ++divergences_;
  const logreader::ReplayExchange& e = script_.exchanges[nextRequest_];
  report_("requests " + std::to_string(nextRequest_ + 1) + " to " +
          std::to_string(script_.exchanges.size()) +
          " of the log never came; the first of them (line " + std::to_string(e.line) +
          "): " + logreader::describeRequestText(e.request) + "\n");
}

bool LogReplay::finished() const {
  std::lock_guard<std::mutex> g(mutex_);
  return nextRequest_ >= script_.exchanges.size();
}

std::size_t LogReplay::divergences() const {
  std::lock_guard<std::mutex> g(mutex_);
  return divergences_;
}

std::size_t LogReplay::requests() const { return script_.exchanges.size(); }

}  // namespace vexcard::sim
