// Keep-alive polling of the terminal: after an idle period without any exchange the
// terminal is sent tsReset, so that it sees the cash desk alive.
//
// Module-wide, one per loaded library: the event KeepAliveEvent, which every exchange
// sets as it starts, and one poller thread (TTestThread) that waits on it for the idle
// period (timing::Delay::kKeepAliveIdle) and polls when the wait runs out.
//
// The idle period counts from the end of the last exchange: a poll that finds an exchange
// ended during its wait stands down, and the poller waits only for the rest of the period.
//
// Drivers take part by attach() at the end of their construction and detach() at the
// start of their destruction. The poller polls the most recently attached driver that is
// still attached: a second driver takes polling over from the first, and when it goes,
// polling returns to the first. detach() waits for a poll of that driver in progress and
// never closes anything another driver uses; the last detach() stops and joins the
// poller, so a library without drivers runs no thread of its own.
//
// Thread-safe. attach() and detach() are serialised against each other; neither may be
// called from within a poll.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "platform/sync.h"

namespace vexcard::link {

// KeepAliveEvent (auto-reset). It lives as long as the library.
platform::Event& keepAliveEvent();

class KeepAlive {
 public:
  // A driver's poll: sends tsReset unless an exchange ended after the time it is given
  // (when the poller's idle wait began). When it stands down it returns when that
  // exchange ended, and the poller then waits only what remains of the idle period
  // counted from there; nothing when it polled.
  using PollFunction = std::function<std::optional<std::chrono::steady_clock::time_point>(
      std::chrono::steady_clock::time_point)>;

  // Adds a driver, identified by owner, with its poll function; it becomes the poll
  // target. Starts the poller when none runs. Throws vexcard::Exception when the thread
  // cannot be started (the driver is then not attached).
  static void attach(const void* owner, PollFunction poll);
  // Removes the driver; returns once no poll of it is in progress. Stops and joins the
  // poller when no driver is left. Does nothing for a driver that is not attached.
  static void detach(const void* owner);
  // Whether the poller thread exists (for tests and diagnostics).
  static bool running();
};

}  // namespace vexcard::link
