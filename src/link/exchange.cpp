// The command exchange: one request to the terminal, with the RTS/CTS hand-shake, up to
// five attempts, the wait for the reply, the log lines of every request and reply, and
// the terminal's three reply codes that the link answers itself (0x81 shift out of step,
// 0x8F previous command still running, 0x01 accepted and still executing).
//
// These are members of TSmartDriver: they work on its receiver, events and lock.
#include <exception>
#include <string>

#include "driver/smart_driver.h"
#include "link/keep_alive.h"
#include "link/link_state.h"
#include "link/status_texts.h"
#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/timing.h"
#include "vexcard/exception.h"

namespace vexcard::driver {

using namespace vexcard::literals;
using timing::Delay;

namespace {

constexpr std::uint8_t kMaxAttempts = 5;
constexpr int kHandshakeTries = 3;
constexpr std::size_t kReplyCodeByte = 2;
constexpr std::size_t kTerminalShiftByte = 4;

}  // namespace

std::int32_t TSmartDriver::SendCommand(const std::uint8_t* bytes, std::uint8_t count) {
  // Restart the keep-alive thread's idle count before waiting for the lock, so that a poll
  // that is already queued behind a host exchange does not fire straight after it.
  link::keepAliveEvent().set();
  ExchangeLock.lock();
  ++ExchangeDepth;
  // Leaves the exchange on every way out: the lock is released first, then the link state
  // returns to "exchange in progress" so that stray bytes between exchanges wake nobody.
  struct Leave {
    TSmartDriver& self;
    ~Leave() {
      --self.ExchangeDepth;
      self.ExchangeLock.unlock();
      self.Receiver.LinkState.store(link::kLinkInProgress);
    }
  } leave{*this};
  return ExchangeWithRetries(bytes, count);
}

link::FrameText TSmartDriver::BuildFrame(const std::uint8_t* bytes, std::uint8_t count) {
  // encodeFrame checks the same limits; checking here first keeps a refused request from
  // consuming a packet index.
  if (bytes == nullptr || count < link::kMinCommandBytes || count > link::kMaxCommandBytes) {
    return link::encodeFrame(bytes, count, 0);  // throws the frame layer's error
  }
  return link::encodeFrame(bytes, count, NextPacketIndex());
}

void TSmartDriver::ResetReceiver() {
  ReplyLength = 0;
  // Under the receiver's lock, so that no verdict on bytes parsed before the reset can
  // set the event after it.
  std::lock_guard<std::mutex> guard(RxLock);
  ReplyEvent.reset();
  Receiver.ResetReceiver();
}

std::int32_t TSmartDriver::ExchangeWithRetries(const std::uint8_t* bytes, std::uint8_t count) {
  // Every attempt resends this text, with one packet index.
  const link::FrameText frame = BuildFrame(bytes, count);
  // Commands that the exchange issues itself take the reply codes below as they come.
  const bool answersReplyCodes = ExchangeDepth == 1;

  std::uint8_t attempts = 0;
  while (attempts < kMaxAttempts) {
    try {
      ResetReceiver();
      SendWithHandshake(frame);
      LastExchangeResult = AwaitReply();
      // The reply code is read whatever the attempt's outcome: after a time-out it is the
      // code of an earlier reply.
      if (answersReplyCodes && ReplyData[kReplyCodeByte] == kReplyShiftMismatch) {
        ResynchroniseShift();
        LastExchangeResult = link::kLinkInProgress;  // send the caller's frame again
      }
      if (answersReplyCodes && ReplyData[kReplyCodeByte] == kReplyBusy) {
        const std::int32_t before = LastExchangeResult;
        timing::sleep(Delay::kBusyPause);
        tsReset();  // after the terminal's own 0x8F its result 0 ends the loop
        keepFailure(before);
      }
      attempts = static_cast<std::uint8_t>(attempts + (LastExchangeResult == 0 ? kMaxAttempts : 1));
    } catch (const std::exception&) {
      LastExchangeResult = Receiver.LinkState.load();
      ++attempts;
    }
  }

  if (answersReplyCodes && ReplyData[kReplyCodeByte] == kReplyExecuting) {
    const std::int32_t before = LastExchangeResult;
    timing::sleep(Delay::kExecutingPause);
    tsReset();  // its error leaves SendCommand
    keepFailure(before);
  }
  return LastExchangeResult;
}

// The reply code that brings a tsReset may be stale: an attempt that got no good reply
// reads the code an earlier reply left in ReplyData. The tsReset still goes out, but its
// success must not pass for the success of a request that got no reply (or was answered
// "shifts out of step"): the failure the attempt had before the tsReset stands.
void TSmartDriver::keepFailure(std::int32_t before) {
  if (before != 0) LastExchangeResult = before;
}

void TSmartDriver::ResynchroniseShift() {
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
  tsOpenShift(normaliseShift(ShiftNo.load()), platform::nowOle(), ShiftDate.load());
}

void TSmartDriver::SendWithHandshake(const link::FrameText& frame) {
  for (int tries = 0; tries < kHandshakeTries; ++tries) {
    CtsEvent.reset();
    SetLines(true);
    if (CtsEvent.wait(timing::ms(Delay::kCtsAnswer))) {
      LogHexDump(frame.text.data(), frame.length, "Send:");
      try {
        PutBlock(frame.text.data(), frame.length);
      } catch (const std::exception&) {
        Receiver.LinkState.store(link::kLinkSendFailed);
      }
      // RTS and DTR stay raised: the receiver drops them when the reply's ETX arrives.
      return;
    }
    SetLines(false);
    timing::sleep(Delay::kHandshakeRetry);
  }
  logging::WriteLog(1, "Не удалось связаться с терминалом"_w1251);
  throw Exception(std::string("Ошибка связи с платежным терминалом"_w1251));
}

std::int32_t TSmartDriver::AwaitReply() {
  const bool replied = ReplyEvent.wait(timing::ms(Delay::kReplyWait));
  std::int32_t state;
  {
    std::lock_guard<std::mutex> guard(RxLock);
    if (!replied) Receiver.LinkState.store(link::kLinkReplyTimeout);
    state = Receiver.LinkState.load();
    // The whole buffer is copied: bytes a shorter reply did not write keep what an
    // earlier reply left there, as the card operations expect.
    ReplyData = Receiver.ReplyData;
    ReplyLength = Receiver.ReplyLength;
  }
  const std::string caption = state == link::kLinkOk
                                  ? link::ReplyCodeText(ReplyData[kReplyCodeByte]) + ": "
                                  : link::LinkStateText(state, 0);
  LogHexDump(ReplyData.data(), ReplyLength, caption);
  return state;
}

}  // namespace vexcard::driver
