// Steers the driver's reply wait in tests whose faults make it run out: long for a request
// the simulated terminal answers, short for one it leaves unanswered or whose reply it
// spoils or holds back (silence, bad checksum, a late reply). A good reply then never misses its
// wait, whatever the machine's load: a reply that came after its wait had run out would be taken
// for the next request's, and the test would see the driver one reply behind.
//
// It works as the timing observer (timing::setObserver): at each reply wait, which the
// exchange takes just after queueing its frame, it waits until the terminal has recorded
// that frame and looks at the fault it met. Frames are counted from start(); every reply
// wait must follow a frame (the exchange's rule; a failed write breaks it and costs a wait
// of the hang guard). One steer at a time; the exchanges it watches run one at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/env.h"
#include "platform/timing.h"
#include "terminal-sim/terminal_simulator.h"

namespace vexcard::test {

class ReplyWaitSteer {
 public:
  static constexpr std::uint32_t kHangGuardMs = 10000;

  // also: an observer called for every duration as well (e.g. one that counts them).
  static void start(sim::TerminalSimulator& terminal, std::uint32_t shortMs, std::uint32_t longMs,
                    timing::Observer also = nullptr) {
    state().terminal = &terminal;
    state().shortMs = shortMs;
    state().longMs = longMs;
    state().also = also;
    state().frames = terminal.counters().frames;
    timing::setObserver(&observe);
  }
  static void stop() { timing::setObserver(nullptr); }

 private:
  struct State {
    sim::TerminalSimulator* terminal = nullptr;
    std::uint32_t shortMs = 0, longMs = 0;
    timing::Observer also = nullptr;
    std::atomic<std::size_t> frames{0};
  };
  static State& state() {
    static State s;
    return s;
  }
  static void observe(timing::Delay d, std::uint32_t ms) {
    State& s = state();
    if (s.also != nullptr) s.also(d, ms);
    if (d != timing::Delay::kReplyWait) return;
    const std::size_t frame = ++s.frames;
    bool spoiled = false;
    if (s.terminal->waitFor([&](const sim::SimulatorCounters& c) { return c.frames >= frame; },
                            kHangGuardMs)) {
      const auto records = s.terminal->requests();
      const auto fault = records.empty() ? std::nullopt : records.back().fault;
      spoiled = fault == sim::FaultKind::kSilence || fault == sim::FaultKind::kBadChecksum ||
                fault == sim::FaultKind::kLateReply;
    }
    timing::Policy p = timing::current();
    retime(p.set(timing::Delay::kReplyWait, spoiled ? s.shortMs : s.longMs));
  }
};

}  // namespace vexcard::test
