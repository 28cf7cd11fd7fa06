// The virtual serial line (see device_virtual.h). One mutex and one condition variable
// guard and signal the whole pair; every change notifies all waiters, which recheck their
// own condition.
#include "comport/device_virtual.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace vexcard::comport {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTestGuard = std::chrono::seconds(10);

struct EndState {
  bool held = false;
  std::deque<std::uint8_t> rx;  // bytes waiting to be read on this end
  std::uint32_t mask = 0;       // current event mask
  std::uint32_t history = 0;    // events of the mask seen while no wait took them
  std::uint64_t maskGeneration = 0;
  std::uint32_t errorWord = 0;
  bool rts = false;
  bool dtr = false;
  bool waiting = false;  // a waitEvent() is pending
  bool writeBlocked = false;
  bool cancelRequested = false;
  std::uint32_t txPending = 0;  // paced bytes not yet across
  LineSettings settings;
  CommTimeouts timeouts;
  // Fault switches: set by the pair's owner, kept when the end is opened or closed.
  struct Faults {
    bool refuse2000 = false;
    bool vanished = false;
    bool stall = false;
  } faults;

  // Back to a freshly opened (or closed) end, keeping the fault switches.
  void reset(bool nowHeld) {
    const Faults keep = faults;
    *this = EndState{};
    faults = keep;
    held = nowHeld;
  }
};

}  // namespace

struct VirtualSerialPair::State {
  explicit State(const VirtualLineOptions& o) : options(o) {}
  const VirtualLineOptions options;
  std::mutex mutex;
  std::condition_variable cv;
  EndState ends[2];

  // Caller holds mutex.
  void post(int end, std::uint32_t events) {
    EndState& e = ends[end];
    if (!e.held) return;
    e.history |= events & e.mask;
    cv.notify_all();
  }
  void deliver(int end, const std::uint8_t* bytes, std::size_t count) {
    EndState& e = ends[end];
    if (!e.held || count == 0) return;
    e.rx.insert(e.rx.end(), bytes, bytes + count);
    post(end, kEvRxChar);
  }
};

namespace {

using State = VirtualSerialPair::State;

class VirtualEnd : public SerialDevice {
 public:
  VirtualEnd(std::shared_ptr<State> state, int side)
      : state_(std::move(state)), side_(side), far_(1 - side) {}

  ~VirtualEnd() override {
    std::lock_guard<std::mutex> g(state_->mutex);
    EndState& e = self();
    const bool rts = e.rts;
    const bool dtr = e.dtr;
    e.reset(false);  // closed: lines down, queues cleared
    if (rts) state_->post(far_, kEvCts);
    if (dtr) state_->post(far_, kEvDsr | kEvRlsd);
    state_->cv.notify_all();
  }

  bool setupQueues(std::uint32_t, std::uint32_t) override { return alive(); }

  bool getSettings(LineSettings& out) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    if (self().faults.vanished) return false;
    out = self().settings;
    return true;
  }

  bool setSettings(const LineSettings& s) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    if (self().faults.vanished) return false;
    if (s.baudRate == 0 || s.byteSize < 5 || s.byteSize > 8 || s.parity > 4 || s.stopBits > 2) {
      return false;
    }
    self().settings = s;
    return true;
  }

  bool setTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    if (self().faults.vanished) return false;
    self().timeouts = timeouts;
    return true;
  }

  std::uint32_t clearError(CommStatusRecord& status) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    EndState& e = self();
    status = {};
    if (e.faults.vanished) return 0;
    status.inQueue = static_cast<std::uint32_t>(e.rx.size());
    status.outQueue = e.txPending;
    const std::uint32_t word = e.errorWord;
    e.errorWord = 0;
    return word;
  }

  bool purge(std::uint32_t flags) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    if (self().faults.vanished) return false;
    if ((flags & kPurgeRxClear) != 0) self().rx.clear();
    return true;
  }

  bool setRts(bool on) override { return setLine(&EndState::rts, on, kEvCts); }
  bool setDtr(bool on) override { return setLine(&EndState::dtr, on, kEvDsr | kEvRlsd); }

  bool getModemStatus(std::uint32_t& status) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    if (self().faults.vanished) return false;
    const EndState& f = state_->ends[far_];
    status = (f.rts ? kMsCtsOn : 0) | (f.dtr ? kMsDsrOn | kMsRlsdOn : 0);
    return true;
  }

  bool setEventMask(std::uint32_t mask) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    EndState& e = self();
    if (e.faults.vanished) return false;
    e.mask = mask;
    e.history = 0;
    ++e.maskGeneration;  // completes a pending wait with the mask 0
    state_->cv.notify_all();
    return true;
  }

  EventWaitResult waitEvent(std::uint32_t& mask) override {
    std::unique_lock<std::mutex> lk(state_->mutex);
    EndState& e = self();
    if (e.faults.vanished) return EventWaitResult::kResultFailed;
    if (e.mask == 0) return EventWaitResult::kFailed;
    if (e.faults.refuse2000 && (e.mask & kEvDeviceSpecific) != 0) {
      return EventWaitResult::kInvalidParameter;
    }
    if (e.history != 0) {
      mask = e.history;
      e.history = 0;
      return EventWaitResult::kCompletedAtOnce;
    }
    const std::uint64_t generation = e.maskGeneration;
    e.waiting = true;
    state_->cv.notify_all();
    state_->cv.wait(
        lk, [&] { return e.faults.vanished || e.history != 0 || e.maskGeneration != generation; });
    e.waiting = false;
    if (e.faults.vanished) return EventWaitResult::kResultFailed;
    if (e.maskGeneration != generation) {
      mask = 0;
    } else {
      mask = e.history;
      e.history = 0;
    }
    return EventWaitResult::kCompletedAfterPending;
  }

  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    EndState& e = self();
    if (e.faults.vanished) return 0;
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, e.rx.size()));
    std::copy_n(e.rx.begin(), n, dst);
    e.rx.erase(e.rx.begin(), e.rx.begin() + n);
    return n;
  }

  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override {
    written = 0;
    std::unique_lock<std::mutex> lk(state_->mutex);
    EndState& e = self();
    if (e.faults.vanished) return false;
    // The device's write time-out; 0 in both fields means none.
    const std::uint64_t limitMs =
        std::uint64_t{e.timeouts.writeTotalMultiplier} * count + e.timeouts.writeTotalConstant;
    const bool bounded = limitMs != 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    e.cancelRequested = false;
    e.writeBlocked = true;
    state_->cv.notify_all();
    const auto stopped = [&] { return e.faults.vanished || e.cancelRequested; };
    // Waits until condition, a stop or until (false on time-out).
    const auto waitFor = [&](auto&& condition, Clock::time_point until, bool timed) {
      const auto done = [&] { return stopped() || condition(); };
      if (!timed) {
        state_->cv.wait(lk, done);
        return true;
      }
      return state_->cv.wait_until(lk, until, done);
    };

    if (!waitFor([&] { return !e.faults.stall; }, deadline, bounded)) {
      return finishWrite(e, true);  // timed out while stalled: the bytes are lost
    }
    if (stopped()) return finishWrite(e, false);
    if (!state_->options.paced || e.settings.baudRate == 0) {
      state_->deliver(far_, src, count);
      written = count;
      return finishWrite(e, true);
    }
    const std::uint32_t baud = e.settings.baudRate;
    const auto start = Clock::now();
    e.txPending = count;
    for (std::uint32_t k = 0; k < count; ++k) {
      const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                   characterTime(baud, std::uint64_t{k} + 1));
      const auto until = bounded ? std::min(due, deadline) : due;
      waitFor([&] { return Clock::now() >= until; }, until, true);
      if (stopped()) return finishWrite(e, false);
      if (Clock::now() < due) return finishWrite(e, true);  // time-out: the rest is lost
      state_->deliver(far_, src + k, 1);
      --e.txPending;
      ++written;
    }
    return finishWrite(e, true);
  }

  void cancelWrite() override {
    std::lock_guard<std::mutex> g(state_->mutex);
    EndState& e = self();
    // Like the platform's cancellation: only a write in progress is ended.
    if (e.writeBlocked) {
      e.cancelRequested = true;
      state_->cv.notify_all();
    }
  }

 private:
  EndState& self() { return state_->ends[side_]; }

  bool alive() {
    std::lock_guard<std::mutex> g(state_->mutex);
    return !self().faults.vanished;
  }

  // Caller holds the mutex.
  bool finishWrite(EndState& e, bool result) {
    e.writeBlocked = false;
    e.cancelRequested = false;
    e.txPending = 0;
    state_->cv.notify_all();
    return result;
  }

  bool setLine(bool EndState::*line, bool on, std::uint32_t farEvents) {
    std::lock_guard<std::mutex> g(state_->mutex);
    EndState& e = self();
    if (e.faults.vanished) return false;
    if (e.*line != on) {
      e.*line = on;
      state_->post(far_, farEvents);
    }
    return true;
  }

  std::shared_ptr<State> state_;
  const int side_;
  const int far_;
};

// A held or vanished end cannot be opened.
std::unique_ptr<SerialDevice> openEnd(const std::shared_ptr<State>& state, int end) {
  std::lock_guard<std::mutex> g(state->mutex);
  EndState& e = state->ends[end];
  if (e.held || e.faults.vanished) return nullptr;
  e.reset(true);
  state->cv.notify_all();
  return std::make_unique<VirtualEnd>(state, end);
}

bool guardedWait(State& s, std::unique_lock<std::mutex>& lk, auto&& condition) {
  return s.cv.wait_for(lk, kTestGuard, condition);
}

}  // namespace

VirtualSerialPair::VirtualSerialPair(const VirtualLineOptions& options)
    : state_(std::make_shared<State>(options)) {}

VirtualSerialPair::~VirtualSerialPair() = default;

std::unique_ptr<SerialDevice> VirtualSerialPair::open(int end) { return openEnd(state_, end); }

DeviceFactory VirtualSerialPair::factory(int end) {
  return [state = state_, end] { return openEnd(state, end); };
}

void VirtualSerialPair::refuseDeviceSpecificEvent(int end, bool on) {
  std::lock_guard<std::mutex> g(state_->mutex);
  state_->ends[end].faults.refuse2000 = on;
  state_->cv.notify_all();
}

void VirtualSerialPair::vanish(int end, bool on) {
  std::lock_guard<std::mutex> g(state_->mutex);
  state_->ends[end].faults.vanished = on;
  state_->cv.notify_all();
}

void VirtualSerialPair::stallWrites(int end, bool on) {
  std::lock_guard<std::mutex> g(state_->mutex);
  state_->ends[end].faults.stall = on;
  state_->cv.notify_all();
}

void VirtualSerialPair::injectLineError(int end, std::uint32_t errorBits, std::uint32_t events) {
  std::lock_guard<std::mutex> g(state_->mutex);
  state_->ends[end].errorWord |= errorBits;
  state_->post(end, events);
}

bool VirtualSerialPair::waitUntilIdle(int end) {
  std::unique_lock<std::mutex> lk(state_->mutex);
  const EndState& e = state_->ends[end];
  return guardedWait(*state_, lk, [&] { return e.waiting && e.history == 0; });
}

bool VirtualSerialPair::waitForBlockedWrite(int end) {
  std::unique_lock<std::mutex> lk(state_->mutex);
  const EndState& e = state_->ends[end];
  return guardedWait(*state_, lk, [&] { return e.writeBlocked && e.faults.stall; });
}

bool VirtualSerialPair::waitUntilClosed(int end) {
  std::unique_lock<std::mutex> lk(state_->mutex);
  const EndState& e = state_->ends[end];
  return guardedWait(*state_, lk, [&] { return !e.held; });
}

std::size_t VirtualSerialPair::pendingInput(int end) {
  std::lock_guard<std::mutex> g(state_->mutex);
  return state_->ends[end].rx.size();
}

std::chrono::nanoseconds characterTime(std::uint32_t baudRate, std::uint64_t characters) {
  // Exact to the nanosecond at any count: 10 bits of each character, rounded once.
  return std::chrono::nanoseconds(characters * 10'000'000'000ull / baudRate);
}

std::shared_ptr<VirtualSerialPair> NewVirtualSerialPair(const VirtualLineOptions& options) {
  return std::make_shared<VirtualSerialPair>(options);
}

}  // namespace vexcard::comport
