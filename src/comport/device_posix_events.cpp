// PosixSerialDevice: event waits, the modem-line watch, reads and writes (see
// device_posix.cpp for the design).
#include <poll.h>
#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "comport/device_posix_impl.h"
#include "logging/logger.h"

namespace vexcard::comport::posix_detail {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kModemLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

}  // namespace

bool PosixSerialDevice::setEventMask(std::uint32_t mask) {
  std::lock_guard<std::mutex> g(mutex_);
  mask_ = mask;
  history_ = 0;
  ++maskGeneration_;
  poke(wake_[1]);  // completes a pending wait with the mask 0
  return !vanished_;
}

std::uint32_t PosixSerialDevice::read(std::uint8_t* dst, std::uint32_t count) {
  if (count == 0) return 0;
  const ssize_t n = ::read(fd_, dst, count);
  if (n > 0) return static_cast<std::uint32_t>(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  int queued = 0;
  // An empty live device answers FIONREAD; a hung-up one does not.
  if (n < 0 || ::ioctl(fd_, FIONREAD, &queued) != 0) markVanished();
  return 0;
}
void PosixSerialDevice::startModemWatch() {
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) != 0) {
    // Reported once per open; line control then fails without asking the device again.
    logging::WriteLog(1, "Modem lines not supported by " + path_ + ": " + std::strerror(errno));
    return;
  }
  modemLines_ = true;
#if defined(TIOCMIWAIT)
  // Which lines changed: from the driver's interrupt counters where it keeps them (a line
  // that went and came back shows up too), else from the line states.
  struct Snapshot {
    int lines = 0;
#if defined(TIOCGICOUNT)
    bool counted = false;
    serial_icounter_struct counts{};
#endif
  };
  const auto look = [this](Snapshot& s) {
    if (::ioctl(fd_, TIOCMGET, &s.lines) != 0) return false;
#if defined(TIOCGICOUNT)
    s.counted = ::ioctl(fd_, TIOCGICOUNT, &s.counts) == 0;
#endif
    return true;
  };
  Snapshot first;
  if (!look(first)) return;
  const bool started = modemWatch_.start([this, look, last = first]() mutable {
    if (::ioctl(fd_, TIOCMIWAIT, kModemLines) != 0) {
      if (errno == EINTR) return true;  // a stop, or another signal: look again
      logging::WriteLog(1, "Modem line events not supported by " + path_);
      return false;
    }
    Snapshot now;
    if (!look(now)) return false;
    const int changed = (now.lines ^ last.lines) & kModemLines;
    std::uint32_t events = 0;
    if (changed & TIOCM_CTS) events |= kEvCts;
    if (changed & TIOCM_DSR) events |= kEvDsr;
    if (changed & TIOCM_CD) events |= kEvRlsd;
    if (changed & TIOCM_RNG) events |= kEvRing;
#if defined(TIOCGICOUNT)
    if (now.counted && last.counted) {
      if (now.counts.cts != last.counts.cts) events |= kEvCts;
      if (now.counts.dsr != last.counts.dsr) events |= kEvDsr;
      if (now.counts.dcd != last.counts.dcd) events |= kEvRlsd;
      if (now.counts.rng != last.counts.rng) events |= kEvRing;
    }
#endif
    last = now;
    if (events != 0) postModemEvents(events);
    return true;
  });
  if (!started) logging::WriteLog(1, "Modem line events unavailable for " + path_);
#endif
}

EventWaitResult PosixSerialDevice::waitEvent(std::uint32_t& mask) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (vanished_) return EventWaitResult::kResultFailed;
  if (mask_ == 0) return EventWaitResult::kFailed;
  drainPipe(wake_[0]);
  std::uint64_t generation = maskGeneration_;
  bool pending = false;  // the first look does not block: events already there complete at once
  for (;;) {
    lk.unlock();
    epoll_event events[2];
    const int n = ::epoll_wait(epoll_, events, 2, pending ? -1 : 0);
    const int error = errno;
    lk.lock();
    if (n < 0 && error != EINTR) {
      return pending ? EventWaitResult::kResultFailed : EventWaitResult::kFailed;
    }
    for (int k = 0; k < n; ++k) {
      if (events[k].data.fd == wake_[0]) {
        drainPipe(wake_[0]);
      } else if (events[k].events & (EPOLLHUP | EPOLLERR)) {
        vanished_ = true;
      } else if (events[k].events & EPOLLIN) {
        history_ |= kEvRxChar & mask_;
      }
    }
    if (vanished_) return EventWaitResult::kResultFailed;
    if (maskGeneration_ != generation) {
      // A new mask: a pending wait completes with 0; one not yet pending takes the new mask.
      if (pending) {
        mask = 0;
        return EventWaitResult::kCompletedAfterPending;
      }
      if (mask_ == 0) return EventWaitResult::kFailed;
      generation = maskGeneration_;
    }
    if (history_ != 0) {
      mask = history_;
      history_ = 0;
      return pending ? EventWaitResult::kCompletedAfterPending : EventWaitResult::kCompletedAtOnce;
    }
    pending = true;
  }
}

bool PosixSerialDevice::write(const std::uint8_t* src, std::uint32_t count,
                              std::uint32_t& written) {
  written = 0;
  CommTimeouts timeouts;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (vanished_) return false;
    timeouts = timeouts_;
  }
  pollfd cancelled{cancel_[0], POLLIN, 0};
  if (::poll(&cancelled, 1, 0) == 1) {  // cancelled before it started
    drainPipe(cancel_[0]);
    return false;
  }
  const std::uint64_t limitMs =
      std::uint64_t{timeouts.writeTotalMultiplier} * count + timeouts.writeTotalConstant;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  while (written < count) {
    const ssize_t n = ::write(fd_, src + written, count - written);
    if (n > 0) {
      written += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      markVanished();
      return false;
    }
    int timeoutMs = -1;
    if (limitMs != 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return true;  // the write time-out: the rest is lost
      timeoutMs = static_cast<int>(left);
    }
    pollfd p[2] = {{fd_, POLLOUT, 0}, {cancel_[0], POLLIN, 0}};
    const int r = ::poll(p, 2, timeoutMs);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    if (p[1].revents & POLLIN) {
      drainPipe(cancel_[0]);
      return false;
    }
    if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      markVanished();
      return false;
    }
  }
  return true;
}

}  // namespace vexcard::comport::posix_detail
