#include "terminal-sim/terminal_simulator.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/timing.h"
#include "vexcard/exception.h"

namespace vexcard::sim {

std::string_view faultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNoCtsAnswer:
      return "no CTS answer";
    case FaultKind::kRefuse:
      return "refusal";
    case FaultKind::kBadChecksum:
      return "bad checksum";
    case FaultKind::kWrongTerminator:
      return "wrong terminator";
    case FaultKind::kSilence:
      return "silence";
    case FaultKind::kTrickle:
      return "trickle";
    case FaultKind::kGarbageBefore:
      return "garbage before";
    case FaultKind::kReplyCode:
      return "reply code";
    case FaultKind::kPatchReply:
      return "patched reply";
    case FaultKind::kLateReply:
      return "late reply";
    case FaultKind::kHangUp:
      return "hang-up";
  }
  return "unknown";
}

TerminalSimulator::TerminalSimulator(std::unique_ptr<comport::SerialDevice> device,
                                     const SimulatorConfig& config)
    : device_(std::move(device)),
      model_(config),
      replyDelayMs_(config.replyDelayMs),
      trickleDelayMs_(config.trickleDelayMs) {
  if (!device_) throw Exception("simulator: no device");
}

TerminalSimulator::~TerminalSimulator() { stop(); }

void TerminalSimulator::start() {
  std::lock_guard<std::mutex> life(lifecycle_);
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> g(mutex_);
    stopping_ = false;
  }
  pending_.clear();
  lastExecuted_.reset();
  held_.reset();
  heldWritten_ = false;
  lastCts_ = false;
  rtsUp_ = true;
  replyWritten_ = false;
  // Reads return at once with what has arrived; the event wait does the waiting.
  comport::CommTimeouts timeouts;
  timeouts.readInterval = 0xFFFFFFFFu;
  timeouts.writeTotalConstant = timing::ms(timing::Delay::kDeviceWriteTimeout);
  device_->setTimeouts(timeouts);
  if (!device_->setRts(true) || !device_->setDtr(true)) {
    throw Exception("simulator: the device refused to raise RTS and DTR");
  }
  if (!device_->setEventMask(comport::kEvRxChar | comport::kEvCts)) {
    throw Exception("simulator: the device refused the event mask");
  }
  thread_ = std::thread([this] { run(); });
}

void TerminalSimulator::stop() {
  std::lock_guard<std::mutex> life(lifecycle_);
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> g(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  // A mask of 0 ends the event wait; a wait begun after this fails on the empty mask.
  device_->setEventMask(0);
  device_->cancelWrite();
  thread_.join();
}

bool TerminalSimulator::running() const {
  std::lock_guard<std::mutex> life(lifecycle_);
  return thread_.joinable();
}

void TerminalSimulator::run() {
  serviceLine(false);  // a hand-shake may be waiting already
  for (;;) {
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (stopping_) return;
    }
    std::uint32_t mask = 0;
    const comport::EventWaitResult result = device_->waitEvent(mask);
    std::unique_lock<std::mutex> lk(mutex_);
    if (stopping_) return;
    if (result != comport::EventWaitResult::kCompletedAtOnce &&
        result != comport::EventWaitResult::kCompletedAfterPending) {
      ++counters_.deviceFailures;
      lk.unlock();
      changed_.notify_all();
      return;
    }
    lk.unlock();
    serviceLine((mask & comport::kEvCts) != 0);
    serviceInput();
  }
}

void TerminalSimulator::serviceLine(bool ctsEvent) {
  std::uint32_t status = 0;
  if (!device_->getModemStatus(status)) return;
  const bool cts = (status & comport::kMsCtsOn) != 0;
  if (cts != lastCts_) {
    lastCts_ = cts;
    cts ? onCtsRose() : onCtsFell();
  } else if (ctsEvent && cts && !rtsUp_ && replyWritten_) {
    // CTS changed but reads high as before, after a good reply: the driver dropped RTS at the
    // reply's ETX and raised it for its next request before we looked. Answer that
    // hand-shake, or the driver would wait in vain for CTS to drop. Without a good reply
    // since our last answer the event is a late one of a change already handled.
    onCtsFell();
    onCtsRose();
  }
  changed_.notify_all();
}

void TerminalSimulator::onCtsRose() {
  bool ignore;
  std::uint32_t delay;
  {
    std::lock_guard<std::mutex> g(mutex_);
    lineEventLocked(LineEvent::kCtsRose);
    ignore = source_ ? !source_->answerHandshake() : takeFaultLocked(true, 0).has_value();
    if (ignore) {
      ++counters_.handshakesIgnored;
      lineEventLocked(LineEvent::kHandshakeIgnored);
    }
    delay = handshakeDelayMs_;
  }
  if (!ignore && rtsUp_ && delay > 0 && !pause(delay)) return;
  if (!ignore && held_ && held_->release == LateRelease::kNextHandshake) writeHeld();
  if (!ignore && rtsUp_ && device_->setRts(false)) {
    rtsUp_ = false;
    replyWritten_ = false;
    std::lock_guard<std::mutex> g(mutex_);
    ++counters_.handshakes;
    lineEventLocked(LineEvent::kRtsDropped);
  }
}

void TerminalSimulator::onCtsFell() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    lineEventLocked(LineEvent::kCtsFell);
  }
  if (!rtsUp_ && device_->setRts(true)) {
    rtsUp_ = true;
    std::lock_guard<std::mutex> g(mutex_);
    lineEventLocked(LineEvent::kRtsRaised);
  }
}

void TerminalSimulator::serviceInput() {
  std::uint8_t buffer[256];
  for (;;) {
    const std::uint32_t n = device_->read(buffer, sizeof buffer);
    if (n == 0) return;
    for (std::uint32_t i = 0; i < n; ++i) {
      pending_.push_back(buffer[i]);
      if (buffer[i] == kEtx || pending_.size() >= kMaxRequestText) {
        handleText(pending_);
        pending_.clear();
      }
    }
    std::lock_guard<std::mutex> g(mutex_);
    if (stopping_) return;
  }
}

void TerminalSimulator::handleText(const Bytes& text) {
  // A run of kMaxRequestText bytes without ETX is decoded as kNoEtx; record it as too long.
  DecodedFrame frame = decodeFrameText(text);
  if (frame.error == FrameError::kNoEtx) frame.error = FrameError::kTooLong;
  RequestRecord rec;
  rec.wire = text;
  rec.error = frame.error;
  rec.handshaken = lastCts_;
  if (frame.error == FrameError::kNone) {
    const bool retryOfHeld = held_ && held_->release == LateRelease::kNextReply &&
                             held_->text == text;
    if (held_ && held_->release == LateRelease::kNextReply && !retryOfHeld) writeHeld();
    if (heldWritten_ || retryOfHeld) {
      // The held reply went out in place of this request's answer, or it is still held and
      // this is its request again (LateRelease).
      heldWritten_ = false;
      std::lock_guard<std::mutex> g(mutex_);
      ++counters_.frames;
      ++counters_.requests;
      ++counters_.silenced;
      ++counters_.handled;
      rec.packetIndex = frame.body[0];
      rec.command.assign(frame.body.begin() + 1, frame.body.end());
      rec.fault = FaultKind::kLateReply;
      recordLocked(std::move(rec));
      changed_.notify_all();
      return;
    }
  }
  Answer answer;
  {
    std::lock_guard<std::mutex> g(mutex_);
    ++counters_.frames;
    if (frame.error != FrameError::kNone) {
      ++counters_.malformed;
    } else {
      ++counters_.requests;
      rec.packetIndex = frame.body[0];
      rec.command.assign(frame.body.begin() + 1, frame.body.end());
    }
    std::optional<ScriptedAnswer> scripted;
    if (source_) scripted = source_->answer(rec);
    if (scripted) {
      answer.wire = scripted->wire;
      answer.good = scripted->good;
      answer.delayMs = scripted->delayMs;
      answer.hangUp = scripted->hangUp;
      rec.replyWire = answer.wire;
      if (answer.wire.empty()) ++counters_.silenced;
    } else if (frame.error != FrameError::kNone) {
      ++counters_.handled;
      recordLocked(std::move(rec));
      changed_.notify_all();
      return;
    } else {
      answer = answerLocked(rec, text);
    }
    recordLocked(std::move(rec));
  }
  changed_.notify_all();
  if (answer.hangUp) {
    std::function<void()> hangUp;
    {
      std::lock_guard<std::mutex> g(mutex_);
      hangUp = hangUpHandler_;
    }
    if (hangUp) hangUp();
  }
  if (answer.late && answer.release != LateRelease::kTimed) {
    // Held: this request gets no answer now. One held before is dropped: only the
    // newest can still come.
    held_ = Held{text, answer.wire, answer.good, answer.release};
    std::lock_guard<std::mutex> g(mutex_);
    counters_.lateHeld = 1;
    ++counters_.handled;
    changed_.notify_all();
    return;
  }
  const bool written = writeAnswer(answer);
  if (written && answer.good) replyWritten_ = true;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (written && !answer.wire.empty()) {
      ++(answer.wire.size() == 1 && answer.wire[0] == kRefusal ? counters_.refusals
                                                               : counters_.replies);
    }
    if (!answer.wire.empty() && observer_.answer) observer_.answer(answer.wire, written);
    ++counters_.handled;
  }
  changed_.notify_all();
}

TerminalSimulator::Answer TerminalSimulator::answerLocked(RequestRecord& rec, const Bytes& text) {
  const std::optional<FaultRule> rule = takeFaultLocked(false, rec.commandCode());
  const auto is = [&rule](FaultKind k) { return rule && rule->kind == k; };
  if (rule) rec.fault = rule->kind;
  const bool repeat = lastExecuted_ && lastExecuted_->text == text;

  Bytes body;
  if (rule && !faultExecutesCommand(rule->kind)) {
    if (!repeat) lastExecuted_.reset();
    if (is(FaultKind::kReplyCode)) {
      body =
          model_.errorReply(rec.packetIndex, rec.commandCode(), rule->replyCode, rule->shiftByte);
    }
  } else if (repeat) {
    body = lastExecuted_->reply;
    rec.replayed = true;
    ++counters_.replayed;
  } else {
    body = model_.execute(rec.packetIndex, rec.command);
    if (is(FaultKind::kPatchReply)) {
      if (body.size() < rule->patchAt + rule->patch.size()) {
        body.resize(rule->patchAt + rule->patch.size(), 0);
      }
      std::copy(rule->patch.begin(), rule->patch.end(), body.begin() + rule->patchAt);
    }
    lastExecuted_ = Executed{text, body};
  }

  if (!echo_ && body.size() >= 2) body[0] = body[1] = 0;
  Answer answer;
  answer.delayMs = replyDelayMs_;
  if (is(FaultKind::kLateReply)) {
    answer.late = true;
    answer.release = rule->release;
    answer.delayMs = rule->release == LateRelease::kTimed ? rule->lateMs : 0;
    lateReleased_ = false;
  }
  answer.trickleMs = trickleDelayMs_;
  if (is(FaultKind::kRefuse)) {
    answer.wire = {kRefusal};
  } else if (is(FaultKind::kSilence) || is(FaultKind::kHangUp)) {
    ++counters_.silenced;
    answer.hangUp = is(FaultKind::kHangUp);
  } else {
    FrameSpoiling spoil;
    spoil.corruptChecksum = is(FaultKind::kBadChecksum);
    if (is(FaultKind::kWrongTerminator)) spoil.terminator = rule->terminator;
    if (is(FaultKind::kGarbageBefore)) answer.wire = rule->garbage;
    const Bytes frame = encodeFrameText(body, spoil);
    answer.wire.insert(answer.wire.end(), frame.begin(), frame.end());
    answer.trickle = is(FaultKind::kTrickle);
    answer.good = !spoil.corruptChecksum && spoil.terminator == kEtx;
    rec.replyBody = std::move(body);
  }
  rec.replyWire = answer.wire;
  return answer;
}

bool TerminalSimulator::writeAnswer(const Answer& answer) {
  if (answer.wire.empty()) return true;
  if (answer.late && answer.delayMs == 0) {
    std::unique_lock<std::mutex> lk(mutex_);
    counters_.lateWaiting = 1;
    changed_.notify_all();
    changed_.wait(lk, [this] { return stopping_ || lateReleased_; });
    counters_.lateWaiting = 0;
    if (stopping_) return false;
  } else if (!pause(answer.delayMs)) {
    return false;
  }
  if (!answer.trickle) {
    return writeBytes(answer.wire.data(), static_cast<std::uint32_t>(answer.wire.size()));
  }
  for (std::size_t i = 0; i < answer.wire.size(); ++i) {
    if (i > 0 && !pause(answer.trickleMs)) return false;
    if (!writeBytes(&answer.wire[i], 1)) return false;
  }
  return true;
}

void TerminalSimulator::writeHeld() {
  const Held held = std::move(*held_);
  held_.reset();
  heldWritten_ = true;
  const bool written =
      writeBytes(held.wire.data(), static_cast<std::uint32_t>(held.wire.size()));
  if (written && held.good) replyWritten_ = true;
  {
    std::lock_guard<std::mutex> g(mutex_);
    counters_.lateHeld = 0;
    if (written) ++counters_.replies;
    if (observer_.answer) observer_.answer(held.wire, written);
  }
  changed_.notify_all();
}

void TerminalSimulator::releaseLateReply() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    lateReleased_ = true;
  }
  changed_.notify_all();
}

bool TerminalSimulator::writeBytes(const std::uint8_t* p, std::uint32_t n) {
  std::uint32_t written = 0;
  if (device_->write(p, n, written) && written == n) return true;
  std::lock_guard<std::mutex> g(mutex_);
  ++counters_.writeFailures;
  return false;
}

bool TerminalSimulator::pause(std::uint32_t ms) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (ms > 0) changed_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stopping_; });
  return !stopping_;
}

std::optional<FaultRule> TerminalSimulator::takeFaultLocked(bool handshake, std::uint8_t command) {
  std::optional<FaultRule> used;
  for (auto it = faults_.begin(); it != faults_.end();) {
    if ((it->kind == FaultKind::kNoCtsAnswer) != handshake ||
        (it->command && *it->command != command)) {
      ++it;
      continue;
    }
    if (it->skip > 0) {
      --it->skip;  // each skipping rule counts every match, used by another rule or not
      ++it;
      continue;
    }
    if (used) {
      ++it;
      continue;
    }
    used = *it;
    ++counters_.faults;
    if (it->count != kAlways && --it->count == 0) {
      it = faults_.erase(it);
    } else {
      ++it;
    }
  }
  return used;
}

void TerminalSimulator::setHangUpHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> g(mutex_);
  hangUpHandler_ = std::move(handler);
}

void TerminalSimulator::setAnswerSource(std::shared_ptr<AnswerSource> source) {
  std::lock_guard<std::mutex> g(mutex_);
  source_ = std::move(source);
}

void TerminalSimulator::lineEventLocked(LineEvent e) {
  if (observer_.line) observer_.line(e);
  lineEvents_.push_back(e);
  if (lineEvents_.size() > kMaxRecords) lineEvents_.pop_front();
  ++counters_.lineEvents;
}

void TerminalSimulator::recordLocked(RequestRecord rec) {
  if (observer_.request) observer_.request(rec);
  records_.push_back(std::move(rec));
  if (records_.size() > kMaxRecords) records_.pop_front();
}

}  // namespace vexcard::sim
