// TerminalSimulator: the terminal's state, the fault rules and the records, as the tests and
// the program reach them. Every member takes mutex_ for its whole body.
#include <algorithm>
#include <chrono>

#include "terminal-sim/terminal_simulator.h"
#include "vexcard/exception.h"

namespace vexcard::sim {

void TerminalSimulator::addCard(const SimCard& card) {
  std::lock_guard<std::mutex> g(mutex_);
  model_.addCard(card);
}

bool TerminalSimulator::insertCard(const std::string& name) {
  std::lock_guard<std::mutex> g(mutex_);
  return model_.insertCard(name);
}

void TerminalSimulator::removeCard() {
  std::lock_guard<std::mutex> g(mutex_);
  model_.removeCard();
}

std::optional<SimCard> TerminalSimulator::card(const std::string& name) const {
  std::lock_guard<std::mutex> g(mutex_);
  const SimCard* c = model_.card(name);
  return c ? std::optional<SimCard>(*c) : std::nullopt;
}

std::optional<std::string> TerminalSimulator::insertedCard() const {
  std::lock_guard<std::mutex> g(mutex_);
  const SimCard* c = model_.insertedCard();
  return c ? std::optional<std::string>(c->name) : std::nullopt;
}

std::vector<std::string> TerminalSimulator::cardNames() const {
  std::lock_guard<std::mutex> g(mutex_);
  std::vector<std::string> names;
  for (const SimCard& c : model_.cards()) names.push_back(c.name);
  return names;
}

bool TerminalSimulator::editCard(const std::string& name,
                                 const std::function<void(SimCard&)>& edit) {
  std::lock_guard<std::mutex> g(mutex_);
  SimCard* c = model_.card(name);
  if (c == nullptr) return false;
  SimCard changed = *c;
  edit(changed);
  changed.name = c->name;
  changed.number = c->number;
  *c = std::move(changed);
  return true;
}

void TerminalSimulator::setShift(bool open, std::uint8_t number) {
  std::lock_guard<std::mutex> g(mutex_);
  model_.setShift(open, number);
}

void TerminalSimulator::setShiftOutOfStep() {
  std::lock_guard<std::mutex> g(mutex_);
  model_.setShiftOutOfStep();
}

void TerminalSimulator::setShiftCheck(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  model_.setShiftCheck(on);
}

ShiftState TerminalSimulator::shift() const {
  std::lock_guard<std::mutex> g(mutex_);
  return model_.shift();
}

std::vector<SaleRecord> TerminalSimulator::sales() const {
  std::lock_guard<std::mutex> g(mutex_);
  return model_.sales();
}

std::vector<SaleRecord> TerminalSimulator::sales(std::size_t from, std::size_t count) const {
  std::lock_guard<std::mutex> g(mutex_);
  const auto& all = model_.sales();
  from = std::min(from, all.size());
  const std::size_t n = std::min(count, all.size() - from);
  const auto first = all.begin() + static_cast<std::ptrdiff_t>(from);
  return {first, first + static_cast<std::ptrdiff_t>(n)};
}

std::size_t TerminalSimulator::saleCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return model_.sales().size();
}

void TerminalSimulator::setReplyDelay(std::uint32_t ms) {
  std::lock_guard<std::mutex> g(mutex_);
  replyDelayMs_ = ms;
}

void TerminalSimulator::setEcho(bool echo) {
  std::lock_guard<std::mutex> g(mutex_);
  echo_ = echo;
}

void TerminalSimulator::setHandshakeDelay(std::uint32_t ms) {
  std::lock_guard<std::mutex> g(mutex_);
  handshakeDelayMs_ = ms;
}

void TerminalSimulator::setTrickleDelay(std::uint32_t ms) {
  std::lock_guard<std::mutex> g(mutex_);
  trickleDelayMs_ = ms;
}

void TerminalSimulator::injectFault(const FaultRule& rule) {
  if (rule.count == 0 || rule.count < kAlways) {
    throw Exception("simulator: a fault needs a count above 0 or kAlways");
  }
  if (rule.skip < 0) throw Exception("simulator: a fault cannot skip fewer than 0 matches");
  if (rule.kind == FaultKind::kNoCtsAnswer && rule.command) {
    throw Exception("simulator: a hand-shake fault cannot be limited to a command");
  }
  if (rule.kind == FaultKind::kPatchReply && rule.patchAt + rule.patch.size() > 255) {
    throw Exception("simulator: a patched reply body cannot exceed 255 bytes");
  }
  std::lock_guard<std::mutex> g(mutex_);
  faults_.push_back(rule);
}

void TerminalSimulator::clearFaults() {
  std::lock_guard<std::mutex> g(mutex_);
  faults_.clear();
}

std::size_t TerminalSimulator::pendingFaults() const {
  std::lock_guard<std::mutex> g(mutex_);
  return faults_.size();
}

std::vector<FaultRule> TerminalSimulator::faults() const {
  std::lock_guard<std::mutex> g(mutex_);
  return {faults_.begin(), faults_.end()};
}

std::vector<RequestRecord> TerminalSimulator::requests() const {
  std::lock_guard<std::mutex> g(mutex_);
  return {records_.begin(), records_.end()};
}

std::vector<LineEvent> TerminalSimulator::lineEvents() const {
  std::lock_guard<std::mutex> g(mutex_);
  return {lineEvents_.begin(), lineEvents_.end()};
}

SimulatorCounters TerminalSimulator::counters() const {
  std::lock_guard<std::mutex> g(mutex_);
  return counters_;
}

bool TerminalSimulator::waitFor(const std::function<bool(const SimulatorCounters&)>& pred,
                                std::uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lk(mutex_);
  return changed_.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                           [&] { return pred(counters_); });
}

bool TerminalSimulator::waitForRequests(std::size_t n, std::uint32_t timeoutMs) const {
  return waitFor([n](const SimulatorCounters& c) { return c.frames >= n; }, timeoutMs);
}

bool TerminalSimulator::waitForHandled(std::size_t n, std::uint32_t timeoutMs) const {
  return waitFor([n](const SimulatorCounters& c) { return c.handled >= n; }, timeoutMs);
}

void TerminalSimulator::clearRecords() {
  std::lock_guard<std::mutex> g(mutex_);
  records_.clear();
  lineEvents_.clear();
}

void TerminalSimulator::setObserver(SimulatorObserver observer) {
  std::lock_guard<std::mutex> g(mutex_);
  observer_ = std::move(observer);
}

}  // namespace vexcard::sim
