// The RFC 2217 client device. One mutex guards the whole state; the reader thread parses
// the stream under it, callers queue commands under it, and one condition variable wakes
// every waiter (event waits, writes, settings and purge answers, the option agreement).
//
// A lost connection is made again by the next caller that changes the line (RTS, DTR,
// settings, purge), no sooner than the back-off allows: the first try comes at once, each
// failed one doubles the pause (kNetworkRetryFirst up to kNetworkRetryMax). The caller
// connects on its own thread, so no thread is left behind; the old reader thread has
// ended with the loss and is joined first. Each connection has a number: a write or a
// request answer awaited on one connection never takes what belongs to the next.
#include "comport/device_rfc2217.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "comport/device_map.h"
#include "comport/telnet.h"
#include "comport/telnet_out_queue.h"
#include "logging/logger.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/timing.h"
#include "vexcard/exception.h"

namespace vexcard::comport {
namespace {

namespace tn = telnet;
using Clock = std::chrono::steady_clock;
using timing::Delay;

constexpr std::uint32_t kDefaultInQueue = 4096;
constexpr std::uint32_t kMaxInQueue = 1u << 20;
constexpr std::uint8_t kLineStateMask =
    tn::kLineOverrun | tn::kLineParity | tn::kLineFraming | tn::kLineBreak;

Clock::time_point deadlineAfter(Delay d) {
  return Clock::now() + std::chrono::milliseconds(timing::ms(d));
}

// The RFC 2217 codes of the settings record's fields.
std::uint8_t parityCode(std::uint8_t parity) { return static_cast<std::uint8_t>(parity + 1); }
std::uint8_t stopCode(std::uint8_t stopBits) { return stopBits == 0 ? 1 : stopBits == 1 ? 3 : 2; }

class Rfc2217Device final : public SerialDevice, private tn::Parser::Sink {
 public:
  Rfc2217Device(std::string url, std::string host, std::uint16_t port,
                std::unique_ptr<platform::TcpSocket> socket)
      : url_(std::move(url)),
        host_(std::move(host)),
        port_(port),
        socket_(std::move(socket)),
        negotiator_(newNegotiator()),
        ring_(kDefaultInQueue) {
    reader_.start([this] { run(); });
  }

  ~Rfc2217Device() override {
    {
      std::lock_guard<std::mutex> g(mu_);
      stop_ = true;
      cv_.notify_all();
    }
    socket_->wake();
    reader_.join();
  }

  // Asks for the options and waits for the server to agree to COM-PORT-OPTION; then asks
  // for every modem-state change and for the line errors.
  bool agree() {
    std::unique_lock<std::mutex> lk(mu_);
    return agreeLocked(lk);
  }

  bool setupQueues(std::uint32_t inQueue, std::uint32_t /*outQueue*/) override {
    if (inQueue == 0 || inQueue > kMaxInQueue) return false;
    std::lock_guard<std::mutex> g(mu_);
    std::vector<std::uint8_t> ring(inQueue);
    const std::size_t keep = std::min<std::size_t>(count_, inQueue);
    for (std::size_t k = 0; k < keep; ++k) ring[k] = ring_[(head_ + k) % ring_.size()];
    if (keep < count_) errors_ |= kCeRxOver;
    ring_.swap(ring);
    head_ = 0;
    count_ = keep;
    return true;
  }

  bool getSettings(LineSettings& out) override {
    std::lock_guard<std::mutex> g(mu_);
    out = settings_;
    return !lost_;
  }

  bool setSettings(const LineSettings& s) override {
    if (s.baudRate == 0 || s.byteSize < 5 || s.byteSize > 8 || s.parity > 4 || s.stopBits > 2) {
      return false;
    }
    if (!reconnect()) return false;
    std::lock_guard<std::mutex> serial(requestMu_);
    std::unique_lock<std::mutex> lk(mu_);
    if (!applySettingsLocked(s, lk)) return false;
    settings_ = s;
    return true;
  }

  bool setTimeouts(const CommTimeouts&) override { return true; }

  std::uint32_t clearError(CommStatusRecord& status) override {
    std::lock_guard<std::mutex> g(mu_);
    const std::uint32_t errors = errors_;
    errors_ = 0;
    status.flags = 0;
    status.inQueue = static_cast<std::uint32_t>(count_);
    status.outQueue = static_cast<std::uint32_t>(out_.pendingBytes());
    return errors;
  }

  bool purge(std::uint32_t flags) override {
    (void)reconnect();  // the local queue is emptied in any case
    std::lock_guard<std::mutex> serial(requestMu_);
    std::unique_lock<std::mutex> lk(mu_);
    if (flags & kPurgeRxClear) {
      count_ = 0;
      pending_ &= ~kEvRxChar;
    }
    const bool rx = (flags & kPurgeRxClear) != 0;
    const bool tx = (flags & 0x05) != 0;  // PURGE_TXABORT, PURGE_TXCLEAR
    if (lost_) return false;
    if (!rx && !tx) return true;
    queueLocked(
        tn::comPortCommand(tn::kPurgeData, {static_cast<std::uint8_t>(rx && tx ? tn::kPurgeBoth
                                                                      : rx     ? tn::kPurgeReceive
                                                                           : tn::kPurgeTransmit)}));
    const std::uint64_t mine = ++purgeRequested_;
    if (!rx) return !lost_;
    // What the server sent before it purged is still on its way: drop it until the answer.
    discardRx_ = true;
    if (!cv_.wait_until(lk, deadlineAfter(Delay::kNetworkReply),
                        [&] { return lost_ || purgeAnswered_ >= mine; }) &&
        !lost_) {
      purgeAnswered_ = mine;
    }
    discardRx_ = false;
    return !lost_;
  }

  bool setRts(bool on) override { return control(true, on); }
  bool setDtr(bool on) override { return control(false, on); }

  bool getModemStatus(std::uint32_t& status) override {
    std::lock_guard<std::mutex> g(mu_);
    status = modem_ & 0xF0u;
    return !lost_;
  }

  bool setEventMask(std::uint32_t mask) override {
    std::lock_guard<std::mutex> g(mu_);
    mask_ = mask;
    pending_ &= mask;
    if ((mask & kEvRxChar) && count_ > 0) pending_ |= kEvRxChar;
    ++maskChanges_;  // ends a pending wait with mask 0, as SetCommMask does
    cv_.notify_all();
    return true;
  }

  EventWaitResult waitEvent(std::uint32_t& mask) override {
    std::unique_lock<std::mutex> lk(mu_);
    const std::uint64_t changes = maskChanges_;
    for (;;) {
      if (pending_ & mask_) {
        mask = pending_ & mask_;
        pending_ &= ~mask;
        return EventWaitResult::kCompletedAfterPending;
      }
      mask = 0;
      // While the connection is lost the wait goes on: the next connection brings events.
      if (stop_) return EventWaitResult::kResultFailed;
      if (maskChanges_ != changes) return EventWaitResult::kCompletedAfterPending;
      if (mask_ == 0) return EventWaitResult::kFailed;
      cv_.wait(lk);
    }
  }

  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override {
    std::lock_guard<std::mutex> g(mu_);
    const std::size_t n = std::min<std::size_t>(count, count_);
    for (std::size_t k = 0; k < n; ++k) dst[k] = ring_[(head_ + k) % ring_.size()];
    head_ = (head_ + n) % ring_.size();
    count_ -= n;
    return static_cast<std::uint32_t>(n);
  }

  // Bytes written while the connection is lost are lost with it, as on a cut cable: the
  // write reports them done, so that the port does not send a stale request over the
  // next connection.
  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override {
    written = 0;
    std::unique_lock<std::mutex> lk(mu_);
    if (cancelWrite_) {
      cancelWrite_ = false;
      return false;
    }
    if (lost_ || count == 0) return true;
    const auto deadline = deadlineAfter(Delay::kDeviceWriteTimeout);
    const std::uint64_t connection = connection_;
    const std::uint64_t id = out_.pushData(src, count);
    pumpLocked();
    const auto gone = [&] { return lost_ || connection_ != connection; };
    cv_.wait_until(lk, deadline, [&] { return gone() || out_.sent(id) || cancelWrite_; });
    if (connection_ != connection) return true;  // the old queue went with its connection
    if (out_.sent(id)) {
      written = count;
      return true;
    }
    written = static_cast<std::uint32_t>(out_.withdraw(id, count));
    if (lost_) return true;
    if (cancelWrite_) {
      cancelWrite_ = false;
      return false;
    }
    return true;  // the write time-out: the device took what it took
  }

  void cancelWrite() override {
    std::lock_guard<std::mutex> g(mu_);
    cancelWrite_ = true;
    cv_.notify_all();
  }

 private:
  bool control(bool rts, bool on) {
    if (!reconnect()) {
      std::lock_guard<std::mutex> g(mu_);
      (rts ? rts_ : dtr_) = on;  // the next connection starts with it
      return false;
    }
    std::lock_guard<std::mutex> g(mu_);
    (rts ? rts_ : dtr_) = on;
    queueLocked(controlCommand(rts, on));
    return !lost_;
  }

  static std::vector<std::uint8_t> controlCommand(bool rts, bool on) {
    const std::uint8_t value = rts ? (on ? tn::kControlRtsOn : tn::kControlRtsOff)
                                   : (on ? tn::kControlDtrOn : tn::kControlDtrOff);
    return tn::comPortCommand(tn::kSetControl, {value});
  }

  static tn::Negotiator newNegotiator() {
    return tn::Negotiator({tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort},
                          {tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort});
  }

  bool agreeLocked(std::unique_lock<std::mutex>& lk) {
    std::vector<std::uint8_t> out;
    negotiator_.requestLocal(tn::kOptBinary, out);
    negotiator_.requestRemote(tn::kOptBinary, out);
    negotiator_.requestLocal(tn::kOptSuppressGoAhead, out);
    negotiator_.requestRemote(tn::kOptSuppressGoAhead, out);
    negotiator_.requestLocal(tn::kOptComPort, out);
    queueLocked(std::move(out));
    cv_.wait_until(lk, deadlineAfter(Delay::kNetworkReply), [&] {
      return lost_ || negotiator_.local(tn::kOptComPort) != tn::Negotiator::State::kRequested;
    });
    if (lost_ || negotiator_.local(tn::kOptComPort) != tn::Negotiator::State::kOn) return false;
    queueLocked(tn::comPortCommand(tn::kSetModemStateMask, {0xFF}));
    queueLocked(tn::comPortCommand(tn::kSetLineStateMask, {kLineStateMask}));
    return !lost_;
  }

  // Sends the four settings and waits for their answers; a refusal puts the server back
  // to the settings last accepted.
  bool applySettingsLocked(const LineSettings& s, std::unique_lock<std::mutex>& lk) {
    const auto deadline = deadlineAfter(Delay::kNetworkReply);
    sendSettingsLocked(s);
    const auto wanted = requested_;
    const bool answered = cv_.wait_until(lk, deadline, [&] {
      if (lost_) return true;
      for (std::size_t k = 1; k < answered_.size(); ++k) {
        if (answered_[k] < wanted[k]) return false;
      }
      return true;
    });
    if (!answered || lost_) return false;
    if (answer_[tn::kSetBaudRate] != s.baudRate || answer_[tn::kSetDataSize] != s.byteSize ||
        answer_[tn::kSetParity] != parityCode(s.parity) ||
        answer_[tn::kSetStopSize] != stopCode(s.stopBits)) {
      sendSettingsLocked(settings_);
      return false;
    }
    return true;
  }

  // Makes a lost connection again when the back-off allows. True when connected.
  bool reconnect() {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (!lost_) return true;
      if (stop_) return false;
    }
    // One caller reconnects; the others fail at once rather than queue up behind it.
    std::unique_lock<std::mutex> connecting(connectMu_, std::try_to_lock);
    if (!connecting.owns_lock()) return false;
    std::lock_guard<std::mutex> serial(requestMu_);
    {
      std::lock_guard<std::mutex> g(mu_);
      if (!lost_) return true;
      if (Clock::now() < nextTry_) return false;
    }
    reader_.join();  // it ended with the loss
    auto socket = platform::TcpSocket::connect(host_, port_, timing::ms(Delay::kNetworkConnect));
    std::unique_lock<std::mutex> lk(mu_);
    if (socket && !stop_) {
      socket_ = std::move(socket);
      ++connection_;
      parser_.reset();
      negotiator_ = newNegotiator();
      replies_.clear();
      out_ = tn::OutQueue();
      requested_ = {};
      answered_ = {};
      purgeRequested_ = purgeAnswered_ = 0;
      discardRx_ = false;
      modemKnown_ = false;
      lost_ = false;
      cv_.notify_all();  // writes and waits of the old connection end
      reader_.start([this] { run(); });
      // The new connection starts as the old one stood: the masks (with the options), the
      // last accepted settings and the RTS and DTR lines.
      if (agreeLocked(lk) && applySettingsLocked(settings_, lk)) {
        queueLocked(controlCommand(true, rts_));
        queueLocked(controlCommand(false, dtr_));
        if (!lost_) {
          retryPause_ = 0;
          nextTry_ = {};
          down_ = false;
          logging::WriteLog(1, url_ + ": connection made again");
          return true;
        }
      }
      markLostLocked("the server did not agree to the options again");
    }
    // The first try after a loss comes at once; each failed one doubles the pause.
    retryPause_ = retryPause_ == 0 ? timing::ms(Delay::kNetworkRetryFirst)
                                   : std::min(retryPause_ * 2, timing::ms(Delay::kNetworkRetryMax));
    nextTry_ = Clock::now() + std::chrono::milliseconds(retryPause_);
    return false;
  }

  void sendSettingsLocked(const LineSettings& s) {
    queueLocked(tn::comPortCommand32(tn::kSetBaudRate, s.baudRate));
    queueLocked(tn::comPortCommand(tn::kSetDataSize, {s.byteSize}));
    queueLocked(tn::comPortCommand(tn::kSetParity, {parityCode(s.parity)}));
    queueLocked(tn::comPortCommand(tn::kSetStopSize, {stopCode(s.stopBits)}));
    for (std::size_t k = 1; k < requested_.size(); ++k) ++requested_[k];
  }

  void queueLocked(std::vector<std::uint8_t> bytes) {
    if (lost_ || bytes.empty()) return;
    out_.pushCommand(std::move(bytes));
    pumpLocked();
  }

  // Sends what the socket takes; the reader thread waits for room for the rest.
  void pumpLocked() {
    if (lost_) return;
    const std::uint64_t before = out_.lastSent();
    if (!out_.pump(*socket_)) {
      markLostLocked("sending failed");
      return;
    }
    if (out_.lastSent() != before) cv_.notify_all();  // a write may be waiting for it
    if (!out_.empty() && !reader_.isCurrent()) socket_->wake();
  }

  // The first loss since the connection was last made is logged with its cause.
  void markLostLocked(std::string_view cause) {
    if (lost_) return;
    lost_ = true;
    socket_->shutdown();
    cv_.notify_all();
    if (!down_ && !stop_) logging::WriteLog(1, url_ + ": connection lost: " + std::string(cause));
    down_ = true;
  }

  void addEventsLocked(std::uint32_t events) {
    const std::uint32_t before = pending_;
    pending_ |= events & mask_;
    if (pending_ != before) cv_.notify_all();
  }

  void run() {
    std::array<std::uint8_t, 4096> buf;
    for (;;) {
      unsigned want = platform::kSocketReadable;
      {
        std::lock_guard<std::mutex> g(mu_);
        if (stop_ || lost_) return;
        if (!out_.empty()) want |= platform::kSocketWritable;
      }
      const unsigned ready = socket_->wait(want, platform::kInfinite);
      std::lock_guard<std::mutex> g(mu_);
      if (ready & platform::kSocketReadable) {
        const long n = socket_->receive(buf.data(), buf.size());
        if (n < 0) {
          markLostLocked("closed by the server or broken");
          return;
        }
        parser_.feed(buf.data(), static_cast<std::size_t>(n), *this);
        if (!replies_.empty()) queueLocked(std::move(replies_));
        replies_.clear();
      }
      if (ready & platform::kSocketWritable) pumpLocked();
    }
  }

  // Parser sink: runs on the reader thread with mu_ held.
  void onData(const std::uint8_t* data, std::size_t count) override {
    if (discardRx_) return;
    const std::size_t take = std::min(count, ring_.size() - count_);
    for (std::size_t k = 0; k < take; ++k) ring_[(head_ + count_ + k) % ring_.size()] = data[k];
    count_ += take;
    if (take < count) errors_ |= kCeRxOver;
    if (take > 0) addEventsLocked(kEvRxChar);
  }

  void onNegotiation(std::uint8_t command, std::uint8_t option) override {
    negotiator_.receive(command, option, replies_);
    cv_.notify_all();
  }

  void onSubnegotiation(const std::uint8_t* body, std::size_t count) override {
    if (count < 3 || body[0] != tn::kOptComPort) return;
    const std::uint8_t code = body[1];
    const std::uint8_t* value = body + 2;
    const std::size_t length = count - 2;
    switch (code) {
      case tn::kServerOffset + tn::kSetBaudRate:
        if (length < 4) return;
        answer_[tn::kSetBaudRate] = std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                                    std::uint32_t{value[2]} << 8 | value[3];
        ++answered_[tn::kSetBaudRate];
        break;
      case tn::kServerOffset + tn::kSetDataSize:
      case tn::kServerOffset + tn::kSetParity:
      case tn::kServerOffset + tn::kSetStopSize:
        answer_[code - tn::kServerOffset] = value[0];
        ++answered_[code - tn::kServerOffset];
        break;
      case tn::kServerOffset + tn::kNotifyLineState:
        lineState(value[0]);
        return;
      case tn::kServerOffset + tn::kNotifyModemState:
        modemState(value[0]);
        return;
      case tn::kServerOffset + tn::kPurgeData:
        ++purgeAnswered_;
        if (purgeAnswered_ >= purgeRequested_) discardRx_ = false;
        break;
      default:
        return;  // control answers, mask answers, signature, flow control: not used
    }
    cv_.notify_all();
  }

  void lineState(std::uint8_t v) {
    std::uint32_t errors = 0;
    if (v & tn::kLineOverrun) errors |= kCeOverrun;
    if (v & tn::kLineParity) errors |= kCeRxParity;
    if (v & tn::kLineFraming) errors |= kCeFrame;
    if (v & tn::kLineBreak) errors |= kCeBreak;
    errors_ |= errors;
    std::uint32_t events = 0;
    if (errors & (kCeOverrun | kCeRxParity | kCeFrame)) events |= kEvErr;
    if (errors & kCeBreak) events |= kEvBreak;
    addEventsLocked(events);
  }

  // A change shows as a delta bit, or as a state that differs from the last one known
  // (a server that sends states only, or one whose notification was coalesced).
  void modemState(std::uint8_t v) {
    const std::uint8_t state = v & 0xF0;
    const std::uint8_t changed = modemKnown_ ? (state ^ modem_) : 0;
    std::uint32_t events = 0;
    if ((v & tn::kModemCtsDelta) || (changed & tn::kModemCts)) events |= kEvCts;
    if ((v & tn::kModemDsrDelta) || (changed & tn::kModemDsr)) events |= kEvDsr;
    if ((v & tn::kModemRingTrailingEdge) || (changed & tn::kModemRing)) events |= kEvRing;
    if ((v & tn::kModemRlsdDelta) || (changed & tn::kModemRlsd)) events |= kEvRlsd;
    modem_ = state;
    modemKnown_ = true;
    addEventsLocked(events);
  }

  const std::string url_, host_;
  const std::uint16_t port_;
  std::unique_ptr<platform::TcpSocket> socket_;  // replaced only while no reader runs
  platform::Thread reader_;
  std::mutex connectMu_;  // one reconnection at a time
  std::mutex requestMu_;  // one settings change, purge or reconnection at a time
  std::mutex mu_;         // everything below
  std::condition_variable cv_;
  tn::Parser parser_;
  tn::Negotiator negotiator_;
  std::vector<std::uint8_t> replies_;  // negotiation answers of one received block
  tn::OutQueue out_;
  std::vector<std::uint8_t> ring_;  // receive queue
  std::size_t head_ = 0, count_ = 0;
  std::uint32_t errors_ = 0;  // kCe* bits since the last clearError
  std::uint8_t modem_ = 0;
  bool modemKnown_ = false;
  std::uint32_t mask_ = 0, pending_ = 0;
  std::uint64_t maskChanges_ = 0;
  LineSettings settings_;
  std::array<std::uint64_t, 5> requested_{}, answered_{};  // per SET-* code 1..4
  std::array<std::uint32_t, 5> answer_{};
  std::uint64_t purgeRequested_ = 0, purgeAnswered_ = 0;
  bool discardRx_ = false;
  bool cancelWrite_ = false;
  bool lost_ = false;
  bool down_ = false;  // the loss has been logged and no connection made since
  bool stop_ = false;
  bool rts_ = false, dtr_ = false;  // as last asked for
  std::uint64_t connection_ = 0;    // counts the connections made again
  std::uint32_t retryPause_ = 0;    // ms; 0 before the first failed try
  Clock::time_point nextTry_{};
};

}  // namespace

std::unique_ptr<SerialDevice> openRfc2217Device(std::string_view url) {
  std::string host;
  std::uint16_t port = 0;
  const auto fail = [&](const char* why) {
    setOpenFailure(std::string(url) + ": " + why);
    return nullptr;
  };
  if (!parseRfc2217Url(url, host, port))
    return fail("not an address of the form rfc2217://HOST:PORT");
  auto socket = platform::TcpSocket::connect(host, port, timing::ms(Delay::kNetworkConnect));
  if (!socket) return fail("no connection to the server");
  try {
    auto device =
        std::make_unique<Rfc2217Device>(std::string(url), std::move(host), port, std::move(socket));
    if (!device->agree()) return fail("the server did not take the port settings");
    return device;
  } catch (const Exception&) {  // no thread for the reader
    return fail("the reader thread could not be started");
  }
}

}  // namespace vexcard::comport
