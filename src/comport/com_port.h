// TComPort: the serial port object.
//
// Owns one serial device (opened through the per-port device mapping), the line settings,
// an 8192-byte input ring, an output ring of OutputBufferSize bytes and two worker
// threads. Callers queue bytes with PutBlock, take received bytes with ReadByte, discard
// input with PurgeInput, drive RTS and DTR with SetLines and change the line with the four
// setters. The event thread moves received bytes into the input ring and reports them
// through the virtual DataReceived hook; it passes every event mask of a wait that had to
// pend to OnModemStatus. The writer thread sends the output ring to the device.
//
// Thread-safety: PortLock (recursive) guards both rings' indices and full flags,
// InputOverflow, LineErrors, CommStatus, LastWriteCount, LineSettings and the device
// pointer while the port opens or closes. The operations of callers may run on any
// thread, concurrently with the workers; DataReceived and OnModemStatus run on the event
// thread. Construction and destruction must not overlap any other call.
//
// Derived classes that override DataReceived must call Close() first in their own
// destructor: the event thread may call the hook until Close() has joined it. A derived
// class that must not receive calls before its constructor has finished uses the
// DeferOpen constructor and calls Open() at the end of its own constructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "comport/serial_device.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace vexcard::comport {

inline constexpr std::uint16_t kInputRingSize = 8192;
// Event masks requested from the device, with and without the device-specific bit.
inline constexpr std::uint32_t kEventMaskFull = 0x21F9;
inline constexpr std::uint32_t kEventMaskFallback = 0x01F9;
// ApplySettings clears the RTS-control field and the low bit of the DTR-control field.
inline constexpr std::uint32_t kSettingsFlagsMask = 0xCFEF;
// Result of ApplySettings when the device refuses the settings.
inline constexpr int kSettingsRefused = -3002;
// Line error bits that UpdateLineErrors accumulates.
inline constexpr std::uint32_t kLineErrorBits = 0x1F;

// The OnModemStatus callback slot. Assigning and calling are thread-safe: the event thread
// calls a snapshot of the handler taken under the slot's own mutex, so a handler replaced
// or cleared while it runs finishes its current call.
class ModemStatusSlot {
 public:
  using Handler = std::function<void(std::uint32_t)>;

  ModemStatusSlot& operator=(Handler handler);
  explicit operator bool() const;
  // Calls the installed handler with mask; does nothing when none is installed.
  void operator()(std::uint32_t mask) const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Handler> handler_;
};

// "[COM<n>]:  <text>", the text of a port log line.
std::string formatPortLine(unsigned port, std::string_view text);
// caption followed by " XX" (upper-case hexadecimal) for each byte.
std::string formatHexDump(const std::uint8_t* bytes, std::uint16_t count, std::string_view caption);

class TComPort {
 public:
  struct DeferOpen {};

  // Stores the defaults and the port number; opens the port when the number is not 0
  // (the open's errors leave the constructor).
  explicit TComPort(std::uint16_t portNumber);
  // Stores the defaults and the port number only; the derived class calls Open().
  TComPort(std::uint16_t portNumber, DeferOpen);
  virtual ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Called on the event thread with the number of bytes just placed in the input ring
  // (also 0 when a receive event found nothing). Does nothing here.
  virtual void DataReceived(std::uint16_t count);

  // Each setter stores its field and applies it to an open port; the sentinels 0 (rate),
  // 9 (data bits), 3 (stop code) and 5 (parity) leave the device's setting unchanged.
  void SetBaudRate(std::uint32_t rate);
  void SetDataBits(std::uint8_t bits);
  void SetStopBits(std::uint8_t code);
  void SetParity(std::uint8_t code);
  // Writes the given settings to the open device; raises ENotSupported when refused.
  void ApplySettings(std::uint32_t rate, std::uint16_t parity, std::uint8_t dataBits,
                     std::uint8_t stopCode);

  // Raises EPortNotOpen when the port is not open.
  void CheckOpen() const;
  bool isOpen() const { return IsOpen.load(); }

  // Queries and clears the device's error state into record (error word returned; 0
  // when the query fails or the port is closed) with the output ring's pending count.
  std::uint32_t ReadStatus(CommStatusRecord& record);
  // Copies the index-th (1-based) unread byte; raises EBufferIsEmpty.
  void PeekInput(std::uint8_t& out, std::uint16_t index);
  // Consumes the oldest unread byte; raises EPortNotOpen, EBufferIsEmpty. Never waits.
  std::uint8_t ReadByte();
  // Queues count bytes for output; raises EPortNotOpen, EOutputBufferTooSmall,
  // EPutBlockFail. Never waits for the line.
  void PutBlock(const std::uint8_t* bytes, std::uint16_t count);
  // Discards everything received and not yet read; raises EPortNotOpen.
  void PurgeInput();
  // Raises (on) or drops RTS and then DTR, and logs "RTS_ON" / "RTS_OFF". A refused RTS
  // change sounds the warning beep.
  void SetLines(bool on);

  // Writes "[COM%d]:  text" as a type-1 log line.
  void LogPortLine(std::string_view text) const;
  // Logs caption and the bytes in hexadecimal as a port line (LogPortLine of formatHexDump);
  // never throws.
  void LogHexDump(const std::uint8_t* bytes, std::uint16_t count,
                  std::string_view caption) const noexcept;

  // Configuration. Survives Close; changed by the setters (and, for the sizes, before
  // Open by a derived class using DeferOpen). The sizes take effect at the next open.
  std::uint32_t BaudRate = 5760;
  std::uint16_t PortNumber = 0;
  std::uint8_t DataBits = 8;
  std::uint8_t StopBits = 1;
  std::uint8_t Parity = 0;
  std::uint16_t OutputBufferSize = 4096;
  std::uint16_t InputQueueSize = 4096;

  ModemStatusSlot OnModemStatus;

 protected:
  // Opens and prepares the device and starts the workers; does nothing when already
  // open. On failure everything acquired is released and the error re-raised.
  void Open();
  // Stops the workers and releases the device and the rings; does nothing when closed.
  void Close();
  // Copies count bytes into the output ring and wakes the writer. The caller has checked
  // that they fit (PutBlock).
  std::uint16_t PutToOutputRing(const std::uint8_t* bytes, std::uint16_t count);
  // LineErrors |= ReadStatus(CommStatus) & 0x1F.
  void UpdateLineErrors();

  // Run-time state, cleared at each open.
  char PortName[9] = {};
  std::uint32_t LastWriteCount = 0;
  std::uint32_t LineErrors = 0;
  CommStatusRecord CommStatus;
  comport::LineSettings LineSettings;
  std::unique_ptr<std::uint8_t[]> OutputRing;
  std::uint16_t OutputRingSize = 0;  // OutputBufferSize captured at open
  std::uint16_t OutputHead = 0;
  std::uint16_t OutputTail = 0;
  bool OutputFull = false;
  std::unique_ptr<std::uint8_t[]> InputRing;
  std::uint16_t InputHead = 0;
  std::uint16_t InputTail = 0;
  bool InputFull = false;
  bool InputOverflow = false;
  std::atomic<bool> IsOpen{false};
  std::unique_ptr<SerialDevice> Device;
  mutable platform::RecursiveLock PortLock;

  // Worker state (com_port_threads.cpp).
  std::atomic<bool> StopFlag{false};
  std::atomic<bool> EventThreadEnded{false};
  std::atomic<bool> WriterThreadEnded{false};
  platform::Event ThreadAck{platform::EventReset::kAuto};
  platform::Event WriteWake{platform::EventReset::kAuto};
  platform::Event WriteAbort{platform::EventReset::kAuto};
  platform::Event StopEvent{platform::EventReset::kManual};  // ends the paced retries
  std::uint32_t CommEventMask = 0;                           // event thread only
  std::uint32_t CurrentEventMask = 0;                        // event thread only
  platform::Thread EventThread;
  platform::Thread WriterThread;

 private:
  void releaseAll() noexcept;
  std::uint32_t outputPendingCount() const;  // caller holds PortLock

  void StartThreads();
  void StopThreads() noexcept;
  void eventThreadBody();
  void writerThreadBody();
  void ProcessCommEvent();
  void FillInputRing();
  std::uint32_t ReadDevice(std::uint8_t* destination, std::uint32_t count);
  bool OutputPending();
  void DrainOutput();
  void notifyDataReceived(std::uint16_t count) noexcept;
  void notifyModemStatus(std::uint32_t mask) noexcept;
};

}  // namespace vexcard::comport
