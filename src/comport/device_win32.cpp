// The Win32 serial device: "\\.\COM<n>" opened exclusively with FILE_FLAG_OVERLAPPED.
//
// Every operation maps onto one communications call. The three that can block use their
// own OVERLAPPED record and manual-reset completion event, so that the event thread
// (waitEvent, read), the writer thread (write) and the callers (the rest) never share one:
//   waitEvent  WaitCommEvent; a pending wait is ended by the next SetCommMask (mask 0 on
//              stop), which completes it with an empty mask;
//   read       ReadFile under the port's time-outs (read interval MAXDWORD, totals 0), which
//              return at once with what the driver's queue holds; a read that goes pending
//              anyway is cancelled at once;
//   write      WriteFile, then a wait for its completion or for the cancel event. A write
//              ends by the device's write time-out (20000 ms as the port installs it); a
//              device that ignores it is cancelled after the writer's own limit. A
//              cancelled write is stopped with CancelIoEx and awaited before its
//              OVERLAPPED record goes out of scope.
// cancelWrite sets an auto-reset event: it ends the write in progress, or, when none is,
// the next one before it starts (the port calls it only while stopping its writer).
//
// Thread-safety: as SerialDevice requires. The handles do not change between open and
// destruction; Win32 allows the calls above to run on one handle at the same time.
#include "comport/device_win32.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "comport/device_map.h"
#include "platform/timing.h"

namespace vexcard::comport {
namespace {

// The DCB's flags word (fBinary .. fDummy2) is the DWORD after BaudRate.
constexpr std::size_t kDcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == kDcbFlagsOffset + sizeof(DWORD),
              "the DCB flags word must be one DWORD before wReserved");

class Win32SerialDevice final : public SerialDevice {
 public:
  ~Win32SerialDevice() override {
    if (device_ != INVALID_HANDLE_VALUE) {
      // Nothing may be pending any more; this only guards against a caller that broke
      // that rule leaving the system writing into a freed OVERLAPPED record.
      ::CancelIoEx(device_, nullptr);
      ::CloseHandle(device_);
    }
    for (HANDLE h : {waitDone_, readDone_, writeDone_, writeCancel_}) {
      if (h != nullptr) ::CloseHandle(h);
    }
  }

  bool open(const std::string& path) {
    waitDone_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    readDone_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeDone_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeCancel_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!waitDone_ || !readDone_ || !writeDone_ || !writeCancel_) return false;
    device_ = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    return device_ != INVALID_HANDLE_VALUE;
  }

  bool setupQueues(std::uint32_t inQueue, std::uint32_t outQueue) override {
    return ::SetupComm(device_, inQueue, outQueue) != FALSE;
  }

  bool getSettings(LineSettings& out) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(device_, &dcb)) return false;
    out.baudRate = dcb.BaudRate;
    std::memcpy(&out.flags, reinterpret_cast<const char*>(&dcb) + kDcbFlagsOffset,
                sizeof out.flags);
    out.byteSize = dcb.ByteSize;
    out.parity = dcb.Parity;
    out.stopBits = dcb.StopBits;
    return true;
  }

  // The fields LineSettings does not carry (flow-control limits and characters) keep the
  // values the device reports.
  bool setSettings(const LineSettings& settings) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(device_, &dcb)) return false;
    dcb.BaudRate = settings.baudRate;
    std::memcpy(reinterpret_cast<char*>(&dcb) + kDcbFlagsOffset, &settings.flags,
                sizeof settings.flags);
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    return ::SetCommState(device_, &dcb) != FALSE;
  }

  bool setTimeouts(const CommTimeouts& t) override {
    COMMTIMEOUTS ct{};
    ct.ReadIntervalTimeout = t.readInterval;
    ct.ReadTotalTimeoutMultiplier = t.readTotalMultiplier;
    ct.ReadTotalTimeoutConstant = t.readTotalConstant;
    ct.WriteTotalTimeoutMultiplier = t.writeTotalMultiplier;
    ct.WriteTotalTimeoutConstant = t.writeTotalConstant;
    return ::SetCommTimeouts(device_, &ct) != FALSE;
  }

  std::uint32_t clearError(CommStatusRecord& status) override {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(device_, &errors, &stat)) {
      status = CommStatusRecord{};
      return 0;
    }
    std::memcpy(&status.flags, &stat, sizeof status.flags);  // fCtsHold .. fReserved
    status.inQueue = stat.cbInQue;
    status.outQueue = stat.cbOutQue;
    return errors;
  }

  bool purge(std::uint32_t flags) override { return ::PurgeComm(device_, flags) != FALSE; }

  bool setRts(bool on) override {
    return ::EscapeCommFunction(device_, on ? SETRTS : CLRRTS) != FALSE;
  }

  bool setDtr(bool on) override {
    return ::EscapeCommFunction(device_, on ? SETDTR : CLRDTR) != FALSE;
  }

  bool getModemStatus(std::uint32_t& status) override {
    DWORD s = 0;
    if (!::GetCommModemStatus(device_, &s)) return false;
    status = s;
    return true;
  }

  bool setEventMask(std::uint32_t mask) override { return ::SetCommMask(device_, mask) != FALSE; }

  EventWaitResult waitEvent(std::uint32_t& mask) override {
    OVERLAPPED ov{};
    ov.hEvent = waitDone_;
    ::ResetEvent(waitDone_);
    DWORD events = 0;
    if (::WaitCommEvent(device_, &events, &ov)) {
      mask = events;
      return EventWaitResult::kCompletedAtOnce;
    }
    switch (::GetLastError()) {
      case ERROR_IO_PENDING: {
        DWORD ignored = 0;
        if (!::GetOverlappedResult(device_, &ov, &ignored, TRUE)) {
          return EventWaitResult::kResultFailed;
        }
        mask = events;
        return EventWaitResult::kCompletedAfterPending;
      }
      case ERROR_INVALID_PARAMETER:
        return EventWaitResult::kInvalidParameter;
      default:
        return EventWaitResult::kFailed;
    }
  }

  // Under the port's time-outs the read completes at once. Should it go pending all the
  // same (other time-outs, or a driver that queues it), it is cancelled straight away and
  // whatever it transferred is returned, so the event thread never blocks here.
  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override {
    if (count == 0) return 0;
    OVERLAPPED ov{};
    ov.hEvent = readDone_;
    ::ResetEvent(readDone_);
    DWORD got = 0;
    if (::ReadFile(device_, dst, count, &got, &ov)) return got;
    if (::GetLastError() != ERROR_IO_PENDING) return 0;
    if (::WaitForSingleObject(readDone_, 0) != WAIT_OBJECT_0) ::CancelIoEx(device_, &ov);
    got = 0;
    ::GetOverlappedResult(device_, &ov, &got, TRUE);  // a cancelled read reports its count
    return got;
  }

  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override {
    written = 0;
    if (::WaitForSingleObject(writeCancel_, 0) == WAIT_OBJECT_0) return false;
    if (count == 0) return true;
    OVERLAPPED ov{};
    ov.hEvent = writeDone_;
    ::ResetEvent(writeDone_);
    DWORD done = 0;
    if (::WriteFile(device_, src, count, &done, &ov)) {
      written = done;
      return true;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    const HANDLE waits[2] = {writeDone_, writeCancel_};
    const DWORD rc =
        ::WaitForMultipleObjects(2, waits, FALSE, timing::ms(timing::Delay::kWriterTimeout));
    if (rc != WAIT_OBJECT_0) {
      // Cancelled or overdue: stop the write and wait until the system lets go of ov.
      ::CancelIoEx(device_, &ov);
    }
    done = 0;
    const bool ok = ::GetOverlappedResult(device_, &ov, &done, TRUE) != FALSE;
    written = done;
    return ok && rc == WAIT_OBJECT_0;
  }

  void cancelWrite() override { ::SetEvent(writeCancel_); }

 private:
  HANDLE device_ = INVALID_HANDLE_VALUE;
  HANDLE waitDone_ = nullptr;     // completion of waitEvent's WaitCommEvent
  HANDLE readDone_ = nullptr;     // completion of read's ReadFile
  HANDLE writeDone_ = nullptr;    // completion of write's WriteFile
  HANDLE writeCancel_ = nullptr;  // set by cancelWrite (auto-reset)
};

// The system's text for a Win32 error code (in the system's language and ANSI code page),
// without its closing line end; the number when there is no text.
std::string systemErrorText(DWORD code) {
  char buffer[512];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buffer, sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ')) --n;
  if (n == 0) return "error " + std::to_string(code);
  return std::string(buffer, n);
}

}  // namespace

std::unique_ptr<SerialDevice> openWin32SerialDevice(const std::string& path) {
  auto device = std::make_unique<Win32SerialDevice>();
  if (!device->open(path)) {
    setOpenFailure(path + ": " + systemErrorText(::GetLastError()));
    return nullptr;
  }
  return device;
}

}  // namespace vexcard::comport
