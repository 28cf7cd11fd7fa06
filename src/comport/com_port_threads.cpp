// TComPort's worker threads: the event thread (line events, the device side of the input
// ring, DataReceived and OnModemStatus) and the writer thread (the device side of the
// output ring).
//
// Both threads block in waits and never poll. Stopping never abandons a thread: the
// stopper asks (StopFlag, StopEvent, WriteWake for the writer, an event mask of 0 for the
// event thread), waits for the acknowledgement, and when a thread misses it, repeats the
// nudge that ends its blocking device call (cancelWrite, setEventMask(0)) after every
// missed window until the thread has ended; then it joins it. A device write ends within
// the device's write time-out in any case, so stopping always completes, and since Close
// releases the rings and the device only after both joins, no worker touches them later.
//
// A device call that fails at once (an event wait failing with an error other than
// "invalid parameter", or a write) is retried after a pause on StopEvent, which a stop
// ends at once: the threads neither spin on a broken device nor delay the stop.
#include <exception>

#include "comport/com_port.h"
#include "platform/timing.h"

namespace vexcard::comport {

using Lock = platform::Guard<platform::RecursiveLock>;
using timing::Delay;

void TComPort::StartThreads() {
  Lock g(PortLock);
  StopFlag.store(false);
  EventThreadEnded.store(false);
  WriterThreadEnded.store(false);
  ThreadAck.reset();
  WriteWake.reset();
  WriteAbort.reset();
  StopEvent.reset();
  EventThread.start([this] { eventThreadBody(); }, true);
  // A thread that has not acknowledged in time simply goes on starting.
  (void)ThreadAck.wait(timing::ms(Delay::kThreadStartAck));
  WriterThread.start([this] { writerThreadBody(); }, true);
  (void)ThreadAck.wait(timing::ms(Delay::kThreadStartAck));
}

// Runs without PortLock: the workers take it for their ring updates, so holding it here
// while waiting for them could never end.
void TComPort::StopThreads() noexcept {
  if (!EventThread.joinable() && !WriterThread.joinable()) return;
  StopFlag.store(true);
  StopEvent.set();
  WriteWake.set();
  // One ThreadAck serves both threads, so an acknowledgement may be the other thread's;
  // the ended flags (set before each final acknowledgement) tell which thread is done.
  const auto awaitEnd = [this](const std::atomic<bool>& ended, auto&& nudge) {
    while (!ended.load()) {
      if (!ThreadAck.wait(timing::ms(Delay::kThreadStopAck)) && !ended.load()) nudge();
    }
  };
  if (WriterThread.joinable()) {
    awaitEnd(WriterThreadEnded, [this] { Device->cancelWrite(); });
    WriterThread.join();
  }
  if (EventThread.joinable()) {
    // Completes the pending event wait (its last OnModemStatus carries the mask 0).
    Device->setEventMask(0);
    awaitEnd(EventThreadEnded, [this] { Device->setEventMask(0); });
    EventThread.join();
  }
}

// An error escaping a hook must not end the event thread (nor the process): it is logged
// as a port line (a dump with no bytes is the caption alone, and never throws).
void TComPort::notifyDataReceived(std::uint16_t count) noexcept {
  try {
    DataReceived(count);
  } catch (const std::exception& e) {
    LogHexDump(nullptr, 0, e.what());
  } catch (...) {
  }
}

void TComPort::notifyModemStatus(std::uint32_t mask) noexcept {
  try {
    OnModemStatus(mask);
  } catch (const std::exception& e) {
    LogHexDump(nullptr, 0, e.what());
  } catch (...) {
  }
}

void TComPort::eventThreadBody() {
  SerialDevice& device = *Device;  // lives until this thread has been joined
  CurrentEventMask = kEventMaskFull;
  device.setEventMask(CurrentEventMask);
  CommTimeouts timeouts;
  timeouts.readInterval = 0xFFFFFFFFu;  // reads return at once with what has arrived
  timeouts.writeTotalConstant = timing::ms(Delay::kDeviceWriteTimeout);
  device.setTimeouts(timeouts);
  ThreadAck.set();

  for (;;) {
    switch (device.waitEvent(CommEventMask)) {
      // A wait that completes at once carries events that came while this thread was busy
      // (a CTS change among them): they reach the modem-status hook like any other, or the
      // terminal's ready signal would be lost and its hand-shake try would run out.
      case EventWaitResult::kCompletedAtOnce:
      case EventWaitResult::kCompletedAfterPending:
        notifyModemStatus(CommEventMask);
        break;
      case EventWaitResult::kResultFailed:
        // The device is gone: receiving ends until the port is opened again.
        EventThreadEnded.store(true);
        return;
      case EventWaitResult::kInvalidParameter:
        if ((CurrentEventMask & kEvDeviceSpecific) != 0 && !StopFlag.load()) {
          CurrentEventMask = kEventMaskFallback;
          device.setEventMask(CurrentEventMask);
          break;
        }
        [[fallthrough]];
      case EventWaitResult::kFailed:
        (void)StopEvent.wait(timing::ms(Delay::kPortRetryPause));
        break;
    }
    if (StopFlag.load()) break;
    ProcessCommEvent();
    if (StopFlag.load()) break;
  }
  EventThreadEnded.store(true);
  ThreadAck.set();
}

void TComPort::ProcessCommEvent() {
  if ((CommEventMask & (kEvBreak | kEvErr)) != 0) UpdateLineErrors();
  if ((CommEventMask & kEvRxChar) != 0) FillInputRing();
}

void TComPort::FillInputRing() {
  std::uint16_t h;
  std::uint32_t first;
  std::uint32_t toRead;
  {
    Lock g(PortLock);
    // A full ring takes nothing: the bytes wait in the device until the consumer has made
    // room and the next receive event arrives.
    if (InputFull) return;
    UpdateLineErrors();
    const std::uint32_t available = CommStatus.inQueue;
    if (available == 0) return;
    h = InputHead;
    const std::uint16_t t = InputTail;
    std::uint32_t free;
    if (t == h) {
      free = kInputRingSize;
      first = kInputRingSize - h;
    } else if (t < h) {
      free = kInputRingSize - (h - t);
      first = kInputRingSize - h;
    } else {
      free = t - h;
      first = t - h;
    }
    InputOverflow = available > free;
    toRead = InputOverflow ? free : available;
  }
  const std::uint32_t second = first < toRead ? toRead - first : 0;
  // The reads fill free space only (second never passes the read index): no lock needed.
  const std::uint32_t firstRead = ReadDevice(InputRing.get() + h, first);
  std::uint32_t secondRead = 0;
  if (second > 0 && firstRead == first) secondRead = ReadDevice(InputRing.get(), second);
  const std::uint32_t total = firstRead + secondRead;
  {
    Lock g(PortLock);
    InputHead = static_cast<std::uint16_t>((h + total) % kInputRingSize);
    if (total > 0) InputFull = InputHead == InputTail;
  }
  notifyDataReceived(static_cast<std::uint16_t>(total));
}

std::uint32_t TComPort::ReadDevice(std::uint8_t* destination, std::uint32_t count) {
  return Device->read(destination, count);
}

void TComPort::writerThreadBody() {
  ThreadAck.set();
  for (;;) {
    if (platform::Event::waitAny(WriteWake, WriteAbort, platform::kInfinite) == 0) {
      if (StopFlag.load()) break;
      DrainOutput();
    } else {
      ThreadAck.set();  // WriteAbort
    }
    if (StopFlag.load()) break;
  }
  WriterThreadEnded.store(true);
  ThreadAck.set();
}

bool TComPort::OutputPending() {
  Lock g(PortLock);
  return OutputFull || OutputHead != OutputTail;
}

// Writes whole contiguous chunks: from the read index to the write index, or, when the
// data wraps (or the ring is full), from the read index to the end of the ring first.
// Draining goes on while output is pending, a stop request included, so that the second
// part of a wrapped block follows the first; only a write that fails once a stop has been
// asked for (the stopper cancels a stalled write) ends it with the rest unsent.
void TComPort::DrainOutput() {
  SerialDevice& device = *Device;
  while (OutputPending()) {
    std::uint16_t start;
    std::uint16_t end;
    bool wrap;
    {
      Lock g(PortLock);
      start = OutputTail;
      wrap = !(OutputHead > OutputTail);
      end = wrap ? OutputRingSize : OutputHead;
    }
    std::uint32_t written = 0;
    // A chunk counts as sent once its write has completed, whatever count the device
    // reports: a write cut short by the device's write time-out loses the rest.
    if (device.write(OutputRing.get() + start, end - start, written)) {
      Lock g(PortLock);
      OutputTail = wrap ? 0 : end;
      OutputFull = false;
    } else {
      // Failed or cancelled: the same chunk again after a pause, unless a stop was asked
      // for before or during it.
      if (StopFlag.load() || StopEvent.wait(timing::ms(Delay::kPortRetryPause))) return;
    }
  }
}

}  // namespace vexcard::comport
