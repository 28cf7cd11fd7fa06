// Cases for the Win32 serial device and the COM mapping, against a line whose far end
// echoes every byte (Win32Context::loopPort).
//
// Waits for the line use a watchdog: a case that sees nothing within kWatchdogMs fails
// instead of hanging. The watchdog only bounds a failing run; no case depends on timing.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "comport/device_map.h"
#include "driver/env.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "win32_cases.h"

namespace vexcard::wintest {
namespace {

using namespace vexcard::comport;
using platform::Event;
using platform::EventReset;

constexpr std::uint32_t kWatchdogMs = 30000;
constexpr std::uint32_t kNudgeMs = 100;

std::unique_ptr<SerialDevice> openLoop(const Win32Context& ctx, Verdict& v) {
  if (!v.check(ctx.loopPort != 0, "no loop-back COM port given")) return nullptr;
  auto device = openSerialDevice(ctx.loopPort);
  v.check(device != nullptr, "COM" + std::to_string(ctx.loopPort) + " does not open");
  return device;
}

// The settings the port installs: immediate reads, writes bounded by 20000 ms.
bool prepare(SerialDevice& d) {
  CommTimeouts t;
  t.readInterval = 0xFFFFFFFF;
  t.writeTotalConstant = 20000;
  return d.setTimeouts(t);
}

bool writeAll(SerialDevice& d, const std::string& bytes) {
  std::uint32_t written = 0;
  return d.write(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()), written) &&
         written == bytes.size();
}

// Runs waitEvent on a thread of its own; calls nudge every kNudgeMs until the wait has
// ended (or the watchdog gives up, ending the wait with an event mask of 0).
struct EventWait {
  EventWaitResult result = EventWaitResult::kFailed;
  std::uint32_t mask = 0xFFFFFFFF;
  bool ended = false;

  template <class Nudge>
  void run(SerialDevice& d, Nudge nudge) {
    Event done(EventReset::kManual);
    platform::Thread waiter;
    waiter.start([&] {
      result = d.waitEvent(mask);
      done.set();
    });
    for (std::uint32_t waited = 0; waited < kWatchdogMs; waited += kNudgeMs) {
      nudge();
      if (done.wait(kNudgeMs)) break;
    }
    ended = done.wait(0);
    // A wait that even an event mask of 0 does not end cannot be joined: give up the run.
    for (std::uint32_t waited = 0; !done.wait(kNudgeMs); waited += kNudgeMs) {
      if (waited >= kWatchdogMs) {
        std::printf("FAIL  an event wait does not end on setEventMask(0): run abandoned\n");
        std::fflush(stdout);
        std::_Exit(1);
      }
      d.setEventMask(0);
    }
    waiter.join();
  }
};

// Reads until count bytes have come or the watchdog runs out.
std::string readSome(SerialDevice& d, std::size_t count) {
  std::string got;
  for (std::uint32_t waited = 0; got.size() < count && waited < kWatchdogMs;) {
    std::uint8_t buf[64];
    const std::uint32_t n = d.read(buf, sizeof buf);
    got.append(reinterpret_cast<const char*>(buf), n);
    if (n == 0) {
      ::Sleep(10);
      waited += 10;
    }
  }
  return got;
}

// The receive queue's count once it holds at least one byte (or the watchdog ran out).
std::uint32_t queued(SerialDevice& d, std::uint32_t atLeast = 1) {
  CommStatusRecord status;
  for (std::uint32_t waited = 0; waited < kWatchdogMs; waited += 10) {
    d.clearError(status);
    if (status.inQueue >= atLeast) break;
    ::Sleep(10);
  }
  return status.inQueue;
}

// Skips a case that reads the line where that cannot be tried; returns whether it can.
bool canRead(const Win32Context& ctx, Verdict& v) {
  if (!ctx.lineReads) v.skip("reading the line is not tried here (--no-line-reads)");
  return ctx.lineReads;
}

void missingPortCase(Win32Context&, Verdict& v) {
  v.check(openSerialDevice(0) == nullptr, "COM0 opens");
  v.check(openSerialDevice(250) == nullptr, "COM250 opens without a device");
}

void exclusiveCase(Win32Context& ctx, Verdict& v) {
  auto first = openLoop(ctx, v);
  if (!first) return;
  if (runningUnderWine()) {
    v.skip("Wine does not enforce exclusive opens of COM devices");
    return;
  }
  v.check(openSerialDevice(ctx.loopPort) == nullptr, "a second opener gets the open port");
  first.reset();
  v.check(openSerialDevice(ctx.loopPort) != nullptr, "the port does not open after closing");
}

void overrideCase(Win32Context&, Verdict& v) {
  std::atomic<int> calls{0};
  {
    Env env = currentEnv();
    env.devices[251] = [&]() -> std::unique_ptr<SerialDevice> {
      ++calls;
      return nullptr;
    };
    EnvScope mapped(env);
    openSerialDevice(251);
  }
  openSerialDevice(251);
  v.check(calls == 1, "the override was called " + std::to_string(calls) + " times");
}

void settingsCase(Win32Context& ctx, Verdict& v) {
  auto d = openLoop(ctx, v);
  if (!d) return;
  LineSettings s;
  if (!v.check(d->getSettings(s), "getSettings fails")) return;
  s.baudRate = 9600;
  s.byteSize = 8;
  s.parity = 0;
  s.stopBits = 0;
  s.flags = (s.flags & 0xCFEF) | 0x0001;
  v.check(d->setSettings(s), "9600 8N1 is refused");
  LineSettings back;
  v.check(d->getSettings(back), "getSettings fails after setSettings");
  v.check(back.baudRate == 9600 && back.byteSize == 8 && back.parity == 0 && back.stopBits == 0,
          "settings read back as " + std::to_string(back.baudRate) + " " +
              std::to_string(back.byteSize) + " " + std::to_string(back.parity) + " " +
              std::to_string(back.stopBits));
  v.check((back.flags & 0x0001) != 0, "the binary-mode bit is lost from the flags word");
  // Wine reports fixed RTS and DTR control fields whatever was set.
  if (!runningUnderWine()) {
    v.check((back.flags & 0x3010) == 0, "RTS or DTR control left enabled in the flags word");
  }
  LineSettings bad = back;
  bad.byteSize = 3;
  v.check(!d->setSettings(bad), "a byte size of 3 is accepted");
  v.check(d->getSettings(back) && back.byteSize == 8, "a refused setting changed the device");
}

void echoCase(Win32Context& ctx, Verdict& v) {
  if (!canRead(ctx, v)) return;
  auto d = openLoop(ctx, v);
  if (!d) return;
  v.check(prepare(*d), "time-outs refused");
  std::uint8_t buf[16];
  v.check(d->read(buf, sizeof buf) == 0, "a read on an empty line returns bytes");
  // Receive events only: modem-line events need modem lines, which a pseudo-terminal has not.
  v.check(d->setEventMask(kEvRxChar), "event mask refused");
  // The byte arrives before the wait starts: the wait reports it from the device's event
  // history. (Writing while a wait is pending is what the port does, but Wine cancels a
  // pending event wait on every write, so the test does not.)
  v.check(writeAll(*d, "x"), "writing 1 byte fails");
  v.check(queued(*d) >= 1, "the echo of 1 byte does not arrive");
  EventWait w;
  w.run(*d, [] {});
  v.check(w.ended, "no receive event within the watchdog");
  v.check(w.result == EventWaitResult::kCompletedAfterPending ||
              w.result == EventWaitResult::kCompletedAtOnce,
          "the event wait ended with result " + std::to_string(static_cast<int>(w.result)));
  v.check((w.mask & kEvRxChar) != 0, "mask " + std::to_string(w.mask) + " without kEvRxChar");
  v.check(readSome(*d, 1) == "x", "the echo does not read back");
  v.check(writeAll(*d, "hello"), "writing 5 bytes fails");
  v.check(readSome(*d, 5) == "hello", "the echo of \"hello\" does not read back");
}

void stopWaitCase(Win32Context& ctx, Verdict& v) {
  auto d = openLoop(ctx, v);
  if (!d) return;
  v.check(prepare(*d) && d->setEventMask(kEvRxChar), "preparing the port fails");
  EventWait w;
  w.run(*d, [&] { d->setEventMask(0); });
  v.check(w.ended, "setEventMask(0) does not end a pending event wait");
  // Windows completes the pending wait with an empty mask; Wine fails its result, which
  // ends the port's event thread just the same.
  const bool resultFailedAccepted = runningUnderWine();
  v.check(w.result != EventWaitResult::kFailed &&
              (w.result != EventWaitResult::kResultFailed || resultFailedAccepted),
          "the ended wait reports result " + std::to_string(static_cast<int>(w.result)));
  if (w.result == EventWaitResult::kCompletedAfterPending) {
    v.check(w.mask == 0, "the ended wait reports mask " + std::to_string(w.mask));
  }
}

void queueCase(Win32Context& ctx, Verdict& v) {
  if (!canRead(ctx, v)) return;
  auto d = openLoop(ctx, v);
  if (!d) return;
  v.check(prepare(*d), "time-outs refused");
  v.check(writeAll(*d, "abc"), "writing fails");
  const std::uint32_t count = queued(*d, 3);
  v.check(count == 3, "the receive queue holds " + std::to_string(count));
  v.check(d->purge(kPurgeRxAbort | kPurgeRxClear), "purge refused");
  CommStatusRecord status;
  d->clearError(status);
  v.check(status.inQueue == 0, "the purged queue holds " + std::to_string(status.inQueue));
  std::uint8_t buf[8];
  v.check(d->read(buf, sizeof buf) == 0, "purged bytes are still read");
}

void cancelCase(Win32Context& ctx, Verdict& v) {
  if (!canRead(ctx, v)) return;
  auto d = openLoop(ctx, v);
  if (!d) return;
  v.check(prepare(*d), "time-outs refused");
  d->cancelWrite();
  std::uint32_t written = 99;
  const std::uint8_t byte = 'c';
  v.check(!d->write(&byte, 1, written) && written == 0,
          "a cancel made before the write does not end it");
  v.check(d->write(&byte, 1, written) && written == 1, "the cancel also ends the next write");
  v.check(readSome(*d, 1) == "c", "the written byte does not come back");
}

}  // namespace

void addDeviceCases(std::vector<Case<Win32Context>>& cases) {
  cases.push_back({"COM mapping: COM0 and a port without a device do not open", missingPortCase});
  cases.push_back(
      {"COM mapping: an in-process override comes first and can be removed", overrideCase});
  cases.push_back({"device: opened exclusively", exclusiveCase});
  cases.push_back(
      {"device: line settings round-trip, a refused one changes nothing", settingsCase});
  cases.push_back({"device: receive event, immediate reads, echoed writes", echoCase});
  cases.push_back({"device: setEventMask(0) ends a pending event wait", stopWaitCase});
  cases.push_back({"device: queue count and receive purge", queueCase});
  cases.push_back(
      {"device: cancelWrite ends the write it precedes, and only that one", cancelCase});
}

}  // namespace vexcard::wintest
