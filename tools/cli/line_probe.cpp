// The line probe: one bounded tsReset exchange and its verdict (line_probe.h).
#include "cli/line_probe.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "cli/app.h"
#include "cli/driver_loader.h"
#include "cli/host_commands.h"
#include "cli/text_util.h"
#include "comport/com_port.h"
#include "comport/serial_errors.h"
#include "link/command_table.h"
#include "link/frame.h"
#include "link/link_state.h"
#include "link/reply_receiver.h"
#include "link/status_texts.h"
#include "link/terminal_link.h"
#include "platform/settings_store.h"
#include "platform/sync.h"

namespace vexcard::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t msSince(Clock::time_point start) {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The probe's serial port: the driver's port object at the driver's line settings, with a
// CTS watch and a reply receiver of its own. Writes no log: this process has set no log
// path, so the port's own log lines (RTS_ON, ...) go nowhere.
class ProbePort final : public comport::TComPort {
 public:
  explicit ProbePort(unsigned port)
      : comport::TComPort(static_cast<std::uint16_t>(port), DeferOpen{}) {
    Open();
    try {
      SetBaudRate(9600);
      SetParity(0);
      SetDataBits(8);
      SetStopBits(1);
      OnModemStatus = [this](std::uint32_t mask) { modemStatus(mask); };
      PurgeInput();
    } catch (...) {
      Close();
      throw;
    }
  }
  ~ProbePort() override { Close(); }
  ProbePort(const ProbePort&) = delete;
  ProbePort& operator=(const ProbePort&) = delete;

  // Raises RTS and DTR and waits for CTS to drop (the terminal's "ready").
  bool handshake(std::uint32_t waitMs) {
    cts_.reset();
    SetLines(true);
    return cts_.wait(waitMs);
  }

  // Sends the frame and waits for the receiver's verdict (or a spoiled checksum).
  bool exchange(const link::FrameText& frame, std::uint32_t waitMs) {
    {
      std::lock_guard<std::mutex> g(rx_);
      receiver_.ResetReceiver();
      done_.reset();
    }
    PutBlock(frame.text.data(), frame.length);
    return done_.wait(waitMs);
  }

  // Reads the receiver after exchange() (under its lock).
  template <class F>
  auto withReceiver(F&& f) {
    std::lock_guard<std::mutex> g(rx_);
    return f(receiver_, received_);
  }

  void DataReceived(std::uint16_t count) override {
    try {
      for (std::uint16_t k = 0; k < count; ++k) {
        const std::uint8_t b = ReadByte();
        std::lock_guard<std::mutex> g(rx_);
        ++received_;
        receiver_.ReceiveByte(b);
        if (receiver_.LinkState.load() != link::kLinkInProgress ||
            receiver_.RxState == link::ReplyReceiver::kChecksumFailed) {
          done_.set();
        }
      }
    } catch (const std::exception&) {
      // The port is closing: nothing more to read.
    }
  }

 private:
  void modemStatus(std::uint32_t mask) {
    if ((mask & comport::kEvCts) == 0) return;
    std::uint32_t status = 0;
    if (Device->getModemStatus(status) && (status & comport::kMsCtsOn) == 0) cts_.set();
  }

  platform::Event cts_{platform::EventReset::kAuto};
  platform::Event done_{platform::EventReset::kManual};
  std::mutex rx_;  // guards receiver_ and received_ (event thread and prober)
  link::ReplyReceiver receiver_;
  std::size_t received_ = 0;
};

// The next packet index, advanced and stored as the driver does for every request. A store
// that cannot be written (a registry key without write access) still gives an index.
std::uint8_t nextPacketIndex() {
  const auto store = platform::SettingsStore::open();
  const std::int64_t stored = store->readInt(link::kPacketCounterValue).value_or(1);
  const auto next =
      static_cast<std::int32_t>(stored + 1 > link::kMaxPacketCounter ? 1 : stored + 1);
  try {
    store->writeInt(link::kPacketCounterValue, next);
  } catch (const std::exception&) {
    // The index is still fresh for this process's one request.
  }
  return static_cast<std::uint8_t>(next);
}

ProbeResult judgeReply(ProbePort& port, bool ended, ProbeResult r) {
  return port.withReceiver([&](link::ReplyReceiver& rx, std::size_t received) {
    r.bytesReceived = received;
    const std::int32_t state = rx.LinkState.load();
    if (rx.RxState == link::ReplyReceiver::kChecksumFailed) {
      r.verdict = LineVerdict::kSpoiled;
      r.detail = "a reply with a bad checksum";
    } else if (state == link::kLinkBadTerminator) {
      r.verdict = LineVerdict::kSpoiled;
      r.detail = std::string("a reply with a wrong terminator (") +
                 utf8(link::LinkStateText(state, 0)) + ")";
    } else if (state == link::kLinkNotReady) {
      r.verdict = LineVerdict::kRefused;
      r.detail = std::string("\"N\": ") + utf8(link::LinkStateText(state, 0));
    } else if (ended && state == link::kLinkOk) {
      if (rx.ReplyLength <= 2) {
        r.verdict = LineVerdict::kSpoiled;
        r.detail = std::string("a reply of ") + std::to_string(rx.ReplyLength) +
                   " byte(s), without a reply code";
      } else {
        r.replyCode = rx.ReplyData[2];
        r.verdict = *r.replyCode == 0 ? LineVerdict::kOk : LineVerdict::kRefused;
        r.detail = std::string("reply code ") + std::to_string(*r.replyCode) + ": " +
                   utf8(link::ReplyCodeText(*r.replyCode));
        // "60", the length, the body, the checksum in hex and the ETX.
        const std::size_t frame = 2u * rx.ReplyLength + 7;
        if (received > frame) {
          r.detail += std::string("; ") + std::to_string(received - frame) +
                      " byte(s) of noise beside it (the cable, its screen and length)";
        }
      }
    } else if (received > 0) {
      r.verdict = LineVerdict::kSpoiled;
      r.detail = std::to_string(received) + " byte(s) without a complete reply";
    } else {
      r.verdict = LineVerdict::kNoReply;
    }
    return r;
  });
}

}  // namespace

ProbeResult probeLine(unsigned port, const ProbeTiming& timing) {
  ProbeResult r;
  std::unique_ptr<ProbePort> line;
  try {
    line = std::make_unique<ProbePort>(port);
  } catch (const std::exception& e) {
    r.verdict = LineVerdict::kNoPort;
    r.detail = errorText(e);
    if (const auto* open = dynamic_cast<const comport::EOpenPortFail*>(&e);
        open != nullptr && !open->reason().empty()) {
      r.detail = utf8(open->reason());
    }
    return r;
  }
  const Clock::time_point raised = Clock::now();
  const bool answered = line->handshake(timing.ctsWaitMs);
  r.ctsMs = msSince(raised);
  if (!answered) {
    line->SetLines(false);
    r.verdict = LineVerdict::kNoCts;
    return r;
  }
  // The parameter byte is the one the driver's own tsReset sends.
  const std::array<std::uint8_t, link::kTsReset.requestSize> reset{link::kTsReset.code, 0x19};
  const link::FrameText frame = link::encodeFrame(reset.data(), reset.size(), nextPacketIndex());
  const Clock::time_point sent = Clock::now();
  bool ended = false;
  try {
    ended = line->exchange(frame, timing.replyWaitMs);
  } catch (const std::exception& e) {
    line->SetLines(false);
    r.verdict = LineVerdict::kNoReply;
    r.detail = std::string("the request could not be written: ") + errorText(e);
    return r;
  }
  r.roundTripMs = msSince(sent);
  line->SetLines(false);
  return judgeReply(*line, ended, std::move(r));
}

const char* verdictName(LineVerdict verdict) {
  switch (verdict) {
    case LineVerdict::kNoPort:
      return "no-port";
    case LineVerdict::kNoCts:
      return "no-cts";
    case LineVerdict::kNoReply:
      return "no-reply";
    case LineVerdict::kSpoiled:
      return "spoiled";
    case LineVerdict::kRefused:
      return "refused";
    case LineVerdict::kOk:
      return "ok";
  }
  return "no-port";
}

int verdictExitCode(LineVerdict verdict) {
  switch (verdict) {
    case LineVerdict::kNoPort:
      return kExitNoPort;
    case LineVerdict::kNoCts:
      return kExitNoCts;
    case LineVerdict::kNoReply:
      return kExitNoReply;
    case LineVerdict::kSpoiled:
      return kExitSpoiled;
    case LineVerdict::kRefused:
      return kExitRefused;
    case LineVerdict::kOk:
      return kExitOk;
  }
  return kExitNoPort;
}

std::string verdictText(const ProbeResult& r, const ProbeTiming& timing) {
  switch (r.verdict) {
    case LineVerdict::kNoPort:
      return "the port cannot be opened: " + r.detail;
    case LineVerdict::kNoCts:
      return std::string("no CTS answer to the hand-shake within ") +
             std::to_string(timing.ctsWaitMs) +
             " ms: the cable, the terminal's power, or this is not the terminal's port";
    case LineVerdict::kNoReply:
      return std::string("CTS answers but no reply came within ") +
             std::to_string(timing.replyWaitMs) + " ms" +
             (r.detail.empty() ? std::string() : " (" + r.detail + ")") +
             ": another device on this port, or the terminal's line settings (9600 8N1)";
    case LineVerdict::kSpoiled:
      return "replies come spoiled, " + r.detail +
             ": noise on the line (the cable, its screen and length) or wrong line settings";
    case LineVerdict::kRefused:
      return "the terminal refused tsReset, " + r.detail;
    case LineVerdict::kOk:
      return std::string("the terminal answered tsReset in ") + std::to_string(r.roundTripMs) +
             " ms, " + r.detail;
  }
  return {};
}

std::string portDeviceName(unsigned port) {
  const std::string variable = std::string("VEXCARD_COM") + std::to_string(port);
  const char* value = std::getenv(variable.c_str());
  const std::string mapped = value != nullptr ? value : "";
  if (kDriverIsLoaded) {
    // Windows takes only a network serial port from the variable.
    if (mapped.rfind("rfc2217://", 0) == 0) return mapped;
    return std::string("\\\\.\\COM") + std::to_string(port);
  }
  if (!mapped.empty()) return mapped;
  return std::string("/dev/ttyS") + std::to_string(port - 1);
}

}  // namespace vexcard::cli
