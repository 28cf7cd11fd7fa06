// SerialDevice: what the serial port object needs of a COM device.
//
// One interface, several implementations: Win32 (overlapped I/O on "\\.\COM%d"), POSIX
// (termios), the in-process virtual line (tests, the built-in terminal simulator) and the
// network serial port (RFC 2217). TComPort is the only user; it owns the device.
//
// Threading: TComPort's event thread calls waitEvent() and read(); its writer thread calls
// write(); caller threads call the rest. Implementations must allow these to run at the
// same time. setEventMask(0) must end a waitEvent() blocked on another thread, and
// cancelWrite() must end a write() blocked on another thread, so that stopping the port's
// threads always completes. After the device is destroyed nothing may call it.
#pragma once

#include <cstdint>
#include <memory>

namespace vexcard::comport {

// The device settings record, with the fields and meanings of the Win32 DCB that the port
// reads and writes.
struct LineSettings {
  std::uint32_t baudRate = 9600;
  std::uint32_t flags = 0x0001;  // DCB flags word: bit 0 binary, 1 parity check, 2 CTS
                                 // flow, 3 DSR flow, 4-5 DTR control, 12-13 RTS control, ...
  std::uint8_t byteSize = 8;     // 5..8
  std::uint8_t parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;     // 0 one, 1 one and a half, 2 two
};

// Error word and queue counts of the device (Win32 ClearCommError).
struct CommStatusRecord {
  std::uint32_t flags = 0;     // status flags word
  std::uint32_t inQueue = 0;   // bytes waiting in the receive queue
  std::uint32_t outQueue = 0;  // bytes pending output
};

// Communication events (Win32 EV_*).
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvBreak = 0x0040;
inline constexpr std::uint32_t kEvErr = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;
inline constexpr std::uint32_t kEvDeviceSpecific = 0x2000;

// Modem status bits (Win32 MS_*_ON).
inline constexpr std::uint32_t kMsCtsOn = 0x0010;
inline constexpr std::uint32_t kMsDsrOn = 0x0020;
inline constexpr std::uint32_t kMsRingOn = 0x0040;
inline constexpr std::uint32_t kMsRlsdOn = 0x0080;

// Line error bits of the error word (Win32 CE_*).
inline constexpr std::uint32_t kCeRxOver = 0x01;
inline constexpr std::uint32_t kCeOverrun = 0x02;
inline constexpr std::uint32_t kCeRxParity = 0x04;
inline constexpr std::uint32_t kCeFrame = 0x08;
inline constexpr std::uint32_t kCeBreak = 0x10;

// Purge flags (Win32 PURGE_*).
inline constexpr std::uint32_t kPurgeRxAbort = 0x02;
inline constexpr std::uint32_t kPurgeRxClear = 0x08;

// Device time-outs (Win32 COMMTIMEOUTS).
struct CommTimeouts {
  std::uint32_t readInterval = 0;
  std::uint32_t readTotalMultiplier = 0;
  std::uint32_t readTotalConstant = 0;
  std::uint32_t writeTotalMultiplier = 0;
  std::uint32_t writeTotalConstant = 0;
};

// How an event wait ended.
enum class EventWaitResult {
  kCompletedAtOnce,        // the wait completed without pending (events were waiting)
  kCompletedAfterPending,  // the wait was pending and then completed; mask is valid
  kInvalidParameter,       // the event mask holds a bit the device does not support (87)
  kFailed,                 // the wait could not be started (any other error)
  kResultFailed,           // the wait was pending but its result could not be obtained
                           // (the device vanished): the event thread ends
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Receive and transmit queue sizes. False when refused.
  virtual bool setupQueues(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  virtual bool getSettings(LineSettings& out) = 0;
  // False when the device refuses the settings; the device keeps its previous ones.
  virtual bool setSettings(const LineSettings& settings) = 0;
  virtual bool setTimeouts(const CommTimeouts& timeouts) = 0;
  // Returns and clears the error word (0 on failure) and fills the status record.
  virtual std::uint32_t clearError(CommStatusRecord& status) = 0;
  // Purges with kPurge* flags; the port uses kPurgeRxAbort | kPurgeRxClear only.
  virtual bool purge(std::uint32_t flags) = 0;
  virtual bool setRts(bool on) = 0;
  virtual bool setDtr(bool on) = 0;
  virtual bool getModemStatus(std::uint32_t& status) = 0;
  // Sets the event mask. A mask of 0 ends a pending waitEvent() with mask 0.
  virtual bool setEventMask(std::uint32_t mask) = 0;
  // Waits for one of the events of the current mask; mask receives the events seen.
  virtual EventWaitResult waitEvent(std::uint32_t& mask) = 0;
  // Reads what has arrived, up to count bytes, without waiting (per the time-outs the
  // port installs). Returns the number read; 0 when nothing is there or the read failed.
  virtual std::uint32_t read(std::uint8_t* dst, std::uint32_t count) = 0;
  // Writes count bytes; returns when they are written, when the device's write time-out
  // (at most 20000 ms) has passed, or when cancelWrite() is called. False on failure.
  // written receives the number of bytes the device took.
  virtual bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) = 0;
  // Ends a write() blocked on another thread (it then returns false).
  virtual void cancelWrite() = 0;
};

}  // namespace vexcard::comport
