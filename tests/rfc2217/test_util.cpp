#include "rfc2217/test_util.h"

#include <algorithm>
#include <array>

#include "logging/logger.h"
#include "platform/sync.h"

namespace vexcard::rfc2217_test {

namespace tn = comport::telnet;
using comport::EventWaitResult;

// ---- EventCollector ----

EventCollector::EventCollector(comport::SerialDevice& device, std::uint32_t mask)
    : device_(device) {
  device_.setEventMask(mask);
  thread_.start([this] { run(); });
}

EventCollector::~EventCollector() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  device_.setEventMask(0);
  thread_.join();
}

void EventCollector::run() {
  for (;;) {
    std::uint32_t mask = 0;
    const EventWaitResult r = device_.waitEvent(mask);
    std::lock_guard<std::mutex> g(mu_);
    if (r == EventWaitResult::kResultFailed) {
      vanished_ = true;
      cv_.notify_all();
      return;
    }
    if (stop_ || r != EventWaitResult::kCompletedAfterPending) return;
    seen_ |= mask;
    if (mask & comport::kEvRxChar) {
      std::array<std::uint8_t, 512> buf;
      while (const std::uint32_t n = device_.read(buf.data(), buf.size())) {
        data_.insert(data_.end(), buf.data(), buf.data() + n);
      }
    }
    cv_.notify_all();
  }
}

bool EventCollector::waitEvent(std::uint32_t bits) {
  std::unique_lock<std::mutex> lk(mu_);
  if (!waitFor(cv_, lk, [&] { return (seen_ & bits) != 0; })) return false;
  seen_ &= ~bits;
  return true;
}

bool EventCollector::waitData(std::size_t count) {
  std::unique_lock<std::mutex> lk(mu_);
  return waitFor(cv_, lk, [&] { return data_.size() >= count; });
}

Bytes EventCollector::data() {
  std::lock_guard<std::mutex> g(mu_);
  return data_;
}

// ---- LogWatch ----

namespace {
struct LogLines {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> lines;
};
LogLines& logLines() {
  static LogLines lines;
  return lines;
}
void observeLine(std::string_view text) noexcept {
  LogLines& l = logLines();
  std::lock_guard<std::mutex> g(l.mu);
  l.lines.emplace_back(text);
  l.cv.notify_all();
}
std::size_t countPrefix(const std::vector<std::string>& lines, std::string_view prefix) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& t) { return t.starts_with(prefix); }));
}
}  // namespace

LogWatch::LogWatch() {
  {
    std::lock_guard<std::mutex> g(logLines().mu);
    logLines().lines.clear();
  }
  logging::setLineObserver(&observeLine);
}

LogWatch::~LogWatch() { logging::setLineObserver(nullptr); }

bool LogWatch::waitFor(std::string_view prefix) {
  std::unique_lock<std::mutex> lk(logLines().mu);
  return rfc2217_test::waitFor(logLines().cv, lk,
                               [&] { return countPrefix(logLines().lines, prefix) > 0; });
}

std::size_t LogWatch::count(std::string_view prefix) {
  std::lock_guard<std::mutex> g(logLines().mu);
  return countPrefix(logLines().lines, prefix);
}

// ---- FakePeer ----

struct FakePeer::Sink final : tn::Parser::Sink {
  FakePeer& p;
  tn::Negotiator negotiator;
  Bytes replies;
  explicit Sink(FakePeer& peer)
      : p(peer),
        negotiator(
            {tn::kOptBinary, tn::kOptSuppressGoAhead},
            peer.options_.agree
                ? std::initializer_list<std::uint8_t>{tn::kOptBinary, tn::kOptSuppressGoAhead,
                                                      tn::kOptComPort}
                : std::initializer_list<std::uint8_t>{tn::kOptBinary, tn::kOptSuppressGoAhead}) {}
  void onData(const std::uint8_t* d, std::size_t n) override {
    p.data_.insert(p.data_.end(), d, d + n);
  }
  void onNegotiation(std::uint8_t command, std::uint8_t option) override {
    negotiator.receive(command, option, replies);
  }
  void onSubnegotiation(const std::uint8_t* body, std::size_t n) override {
    if (n < 2 || body[0] != tn::kOptComPort) return;
    const std::uint8_t code = body[1];
    Bytes value(body + 2, body + n);
    const auto answer = static_cast<std::uint8_t>(code + tn::kServerOffset);
    if (code == tn::kSetBaudRate && p.options_.answerBaud != 0) {
      const auto out = tn::comPortCommand32(answer, p.options_.answerBaud);
      replies.insert(replies.end(), out.begin(), out.end());
    } else if ((code >= tn::kSetBaudRate && code <= tn::kSetStopSize) ||
               (code == tn::kPurgeData && p.options_.answerPurge)) {
      const auto out = tn::comPortCommand(answer, value.data(), value.size());
      replies.insert(replies.end(), out.begin(), out.end());
    }
    p.commands_.emplace(code, std::move(value));
  }
};

FakePeer::FakePeer(Options options) : options_(options) {
  listener_ = platform::TcpListener::listen("127.0.0.1", 0);
  thread_.start([this] { run(); });
}

FakePeer::~FakePeer() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
    if (client_) client_->wake();
  }
  listener_->wake();
  thread_.join();
}

std::string FakePeer::url() const {
  return "rfc2217://127.0.0.1:" + std::to_string(listener_->port());
}

void FakePeer::run() {
  auto client =
      listener_->accept(static_cast<std::uint32_t>(std::chrono::milliseconds(kPatience).count()));
  if (!client) return;
  platform::TcpSocket* socket = client.get();
  {
    std::lock_guard<std::mutex> g(mu_);
    if (stop_) return;
    client_ = std::move(client);
  }
  Sink sink(*this);
  tn::Parser parser;
  std::array<std::uint8_t, 4096> buf;
  for (;;) {
    bool paused;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (stop_) return;
      if (disconnect_) {
        socket->shutdown();
        return;
      }
      paused = paused_;
    }
    const unsigned ready =
        socket->wait(paused ? 0 : platform::kSocketReadable, platform::kInfinite);
    if (!(ready & platform::kSocketReadable)) continue;
    const long n = socket->receive(buf.data(), buf.size());
    std::lock_guard<std::mutex> g(mu_);
    if (n < 0) return;
    parser.feed(buf.data(), static_cast<std::size_t>(n), sink);
    if (!sink.replies.empty()) socket->send(sink.replies.data(), sink.replies.size());
    sink.replies.clear();
    cv_.notify_all();
  }
}

void FakePeer::send(const Bytes& raw) {
  std::unique_lock<std::mutex> lk(mu_);
  waitFor(cv_, lk, [&] { return client_ != nullptr; });
  if (client_) client_->send(raw.data(), raw.size());
}

void FakePeer::sendComPort(std::uint8_t code, std::initializer_list<std::uint8_t> value) {
  send(tn::comPortCommand(code, value));
}

bool FakePeer::waitCommand(std::uint8_t code, Bytes* value) {
  std::unique_lock<std::mutex> lk(mu_);
  if (!waitFor(cv_, lk, [&] { return commands_.count(code) > 0; })) return false;
  auto it = commands_.lower_bound(code);  // the oldest of that code
  if (value) *value = it->second;
  commands_.erase(it);
  return true;
}

bool FakePeer::waitData(std::size_t count) {
  std::unique_lock<std::mutex> lk(mu_);
  return waitFor(cv_, lk, [&] { return data_.size() >= count; });
}

Bytes FakePeer::data() {
  std::lock_guard<std::mutex> g(mu_);
  return data_;
}

void FakePeer::pauseReading(bool paused) {
  std::lock_guard<std::mutex> g(mu_);
  paused_ = paused;
  if (client_) client_->wake();
}

void FakePeer::disconnect() {
  std::lock_guard<std::mutex> g(mu_);
  disconnect_ = true;
  if (client_) client_->wake();
}

// ---- LoopbackDevice ----

bool LoopbackDevice::getSettings(comport::LineSettings& out) {
  std::lock_guard<std::mutex> g(mu_);
  out = settings_;
  return true;
}

bool LoopbackDevice::setSettings(const comport::LineSettings& s) {
  std::lock_guard<std::mutex> g(mu_);
  if (s.baudRate > maxBaud) return false;
  settings_ = s;
  return true;
}

std::uint32_t LoopbackDevice::clearError(comport::CommStatusRecord& status) {
  std::lock_guard<std::mutex> g(mu_);
  status = {0, static_cast<std::uint32_t>(rx_.size()), 0};
  const std::uint32_t e = errors_;
  errors_ = 0;
  return e;
}

bool LoopbackDevice::purge(std::uint32_t flags) {
  std::lock_guard<std::mutex> g(mu_);
  if (flags & comport::kPurgeRxClear) rx_.clear();
  return true;
}

void LoopbackDevice::raise(std::uint32_t events) {
  pending_ |= events & mask_;
  cv_.notify_all();
}

bool LoopbackDevice::setRts(bool on) {
  std::lock_guard<std::mutex> g(mu_);
  if (rts_ != on) raise(comport::kEvCts);
  rts_ = on;
  return true;
}

bool LoopbackDevice::setDtr(bool on) {
  std::lock_guard<std::mutex> g(mu_);
  if (dtr_ != on) raise(comport::kEvDsr);
  dtr_ = on;
  return true;
}

bool LoopbackDevice::getModemStatus(std::uint32_t& status) {
  std::lock_guard<std::mutex> g(mu_);
  status = (rts_ ? comport::kMsCtsOn : 0) | (dtr_ ? comport::kMsDsrOn : 0);
  return true;
}

bool LoopbackDevice::setEventMask(std::uint32_t mask) {
  std::lock_guard<std::mutex> g(mu_);
  mask_ = mask;
  pending_ &= mask;
  ++maskChanges_;
  cv_.notify_all();
  return true;
}

comport::EventWaitResult LoopbackDevice::waitEvent(std::uint32_t& mask) {
  std::unique_lock<std::mutex> lk(mu_);
  const std::uint64_t changes = maskChanges_;
  mask = 0;
  if (mask_ == 0) return EventWaitResult::kFailed;
  cv_.wait(lk, [&] { return (pending_ & mask_) || vanished_ || maskChanges_ != changes; });
  if (vanished_) return EventWaitResult::kResultFailed;
  mask = pending_ & mask_;
  pending_ = 0;
  return EventWaitResult::kCompletedAfterPending;
}

std::uint32_t LoopbackDevice::read(std::uint8_t* dst, std::uint32_t count) {
  std::lock_guard<std::mutex> g(mu_);
  const std::size_t n = std::min<std::size_t>(count, rx_.size());
  std::copy(rx_.begin(), rx_.begin() + static_cast<long>(n), dst);
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(n));
  return static_cast<std::uint32_t>(n);
}

bool LoopbackDevice::write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) {
  std::lock_guard<std::mutex> g(mu_);
  rx_.insert(rx_.end(), src, src + count);
  written = count;
  if (count > 0) raise(comport::kEvRxChar);
  return true;
}

void LoopbackDevice::injectErrors(std::uint32_t errors) {
  std::lock_guard<std::mutex> g(mu_);
  errors_ |= errors;
  raise((errors & comport::kCeBreak ? comport::kEvBreak : 0) |
        (errors & ~comport::kCeBreak ? comport::kEvErr : 0));
}

void LoopbackDevice::vanish() {
  std::lock_guard<std::mutex> g(mu_);
  vanished_ = true;
  cv_.notify_all();
}

comport::LineSettings LoopbackDevice::settings() {
  std::lock_guard<std::mutex> g(mu_);
  return settings_;
}

bool LoopbackDevice::rts() {
  std::lock_guard<std::mutex> g(mu_);
  return rts_;
}

bool LoopbackDevice::dtr() {
  std::lock_guard<std::mutex> g(mu_);
  return dtr_;
}

}  // namespace vexcard::rfc2217_test
