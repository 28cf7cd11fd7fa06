#include "sim/fake_serial_pair.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace vexcard::simtest {

using namespace vexcard::comport;

struct FakeEndState {
  std::deque<std::uint8_t> rx;
  bool rts = false;
  bool dtr = false;
  std::uint32_t mask = 0;
  std::uint32_t pending = 0;  // latched events
  std::uint64_t maskGen = 0;  // bumped by setEventMask, ends a pending wait
  bool held = false;          // holdPeerEvents() of the other end
  std::vector<std::uint32_t> writeSizes;
};

struct FakeLine {
  std::mutex m;
  std::condition_variable cv;
  FakeEndState ends[2];
};

FakeSerialEnd::FakeSerialEnd(std::shared_ptr<FakeLine> line, int side)
    : line_(std::move(line)), side_(side) {}

bool FakeSerialEnd::getSettings(LineSettings& out) {
  out = LineSettings{};
  return true;
}

std::uint32_t FakeSerialEnd::clearError(CommStatusRecord& status) {
  std::lock_guard<std::mutex> g(line_->m);
  status = CommStatusRecord{};
  status.inQueue = static_cast<std::uint32_t>(line_->ends[side_].rx.size());
  return 0;
}

bool FakeSerialEnd::purge(std::uint32_t flags) {
  std::lock_guard<std::mutex> g(line_->m);
  if (flags & kPurgeRxClear) line_->ends[side_].rx.clear();
  return true;
}

bool FakeSerialEnd::setRts(bool on) {
  std::lock_guard<std::mutex> g(line_->m);
  FakeEndState& me = line_->ends[side_];
  if (me.rts != on) {
    me.rts = on;
    line_->ends[1 - side_].pending |= kEvCts;
    line_->cv.notify_all();
  }
  return true;
}

bool FakeSerialEnd::setDtr(bool on) {
  std::lock_guard<std::mutex> g(line_->m);
  FakeEndState& me = line_->ends[side_];
  if (me.dtr != on) {
    me.dtr = on;
    line_->ends[1 - side_].pending |= kEvDsr | kEvRlsd;
    line_->cv.notify_all();
  }
  return true;
}

bool FakeSerialEnd::getModemStatus(std::uint32_t& status) {
  std::lock_guard<std::mutex> g(line_->m);
  const FakeEndState& far = line_->ends[1 - side_];
  status = (far.rts ? kMsCtsOn : 0u) | (far.dtr ? kMsDsrOn | kMsRlsdOn : 0u);
  return true;
}

bool FakeSerialEnd::setEventMask(std::uint32_t mask) {
  std::lock_guard<std::mutex> g(line_->m);
  FakeEndState& me = line_->ends[side_];
  me.mask = mask;
  ++me.maskGen;
  line_->cv.notify_all();
  return true;
}

EventWaitResult FakeSerialEnd::waitEvent(std::uint32_t& mask) {
  std::unique_lock<std::mutex> lk(line_->m);
  FakeEndState& me = line_->ends[side_];
  mask = 0;
  if (me.mask == 0) return EventWaitResult::kInvalidParameter;
  const std::uint64_t gen = me.maskGen;
  bool pended = false;
  while ((me.held || (me.pending & me.mask) == 0) && me.maskGen == gen) {
    pended = true;
    line_->cv.wait(lk);
  }
  if (me.maskGen != gen) return EventWaitResult::kCompletedAfterPending;
  mask = me.pending & me.mask;
  me.pending &= ~mask;
  return pended ? EventWaitResult::kCompletedAfterPending : EventWaitResult::kCompletedAtOnce;
}

std::uint32_t FakeSerialEnd::read(std::uint8_t* dst, std::uint32_t count) {
  std::lock_guard<std::mutex> g(line_->m);
  auto& rx = line_->ends[side_].rx;
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, rx.size()));
  std::copy_n(rx.begin(), n, dst);
  rx.erase(rx.begin(), rx.begin() + n);
  return n;
}

bool FakeSerialEnd::write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) {
  std::lock_guard<std::mutex> g(line_->m);
  FakeEndState& far = line_->ends[1 - side_];
  far.rx.insert(far.rx.end(), src, src + count);
  far.pending |= kEvRxChar;
  line_->ends[side_].writeSizes.push_back(count);
  written = count;
  line_->cv.notify_all();
  return true;
}

void FakeSerialEnd::holdPeerEvents(bool hold) {
  std::lock_guard<std::mutex> g(line_->m);
  line_->ends[1 - side_].held = hold;
  line_->cv.notify_all();
}

std::vector<std::uint32_t> FakeSerialEnd::peerWriteSizes() const {
  std::lock_guard<std::mutex> g(line_->m);
  return line_->ends[1 - side_].writeSizes;
}

std::pair<std::unique_ptr<FakeSerialEnd>, std::unique_ptr<FakeSerialEnd>> newFakeSerialPair() {
  auto line = std::make_shared<FakeLine>();
  return {std::make_unique<FakeSerialEnd>(line, 0), std::make_unique<FakeSerialEnd>(line, 1)};
}

}  // namespace vexcard::simtest
