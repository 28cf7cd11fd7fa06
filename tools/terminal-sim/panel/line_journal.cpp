#include "terminal-sim/panel/line_journal.h"

#include <algorithm>
#include <utility>

#include "platform/clock.h"

namespace vexcard::sim::panel {

LineJournal::LineJournal(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

void LineJournal::addAction(std::string text) {
  LineEntry e;
  e.kind = LineEntry::Kind::kAction;
  e.text = std::move(text);
  add(std::move(e));
}

SimulatorObserver LineJournal::observer() {
  SimulatorObserver o;
  o.request = [this](const RequestRecord& rec) {
    LineEntry e;
    e.kind = LineEntry::Kind::kRequest;
    e.request = rec;
    add(std::move(e));
  };
  o.answer = [this](const Bytes& wire, bool written) {
    LineEntry e;
    e.kind = LineEntry::Kind::kAnswer;
    e.wire = wire;
    e.written = written;
    add(std::move(e));
  };
  o.line = [this](LineEvent ev) {
    LineEntry e;
    e.kind = LineEntry::Kind::kLine;
    e.line = ev;
    add(std::move(e));
  };
  return o;
}

void LineJournal::add(LineEntry e) {
  const auto now = std::chrono::steady_clock::now();
  e.ms = std::chrono::duration<double, std::milli>(now - start_).count();
  e.clock = platform::nowOle();
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (e.kind == LineEntry::Kind::kRequest) {
      lastRequest_ = e.request;
    } else if (e.kind == LineEntry::Kind::kAnswer && lastRequest_) {
      e.request = *lastRequest_;
    }
    e.seq = nextSeq_++;
    entries_.push_back(std::make_shared<const LineEntry>(std::move(e)));
    if (entries_.size() > capacity_) entries_.pop_front();
  }
  added_.notify_all();
}

LineJournal::Batch LineJournal::since(std::uint64_t after, std::uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lk(mutex_);
  if (after >= nextSeq_) after = 0;  // a number from an earlier run of the program
  added_.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                  [&] { return closed_ || nextSeq_ - 1 > after; });
  Batch b;
  if (closed_) return b;
  if (entries_.empty()) return b;
  if (entries_.front()->seq > after + 1) b.gap = true;
  // Sequence numbers are consecutive: the first entry wanted is found by subtraction.
  const std::uint64_t first = std::max(after + 1, entries_.front()->seq);
  for (auto it = entries_.begin() + static_cast<std::ptrdiff_t>(first - entries_.front()->seq);
       it != entries_.end() && b.entries.size() < kMaxBatch; ++it) {
    b.entries.push_back(*it);
  }
  return b;
}

std::uint64_t LineJournal::lastSeq() const {
  std::lock_guard<std::mutex> g(mutex_);
  return nextSeq_ - 1;
}

void LineJournal::close() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    closed_ = true;
  }
  added_.notify_all();
}

bool LineJournal::closed() const {
  std::lock_guard<std::mutex> g(mutex_);
  return closed_;
}

}  // namespace vexcard::sim::panel
