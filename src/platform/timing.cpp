#include "platform/timing.h"

#include <atomic>

#include "platform/sync.h"

namespace vexcard::timing {
namespace {

constexpr std::array<std::uint32_t, kDelayCount> kProduction = {
    1000,   // kCtsAnswer
    2000,   // kHandshakeRetry
    10000,  // kReplyWait
    500,    // kResyncPause
    400,    // kResyncCloseShift
    300,    // kBusyPause
    2000,   // kExecutingPause
    60000,  // kKeepAliveIdle
    500,    // kPace500
    400,    // kPace400
    300,    // kPace300
    3000,   // kThreadStartAck
    200,    // kThreadStopAck
    60000,  // kWriterTimeout
    20000,  // kDeviceWriteTimeout
    100,    // kPortRetryPause
    5000,   // kNetworkConnect
    3000,   // kNetworkReply
    1000,   // kScriptSecond
    15000,  // kPanelHeartbeat
    1000,   // kNetworkRetryFirst
    30000,  // kNetworkRetryMax
    10000,  // kMetricsWrite
};

// The active values; atomics so that tests may install a policy while no other thread is
// between reading two related values, and every reader sees a whole value.
struct ActiveValues {
  ActiveValues() {
    for (std::size_t k = 0; k < kDelayCount; ++k) values[k].store(kProduction[k]);
  }
  std::array<std::atomic<std::uint32_t>, kDelayCount> values;
};

std::array<std::atomic<std::uint32_t>, kDelayCount>& active() {
  static ActiveValues active_values;
  return active_values.values;
}

std::atomic<Observer> observer{nullptr};

}  // namespace

Policy Policy::production() {
  Policy p;
  for (std::size_t k = 0; k < kDelayCount; ++k) p.values_[k] = kProduction[k];
  return p;
}

Policy Policy::scaled(std::uint32_t num, std::uint32_t den) {
  Policy p;
  for (std::size_t k = 0; k < kDelayCount; ++k) {
    const std::uint64_t v = den == 0 ? 0 : std::uint64_t{kProduction[k]} * num / den;
    p.values_[k] = static_cast<std::uint32_t>(v == 0 && kProduction[k] != 0 ? 1 : v);
  }
  return p;
}

std::uint32_t ms(Delay d) {
  auto& value = active()[static_cast<std::size_t>(d)];
  if (const Observer o = observer.load(std::memory_order_acquire)) {
    o(d, value.load(std::memory_order_relaxed));
  }
  return value.load(std::memory_order_relaxed);
}

std::uint32_t remainderMs(Delay d, std::chrono::steady_clock::duration elapsed) {
  const std::uint32_t full = active()[static_cast<std::size_t>(d)].load(std::memory_order_relaxed);
  const auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  const std::uint32_t left = passed <= 0      ? full
                             : passed >= full ? 0
                                              : full - static_cast<std::uint32_t>(passed);
  if (const Observer o = observer.load(std::memory_order_acquire)) o(d, left);
  return left;
}

void setObserver(Observer o) { observer.store(o, std::memory_order_release); }

void sleep(Delay d) { platform::sleepMs(ms(d)); }

void install(const Policy& policy) {
  for (std::size_t k = 0; k < kDelayCount; ++k) {
    active()[k].store(policy.get(static_cast<Delay>(k)), std::memory_order_relaxed);
  }
}

Policy current() {
  Policy p;
  for (std::size_t k = 0; k < kDelayCount; ++k) p.set(static_cast<Delay>(k), active()[k].load());
  return p;
}

}  // namespace vexcard::timing
