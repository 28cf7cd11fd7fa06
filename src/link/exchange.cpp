// The command exchange: one request to the terminal, with the RTS/CTS hand-shake, up to
// five attempts, the wait for the reply, the log lines of every request and reply, and
// the terminal's three reply codes that the link answers itself (0x81 shift out of step,
// 0x8F previous command still running, 0x01 accepted and still executing).
//
// These are members of TTerminalLink: they work on its receiver, events and lock.
#include <chrono>
#include <exception>
#include <string>

#include "link/keep_alive.h"
#include "link/link_state.h"
#include "link/status_texts.h"
#include "link/terminal_link.h"
#include "link/wire_values.h"
#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/timing.h"
#include "vexcard/exception.h"

namespace vexcard::link {

using namespace vexcard::literals;
using timing::Delay;

namespace {

constexpr std::uint8_t kMaxAttempts = 5;
constexpr int kHandshakeTries = 3;
constexpr std::size_t kReplyCodeByte = 2;
constexpr std::size_t kTerminalShiftByte = 4;

// Commands the exchange may issue on its own (at any depth) within one exchange that a
// caller started. Each attempt of a request may bring at most two (tsCloseShift and
// tsOpenShift, or one tsReset), and those may themselves be answered with the codes the
// exchange handles; 16 leaves room for a terminal that is busy or out of step a few times
// in a row, and stops one that answers every command so before the stack or the host's
// patience runs out. Once spent, every exchange under way fails.
constexpr int kMaxNestedExchanges = 16;

// How many requests an unanswered request is remembered for. A late reply comes within
// the next few requests; past this a terminal that does not echo the request could see a
// reply of its own refused only by the chance that its first two bytes name the old one.
constexpr std::uint32_t kUnansweredSpan = 16;

}  // namespace

std::int32_t TTerminalLink::SendCommand(const std::uint8_t* bytes, std::uint8_t count) {
  // Restart the keep-alive thread's idle count before waiting for the lock. A poll that is
  // already queued on the lock behind this exchange is not stopped by it; the poll itself
  // stands down when an exchange ended during its idle wait (keepAlivePoll).
  keepAliveEvent().set();
  ExchangeLock.lock();
  ++ExchangeDepth;
  // Leaves the exchange on every way out: the lock is released first, then the link state
  // returns to "exchange in progress" so that stray bytes between exchanges wake nobody.
  struct Leave {
    TTerminalLink& self;
    ~Leave() {
      if (self.ExchangeDepth == 1) {
        self.journalOutcome();
        self.LastExchangeEnd = std::chrono::steady_clock::now();
      }
      --self.ExchangeDepth;
      self.ExchangeLock.unlock();
      self.Receiver.LinkState.store(kLinkInProgress);
    }
  } leave{*this};
  if (ExchangeDepth == 1) {
    NestedExchanges = 0;
    NestedLimitReached = false;
    OutcomeUnknown = false;
  } else if (NestedLimitReached || ++NestedExchanges > kMaxNestedExchanges) {
    // Nothing more goes out; the exchanges under way see the flag and give up.
    if (!NestedLimitReached) {
      logging::WriteLog(1, "Слишком много вложенных команд обмена, обмен прерван"_w1251);
    }
    NestedLimitReached = true;
    return kLinkInProgress;
  }
  return ExchangeWithRetries(bytes, count);
}

std::optional<std::chrono::steady_clock::time_point> TTerminalLink::keepAlivePoll(
    std::chrono::steady_clock::time_point idleSince) {
  std::lock_guard<platform::RecursiveLock> hold(ExchangeLock);
  // Not idle: the poller waits for the rest of the period counted from that exchange.
  if (LastExchangeEnd > idleSince) return LastExchangeEnd;
  tsReset();
  return std::nullopt;
}

FrameText TTerminalLink::BuildFrame(const std::uint8_t* bytes, std::uint8_t count) {
  // encodeFrame checks the same limits; checking here first keeps a refused request from
  // consuming a packet index.
  if (bytes == nullptr || count < kMinCommandBytes || count > kMaxCommandBytes) {
    return encodeFrame(bytes, count, 0);  // throws the frame layer's error
  }
  // The counter is persisted during the first hand-shake (persistPending), before the
  // frame is written.
  return encodeFrame(bytes, count, advancePacketIndex());
}

void TTerminalLink::ResetReceiver() {
  ReplyLength = 0;
  // Under the receiver's lock, so that no verdict on bytes parsed before the reset can
  // set the event after it.
  std::lock_guard<std::mutex> guard(RxLock);
  ReplyEvent.reset();
  Receiver.ResetReceiver();
}

void TTerminalLink::ResetReceiver(const RequestId& expected) {
  ReplyLength = 0;
  std::lock_guard<std::mutex> guard(RxLock);
  ReplyEvent.reset();
  Receiver.ResetReceiver();
  Receiver.Expected = expected;
  Receiver.EarlierCount = 0;
  for (std::size_t k = 0; k < UnansweredCount; ++k) {
    if (!(UnansweredRequests[k].id == expected)) {
      Receiver.Earlier[Receiver.EarlierCount++] = UnansweredRequests[k].id;
    }
  }
}

void TTerminalLink::forgetUnanswered(const RequestId& id) {
  std::size_t kept = 0;
  for (std::size_t k = 0; k < UnansweredCount; ++k) {
    const Unanswered& u = UnansweredRequests[k];
    // Entries too old to be answered late go too.
    if (u.id == id || RequestCount - u.request > kUnansweredSpan) continue;
    UnansweredRequests[kept++] = u;
  }
  UnansweredCount = kept;
}

void TTerminalLink::rememberUnanswered(const RequestId& id) {
  forgetUnanswered(id);
  if (UnansweredCount == UnansweredRequests.size()) {
    std::move(UnansweredRequests.begin() + 1, UnansweredRequests.end(), UnansweredRequests.begin());
    --UnansweredCount;
  }
  UnansweredRequests[UnansweredCount++] = Unanswered{id, RequestCount};
}

namespace {

// A failure to persist what the exchange left pending. It is no std::exception, so that
// the attempt loop, which swallows every error of an attempt, lets it leave SendCommand.
struct PersistFailure {
  std::exception_ptr cause;
};

// How the line failed in an exchange: from whether any attempt got a CTS answer and the
// result of the last attempt.
LineFault lineFaultOf(bool handshakeAnswered, std::int32_t result) {
  if (!handshakeAnswered) return LineFault::kNoAnswer;
  switch (result) {
    case kLinkReplyTimeout:
      return LineFault::kNoReply;
    case kLinkBadTerminator:
      return LineFault::kSpoiled;
    case kLinkNotReady:
      return LineFault::kNotReady;
    case kLinkSendFailed:
      return LineFault::kSendFailed;
    default:
      return LineFault::kNone;
  }
}

}  // namespace

std::int32_t TTerminalLink::ExchangeWithRetries(const std::uint8_t* bytes, std::uint8_t count) {
  // Every attempt resends this text, with one packet index.
  const FrameText frame = BuildFrame(bytes, count);
  ++RequestCount;
  Metrics.add(LinkCounters::kExchanges);
  const RequestId id{static_cast<std::uint8_t>(PacketCounter), bytes[0]};
  const CommandInfo* info = findCommand(bytes[0]);
  // A good reply with code 0 must carry every byte its caller reads; any reply, the code.
  const std::uint8_t replyNeeds = info != nullptr ? info->replySize : kReplyCodeByte + 1;
  const bool outer = ExchangeDepth == 1;
  const bool money = outer && isMoneyCommand(bytes[0]);
  if (outer) LastOutcome = RequestOutcome::kNotCarriedOut;
  if (money) journalRequest(bytes, count);
  // The codes are answered at every depth. The request a caller issued reads the code
  // whatever the attempt's outcome (after a time-out it is the code of an earlier reply);
  // a command the exchange issued itself answers only a reply of its own, since a stale
  // code there is the one the enclosing exchange is already answering.
  const auto answers = [this](std::uint8_t code) {
    return ReplyData[kReplyCodeByte] == code && (ExchangeDepth == 1 || LastExchangeResult == 0);
  };
  // Whether some attempt wrote the frame and got neither a good reply nor "N": the
  // terminal may have carried the command out.
  bool maybeCarriedOut = false;
  bool anyWritten = false;
  // Whether the exchange has sent commands of its own (the re-synchronisation, tsReset)
  // since the frame first went out.
  bool ownCommandsSent = false;
  // Whether some attempt got the terminal's CTS answer: none did on a dead line.
  bool handshakeAnswered = false;
  std::uint8_t attempts = 0;
  bool attempted = false;
  while (attempts < kMaxAttempts && !NestedLimitReached) {
    if (money && maybeCarriedOut && ownCommandsSent) {
      // An earlier attempt of this money request may have been carried out, and the
      // terminal has run other commands since: it would take the frame sent again for a
      // new request and carry it out a second time. The request ends here, its outcome
      // unknown.
      logging::WriteLog(1, "Запрос мог быть выполнен терминалом: повторно не отправлен"_w1251);
      LastExchangeResult = kLinkInProgress;
      break;
    }
    if (attempted) Metrics.add(LinkCounters::kRetries);
    attempted = true;
    bool written = false;
    try {
      ResetReceiver(id);
      written = SendWithHandshake(frame, id);
      handshakeAnswered = true;
      anyWritten = anyWritten || written;
      if (written && money) MoneyRequestWritten = true;
      LastExchangeResult = AwaitReply();
      if (LastExchangeResult == kLinkOk &&
          (ReplyLength <= kReplyCodeByte ||
           (ReplyData[kReplyCodeByte] == 0 && ReplyLength < replyNeeds))) {
        // Too short for what its caller reads: not a good reply. With code 0 the terminal
        // may have carried the command out.
        logging::WriteLog(1, std::string("Ответ терминала короче ожидаемого: "_w1251) +
                                 std::to_string(ReplyLength) + std::string(" из "_w1251) +
                                 std::to_string(replyNeeds) + std::string(" байт"_w1251));
        LastExchangeResult = kLinkInProgress;
        Metrics.add(LinkCounters::kSpoiledReplies);
      }
      if (LastExchangeResult == kLinkOk) Metrics.goodReply();
      if (written) {
        if (LastExchangeResult == kLinkOk) {
          forgetUnanswered(id);
        } else {
          rememberUnanswered(id);
          if (LastExchangeResult != kLinkNotReady) maybeCarriedOut = true;
        }
      }
      if (answers(kReplyShiftMismatch)) {
        ownCommandsSent = true;
        resynchroniseShift();
        LastExchangeResult = kLinkInProgress;  // send the caller's frame again
      }
      if (answers(kReplyBusy)) {
        const std::int32_t before = LastExchangeResult;
        ownCommandsSent = true;
        timing::sleep(Delay::kBusyPause);
        tsReset();
        // ReplyData now holds the tsReset reply: the caller's frame goes out again on the
        // next attempt (a stale code keeps the attempt's own failure).
        LastExchangeResult = before != 0 ? before : kLinkInProgress;
      }
      attempts = static_cast<std::uint8_t>(attempts + (LastExchangeResult == 0 ? kMaxAttempts : 1));
    } catch (const PersistFailure& failure) {
      std::rethrow_exception(failure.cause);
    } catch (const std::exception&) {
      // A failed hand-shake, or a command of the re-synchronisation or after 0x8F that
      // failed. A complete frame that came meanwhile (a late reply to an earlier attempt)
      // has set the link state to 0, but it was never taken as this attempt's reply:
      // the attempt fails.
      const std::int32_t state = Receiver.LinkState.load();
      LastExchangeResult = state == kLinkOk ? kLinkInProgress : state;
      ++attempts;
    }
  }

  // Commands sent below replace LastLineFault: each way out sets this exchange's own.
  const LineFault lineFault =
      NestedLimitReached ? LineFault::kNone : lineFaultOf(handshakeAnswered, LastExchangeResult);
  // The outcome is decided before anything below can raise, so that an error leaving the
  // exchange (the tsReset after 0x01) never leaves a request that went out unaccounted.
  if (outer) {
    if (NestedLimitReached) {
      // Stopped in the middle: a frame that went out may have been carried out.
      LastOutcome = anyWritten ? RequestOutcome::kUnknown : RequestOutcome::kNotCarriedOut;
    } else if (LastExchangeResult == kLinkOk) {
      // A refusal of a frame sent again does not undo an earlier attempt that the terminal
      // may have carried out (its reply lost or spoiled).
      LastOutcome = ReplyData[kReplyCodeByte] == 0 ? RequestOutcome::kDone
                    : maybeCarriedOut              ? RequestOutcome::kUnknown
                                                   : RequestOutcome::kRefused;
    } else {
      LastOutcome = maybeCarriedOut ? RequestOutcome::kUnknown : RequestOutcome::kNotCarriedOut;
    }
  }
  LastLineFault = lineFault;
  if (NestedLimitReached) return LastExchangeResult != 0 ? LastExchangeResult : kLinkInProgress;
  if (answers(kReplyExecuting)) {
    // The reply code may be stale (an attempt without a good reply reads the code an
    // earlier reply left); then the attempt's own failure stands. A fresh 0x01 means the
    // terminal took the command and was still at it: the tsReset that follows does not
    // tell how it ended, and sending it again could charge the card twice, so the
    // exchange fails, whatever the tsReset does.
    const std::int32_t before = LastExchangeResult;
    const auto ownReply = ReplyData;
    const std::uint8_t ownLength = ReplyLength;
    const auto keepOwnReply = [&] {
      if (before != 0) return;
      logging::WriteLog(
          1, "Команда принята терминалом, но не завершена: ее результат неизвестен"_w1251);
      // The caller's own reply, code 0x01, is what its operation reports with the error.
      ReplyData = ownReply;
      ReplyLength = ownLength;
      if (outer) {
        OutcomeUnknown = true;
        LastOutcome = RequestOutcome::kUnknown;
      }
    };
    timing::sleep(Delay::kExecutingPause);
    try {
      tsReset();
    } catch (...) {
      keepOwnReply();  // then the tsReset's error leaves SendCommand
      throw;
    }
    keepOwnReply();
    LastLineFault = lineFault;
    LastExchangeResult = before != 0 ? before : kLinkInProgress;
    if (before == 0) return LastExchangeResult;
  }
  return LastExchangeResult;
}

void TTerminalLink::resynchroniseShift() {
  timing::sleep(Delay::kResyncPause);
  const std::uint8_t terminalShift = ReplyData[kTerminalShiftByte];
  if (terminalShift == ShiftNo.load()) {
    tsResumeShift();
    return;
  }
  if (terminalShift != 0) {
    tsCloseShift();
    timing::sleep(Delay::kResyncCloseShift);
  }
  // A shift date the host never gave (0 before the first OpenShift), or one the wire
  // cannot carry, is replaced by the current date: it must not go out as another date.
  const double now = platform::nowOle();
  double shiftDate = ShiftDate.load();
  try {
    (void)PackDateTime(shiftDate);
  } catch (const Exception&) {
    shiftDate = now;
  }
  tsOpenShift(normaliseShift(ShiftNo.load()), now, shiftDate);
}

bool TTerminalLink::SendWithHandshake(const FrameText& frame, const RequestId& id) {
  for (int tries = 0; tries < kHandshakeTries; ++tries) {
    CtsEvent.reset();
    SetLines(true);
    // What must be durable before the frame goes out is flushed while the terminal
    // answers the hand-shake, so that the flushes do not lengthen the exchange.
    try {
      persistPending();
    } catch (...) {
      SetLines(false);
      throw PersistFailure{std::current_exception()};
    }
    if (CtsEvent.wait(timing::ms(Delay::kCtsAnswer))) {
      // A reply that completed during the hand-shake (a late one to an earlier request)
      // cannot answer a frame not yet written.
      ResetReceiver(id);
      LogHexDump(frame.text.data(), frame.length, "Send:");
      try {
        PutBlock(frame.text.data(), frame.length);
      } catch (const std::exception&) {
        Receiver.LinkState.store(kLinkSendFailed);
        return false;  // nothing was accepted for sending
      }
      // RTS and DTR stay raised: the receiver drops them when the reply's ETX arrives.
      return true;
    }
    SetLines(false);
    timing::sleep(Delay::kHandshakeRetry);
  }
  Metrics.add(LinkCounters::kHandshakeFailures);
  logging::WriteLog(1, "Не удалось связаться с терминалом"_w1251);
  throw Exception(std::string("Ошибка связи с платежным терминалом"_w1251));
}

std::int32_t TTerminalLink::AwaitReply() {
  const bool replied = ReplyEvent.wait(timing::ms(Delay::kReplyWait));
  std::int32_t state;
  {
    std::lock_guard<std::mutex> guard(RxLock);
    if (!replied) Receiver.LinkState.store(kLinkReplyTimeout);
    state = Receiver.LinkState.load();
    // A reply whose checksum failed leaves the receiver parked until the wait runs out: it
    // came spoiled, it did not fail to come.
    if (!replied && Receiver.RxState == ReplyReceiver::kChecksumFailed) {
      Metrics.add(LinkCounters::kSpoiledReplies);
    } else if (!replied) {
      Metrics.add(LinkCounters::kTimeouts);
    } else if (state == kLinkBadTerminator) {
      Metrics.add(LinkCounters::kSpoiledReplies);
    }
    // The whole buffer is copied: bytes a shorter reply did not write keep what an
    // earlier reply left there, as the card operations expect.
    ReplyData = Receiver.ReplyData;
    ReplyLength = Receiver.ReplyLength;
  }
  const std::string caption =
      state == kLinkOk ? ReplyCodeText(ReplyData[kReplyCodeByte]) + ": " : LinkStateText(state, 0);
  LogHexDump(ReplyData.data(), ReplyLength, caption);
  return state;
}

}  // namespace vexcard::link
