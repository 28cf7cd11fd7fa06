#include "terminal-sim/rfc2217_server.h"

#include <array>
#include <vector>

#include "platform/timing.h"

namespace vexcard::sim {

namespace tn = comport::telnet;
using comport::EventWaitResult;
using comport::LineSettings;

namespace {

constexpr std::size_t kMaxBacklog = 64 * 1024;
constexpr std::uint32_t kDeviceEvents = comport::kEvRxChar | comport::kEvCts | comport::kEvDsr |
                                        comport::kEvRing | comport::kEvRlsd | comport::kEvErr |
                                        comport::kEvBreak;
constexpr char kSignature[] = "VexCard terminal simulator";

std::uint8_t parityCode(std::uint8_t parity) { return static_cast<std::uint8_t>(parity + 1); }
std::uint8_t stopCode(std::uint8_t stopBits) { return stopBits == 0 ? 1 : stopBits == 1 ? 3 : 2; }

// The delta bits for the modem events of an event mask.
std::uint8_t deltasOf(std::uint32_t events) {
  std::uint8_t d = 0;
  if (events & comport::kEvCts) d |= tn::kModemCtsDelta;
  if (events & comport::kEvDsr) d |= tn::kModemDsrDelta;
  if (events & comport::kEvRing) d |= tn::kModemRingTrailingEdge;
  if (events & comport::kEvRlsd) d |= tn::kModemRlsdDelta;
  return d;
}

}  // namespace

// One client's telnet state, used by the network thread only.
class Rfc2217Server::Session final : public tn::Parser::Sink {
 public:
  explicit Session(Rfc2217Server& server)
      : s_(server),
        negotiator_({tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort},
                    {tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort}) {}

  std::vector<std::uint8_t> greeting() {
    std::vector<std::uint8_t> out;
    negotiator_.requestLocal(tn::kOptBinary, out);
    negotiator_.requestRemote(tn::kOptBinary, out);
    negotiator_.requestLocal(tn::kOptSuppressGoAhead, out);
    negotiator_.requestRemote(tn::kOptSuppressGoAhead, out);
    negotiator_.requestRemote(tn::kOptComPort, out);
    return out;
  }

  void feed(const std::uint8_t* data, std::size_t count) { parser_.feed(data, count, *this); }

 private:
  void onData(const std::uint8_t* data, std::size_t count) override {
    while (count > 0 && !s_.stop_) {
      std::uint32_t written = 0;
      if (!s_.device_.write(data, static_cast<std::uint32_t>(count), written)) return;
      data += written;
      count -= written;
    }
  }

  void onNegotiation(std::uint8_t command, std::uint8_t option) override {
    std::vector<std::uint8_t> replies;
    negotiator_.receive(command, option, replies);
    std::lock_guard<std::mutex> g(s_.mu_);
    s_.queueLocked(std::move(replies));
    if (negotiator_.remote(tn::kOptComPort) == tn::Negotiator::State::kOn) comPortAgreed();
    s_.pumpLocked();
  }

  // The client speaks COM-PORT-OPTION: it said WILL, or it sends its commands. (A client
  // whose own request crossed ours may take our DO as the answer and never say WILL.)
  void comPortAgreed() {
    if (s_.comPortOn_) return;
    s_.comPortOn_ = true;
    s_.notifyModemLocked(0, true);  // the client learns the lines as they are now
  }

  void onSubnegotiation(const std::uint8_t* body, std::size_t count) override {
    if (count < 2 || body[0] != tn::kOptComPort) return;
    const std::uint8_t code = body[1];
    const std::uint8_t* value = body + 2;
    const std::size_t length = count - 2;
    const std::uint8_t v = length > 0 ? value[0] : 0;
    const std::uint8_t answer = static_cast<std::uint8_t>(code + tn::kServerOffset);
    std::lock_guard<std::mutex> g(s_.mu_);
    comPortAgreed();
    switch (code) {
      case tn::kSignature:
        s_.queueLocked(tn::comPortCommand(answer, reinterpret_cast<const std::uint8_t*>(kSignature),
                                          sizeof kSignature - 1));
        break;
      case tn::kSetBaudRate:
      case tn::kSetDataSize:
      case tn::kSetParity:
      case tn::kSetStopSize:
        if (length < (code == tn::kSetBaudRate ? 4u : 1u)) return;
        settings(code, value);
        break;
      case tn::kSetControl:
        s_.queueLocked(tn::comPortCommand(answer, {control(v)}));
        break;
      case tn::kNotifyLineState:
        s_.queueLocked(tn::comPortCommand(answer, {0}));
        break;
      case tn::kNotifyModemState:
        s_.notifyModemLocked(0, true);
        break;
      case tn::kSetLineStateMask:
        s_.lineMask_ = v;
        s_.queueLocked(tn::comPortCommand(answer, {v}));
        break;
      case tn::kSetModemStateMask:
        s_.modemMask_ = v;
        s_.queueLocked(tn::comPortCommand(answer, {v}));
        break;
      case tn::kPurgeData:
        // Under mu_, so that no data read from the device before the purge follows the
        // answer (the device thread reads and queues under mu_).
        if (v == tn::kPurgeReceive || v == tn::kPurgeBoth) {
          s_.device_.purge(comport::kPurgeRxAbort | comport::kPurgeRxClear);
        }
        if (v == tn::kPurgeTransmit || v == tn::kPurgeBoth) s_.device_.purge(0x01 | 0x04);
        s_.queueLocked(tn::comPortCommand(answer, {v}));
        break;
      default:
        return;  // flow-control suspend/resume and unknown commands: no answer
    }
    s_.pumpLocked();
  }

  // Applies one SET-* command (value 0 asks for the current one) and answers with what the
  // device holds afterwards; a refused value thus comes back as the old one.
  void settings(std::uint8_t code, const std::uint8_t* value) {
    LineSettings s;
    s_.device_.getSettings(s);
    LineSettings wanted = s;
    bool change = value[0] != 0;
    switch (code) {
      case tn::kSetBaudRate: {
        const std::uint32_t rate = std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                                   std::uint32_t{value[2]} << 8 | value[3];
        change = rate != 0;
        wanted.baudRate = rate;
        break;
      }
      case tn::kSetDataSize:
        change = change && value[0] >= 5 && value[0] <= 8;
        wanted.byteSize = value[0];
        break;
      case tn::kSetParity:
        change = change && value[0] <= 5;
        wanted.parity = static_cast<std::uint8_t>(value[0] - 1);
        break;
      case tn::kSetStopSize:
        change = change && value[0] <= 3;
        wanted.stopBits = value[0] == 1 ? 0 : value[0] == 3 ? 1 : 2;
        break;
    }
    if (change && s_.device_.setSettings(wanted)) s = wanted;
    const auto answer = static_cast<std::uint8_t>(code + tn::kServerOffset);
    switch (code) {
      case tn::kSetBaudRate:
        s_.queueLocked(tn::comPortCommand32(answer, s.baudRate));
        break;
      case tn::kSetDataSize:
        s_.queueLocked(tn::comPortCommand(answer, {s.byteSize}));
        break;
      case tn::kSetParity:
        s_.queueLocked(tn::comPortCommand(answer, {parityCode(s.parity)}));
        break;
      case tn::kSetStopSize:
        s_.queueLocked(tn::comPortCommand(answer, {stopCode(s.stopBits)}));
        break;
    }
  }

  // Carries out a SET-CONTROL value; returns the value to answer with.
  std::uint8_t control(std::uint8_t v) {
    switch (v) {
      case tn::kControlDtrOn:
      case tn::kControlDtrOff:
        s_.device_.setDtr(v == tn::kControlDtrOn);
        s_.dtrControl_ = v;
        return v;
      case tn::kControlRtsOn:
      case tn::kControlRtsOff:
        s_.device_.setRts(v == tn::kControlRtsOn);
        s_.rtsControl_ = v;
        return v;
      case 7:  // DTR state requested
        return s_.dtrControl_;
      case 10:  // RTS state requested
        return s_.rtsControl_;
      case 4:  // break state requested, and break on/off: the line has no break
      case 5:
      case 6:
        return 6;
      case 13:  // inbound flow control: none
      case 14:
      case 15:
      case 16:
        return 14;
      default:  // outbound flow control: none
        return tn::kControlNoFlowControl;
    }
  }

  Rfc2217Server& s_;
  tn::Parser parser_;
  tn::Negotiator negotiator_;
};

Rfc2217Server::Rfc2217Server(comport::SerialDevice& device) : device_(device) {}

Rfc2217Server::~Rfc2217Server() { stop(); }

bool Rfc2217Server::start(std::string_view host, std::uint16_t port) {
  if (running_) return false;
  listener_ = platform::TcpListener::listen(host, port);
  if (!listener_) return false;
  stop_ = false;
  deviceGone_ = false;
  netDone_.reset();
  deviceDone_.reset();
  {
    std::lock_guard<std::mutex> g(mu_);
    std::uint32_t status = 0;
    device_.getModemStatus(status);
    lastModem_ = static_cast<std::uint8_t>(status & 0xF0);
  }
  device_.setEventMask(kDeviceEvents);
  running_ = true;
  deviceThread_.start([this] {
    deviceLoop();
    deviceDone_.set();
  });
  netThread_.start([this] {
    netLoop();
    netDone_.set();
  });
  return true;
}

std::uint16_t Rfc2217Server::port() const { return listener_ ? listener_->port() : 0; }

bool Rfc2217Server::clientConnected() {
  std::lock_guard<std::mutex> g(mu_);
  return client_ != nullptr;
}

void Rfc2217Server::dropClient() {
  std::lock_guard<std::mutex> g(mu_);
  if (client_ != nullptr) client_->shutdown();
}

void Rfc2217Server::stop() {
  if (!running_) return;
  stop_ = true;
  // Every stop signal is repeated until both threads are out: a signal that came just
  // before a thread started to wait is not lost.
  do {
    listener_->wake();
    {
      std::lock_guard<std::mutex> g(mu_);
      if (client_ != nullptr) client_->wake();
    }
    device_.setEventMask(0);
    device_.cancelWrite();
  } while (!netDone_.wait(timing::ms(timing::Delay::kThreadStopAck)) ||
           !deviceDone_.wait(timing::ms(timing::Delay::kThreadStopAck)));
  netThread_.join();
  deviceThread_.join();
  listener_.reset();
  running_ = false;
}

void Rfc2217Server::netLoop() {
  while (!stop_) {
    auto client = listener_->accept(platform::kInfinite);
    if (client && !deviceGone_) serve(std::move(client));
  }
}

void Rfc2217Server::serve(std::unique_ptr<platform::TcpSocket> client) {
  Session session(*this);
  {
    std::lock_guard<std::mutex> g(mu_);
    client_ = client.get();
    out_ = tn::OutQueue();
    comPortOn_ = false;
    modemMask_ = 0xFF;
    lineMask_ = 0;
    queueLocked(session.greeting());
    pumpLocked();
  }
  std::array<std::uint8_t, 4096> buf;
  while (!stop_) {
    unsigned want = platform::kSocketReadable;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (!out_.empty()) want |= platform::kSocketWritable;
    }
    const unsigned ready = client->wait(want, platform::kInfinite);
    if (stop_) break;
    if (ready & platform::kSocketReadable) {
      const long n = client->receive(buf.data(), buf.size());
      if (n < 0) break;
      session.feed(buf.data(), static_cast<std::size_t>(n));
    }
    if (ready & platform::kSocketWritable) {
      std::lock_guard<std::mutex> g(mu_);
      pumpLocked();
    }
  }
  std::lock_guard<std::mutex> g(mu_);
  client_ = nullptr;
  out_ = tn::OutQueue();
  comPortOn_ = false;
}

void Rfc2217Server::deviceLoop() {
  std::array<std::uint8_t, 4096> buf;
  while (!stop_) {
    std::uint32_t events = 0;
    const EventWaitResult r = device_.waitEvent(events);
    if (stop_) return;
    if (r != EventWaitResult::kCompletedAfterPending && r != EventWaitResult::kCompletedAtOnce) {
      // The device is gone (or refuses to wait): the client is let go, none is taken.
      deviceGone_ = true;
      std::lock_guard<std::mutex> g(mu_);
      if (client_ != nullptr) client_->shutdown();
      return;
    }
    std::lock_guard<std::mutex> g(mu_);
    if (events & comport::kEvRxChar) {
      while (const std::uint32_t n = device_.read(buf.data(), buf.size())) {
        if (client_ != nullptr && out_.pendingBytes() < kMaxBacklog) out_.pushData(buf.data(), n);
      }
    }
    if (events & (comport::kEvCts | comport::kEvDsr | comport::kEvRing | comport::kEvRlsd)) {
      notifyModemLocked(deltasOf(events), false);
    }
    if (events & (comport::kEvErr | comport::kEvBreak)) {
      comport::CommStatusRecord status;
      const std::uint32_t errors = device_.clearError(status);
      std::uint8_t line = 0;
      if (errors & comport::kCeOverrun) line |= tn::kLineOverrun;
      if (errors & comport::kCeRxParity) line |= tn::kLineParity;
      if (errors & comport::kCeFrame) line |= tn::kLineFraming;
      if (errors & comport::kCeBreak) line |= tn::kLineBreak;
      if (comPortOn_ && (line & lineMask_)) {
        queueLocked(tn::comPortCommand(tn::kServerOffset + tn::kNotifyLineState,
                                       {static_cast<std::uint8_t>(line & lineMask_)}));
      }
    }
    pumpLocked();
  }
}

void Rfc2217Server::queueLocked(std::vector<std::uint8_t> bytes) {
  if (client_ != nullptr && !bytes.empty()) out_.pushCommand(std::move(bytes));
}

// Sends what the socket takes; the network thread waits for room for the rest.
void Rfc2217Server::pumpLocked() {
  if (client_ == nullptr || out_.empty()) return;
  if (!out_.pump(*client_)) {
    client_->shutdown();  // the network thread sees the end and lets the client go
  } else if (!out_.empty()) {
    client_->wake();
  }
}

void Rfc2217Server::notifyModemLocked(std::uint8_t deltas, bool force) {
  std::uint32_t status = 0;
  if (!device_.getModemStatus(status)) return;
  const auto state = static_cast<std::uint8_t>(status & 0xF0);
  const std::uint8_t changed = state ^ lastModem_;
  lastModem_ = state;
  if (changed & tn::kModemCts) deltas |= tn::kModemCtsDelta;
  if (changed & tn::kModemDsr) deltas |= tn::kModemDsrDelta;
  if (changed & tn::kModemRing) deltas |= tn::kModemRingTrailingEdge;
  if (changed & tn::kModemRlsd) deltas |= tn::kModemRlsdDelta;
  if (client_ == nullptr || !comPortOn_) return;
  const bool masked = ((deltas | changed) & modemMask_) != 0;
  if (force || masked) {
    queueLocked(tn::comPortCommand(tn::kServerOffset + tn::kNotifyModemState,
                                   {static_cast<std::uint8_t>((state | deltas) & modemMask_)}));
  }
}

}  // namespace vexcard::sim
