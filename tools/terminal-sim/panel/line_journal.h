// LineJournal: the control panel's record of the line, between the simulator's device thread
// and the panel's HTTP threads.
//
// The simulator's observer (observer()) adds an entry for every request, answer and line
// change; the panel adds its own actions. Entries get a sequence number and a time stamp and
// are kept in a bounded buffer (the oldest are dropped), so a page that falls behind never
// holds up the line: the device thread only copies a record in under a short lock, and all
// decoding and JSON work happens on the reading threads.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "terminal-sim/terminal_simulator.h"

namespace vexcard::sim::panel {

struct LineEntry {
  enum class Kind : std::uint8_t { kRequest, kAnswer, kLine, kAction };
  std::uint64_t seq = 0;  // 1, 2, ... in the order added
  double ms = 0;          // milliseconds since the journal was made (steady clock)
  double clock = 0;       // the local time then, on the driver log's clock (platform::nowOle)
  Kind kind = Kind::kAction;
  RequestRecord request;  // kRequest: the simulator's record; kAnswer: the request answered
  Bytes wire;             // kAnswer: the bytes written
  bool written = true;    // kAnswer: false when the write failed or was cut short
  LineEvent line = LineEvent::kCtsRose;  // kLine
  std::string text;                      // kAction: what was done (UTF-8)
};

class LineJournal {
 public:
  explicit LineJournal(std::size_t capacity = 4000);

  void addAction(std::string text);
  // Callbacks for TerminalSimulator::setObserver that add entries.
  SimulatorObserver observer();

  // Entries are shared, never changed once added: handing a batch to a reader copies
  // pointers only, so the lock that the device thread also takes is held briefly.
  using Entry = std::shared_ptr<const LineEntry>;
  static constexpr std::size_t kMaxBatch = 256;

  struct Batch {
    std::vector<Entry> entries;  // at most kMaxBatch, oldest first
    bool gap = false;            // entries after `after` were dropped before they could be read
  };
  // The entries after sequence number `after` (the oldest kMaxBatch of them). When there are none
  // yet, waits for one for at most timeoutMs; returns at once, empty, once closed.
  Batch since(std::uint64_t after, std::uint32_t timeoutMs) const;
  std::uint64_t lastSeq() const;
  // Wakes every waiting reader and makes later waits return at once.
  void close();
  bool closed() const;

 private:
  void add(LineEntry e);

  const std::size_t capacity_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  mutable std::mutex mutex_;
  mutable std::condition_variable added_;
  std::deque<Entry> entries_;
  std::uint64_t nextSeq_ = 1;
  std::optional<RequestRecord> lastRequest_;  // the request the next answer belongs to
  bool closed_ = false;
};

}  // namespace vexcard::sim::panel
