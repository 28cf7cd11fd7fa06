// TComPort: settings, open and close, the callers' side of both rings, line control and
// the port's log lines. The worker threads are in com_port_threads.cpp.
#include "comport/com_port.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "comport/device_map.h"
#include "comport/serial_errors.h"
#include "logging/logger.h"
#include "platform/beep.h"

namespace vexcard::comport {

using Lock = platform::Guard<platform::RecursiveLock>;

ModemStatusSlot& ModemStatusSlot::operator=(Handler handler) {
  auto next = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
  std::lock_guard<std::mutex> g(mutex_);
  handler_ = std::move(next);
  return *this;
}

ModemStatusSlot::operator bool() const {
  std::lock_guard<std::mutex> g(mutex_);
  return handler_ != nullptr;
}

void ModemStatusSlot::operator()(std::uint32_t mask) const {
  std::shared_ptr<const Handler> handler;
  {
    std::lock_guard<std::mutex> g(mutex_);
    handler = handler_;
  }
  if (handler) (*handler)(mask);
}

std::string formatPortLine(unsigned port, std::string_view text) {
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "[COM%u]:  ", port);
  std::string line(prefix);
  line.append(text);
  return line;
}

namespace {

// Appends caption and " XX" for each byte to out, with one allocation at most.
void appendHexDump(std::string& out, const std::uint8_t* bytes, std::uint16_t count,
                   std::string_view caption) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.reserve(out.size() + caption.size() + 3u * count);
  out.append(caption);
  for (std::uint16_t k = 0; k < count; ++k) {
    out += ' ';
    out += kHex[bytes[k] >> 4];
    out += kHex[bytes[k] & 0x0F];
  }
}

}  // namespace

std::string formatHexDump(const std::uint8_t* bytes, std::uint16_t count,
                          std::string_view caption) {
  std::string text;
  appendHexDump(text, bytes, count, caption);
  return text;
}

TComPort::TComPort(std::uint16_t portNumber) : PortNumber(portNumber) {
  if (PortNumber != 0) Open();
}

TComPort::TComPort(std::uint16_t portNumber, DeferOpen) : PortNumber(portNumber) {}

TComPort::~TComPort() { Close(); }

void TComPort::DataReceived(std::uint16_t) {}

void TComPort::SetBaudRate(std::uint32_t rate) {
  BaudRate = rate;
  ApplySettings(rate, 5, 9, 3);
}

void TComPort::SetDataBits(std::uint8_t bits) {
  DataBits = bits;
  ApplySettings(0, 5, bits, 3);
}

void TComPort::SetStopBits(std::uint8_t code) {
  StopBits = code;
  ApplySettings(0, 5, 9, code);
}

void TComPort::SetParity(std::uint8_t code) {
  Parity = code;
  ApplySettings(0, code, 9, 3);
}

void TComPort::ApplySettings(std::uint32_t rate, std::uint16_t parity, std::uint8_t dataBits,
                             std::uint8_t stopCode) {
  if (!IsOpen.load()) return;  // the setter stored the field; it applies at the next open
  int result = 0;
  {
    Lock g(PortLock);
    Device->getSettings(LineSettings);
    if (stopCode != 3) {
      const std::uint8_t code = stopCode == 0 ? 1 : stopCode > 2 ? 2 : stopCode;
      LineSettings.stopBits = code == 1 ? 0 : 2;
    }
    if (rate != 0) LineSettings.baudRate = rate;
    if (parity != 5) LineSettings.parity = static_cast<std::uint8_t>(parity & 0xFF);
    if (dataBits != 9) LineSettings.byteSize = dataBits;
    // RTS and DTR are driven by SetLines only; every other flag stays as the device had it.
    LineSettings.flags &= kSettingsFlagsMask;
    if (!Device->setSettings(LineSettings)) result = kSettingsRefused;
  }
  if (result < 0) throw ENotSupported(portMessage(kMsgParameterNotSupported, PortNumber));
}

void TComPort::CheckOpen() const {
  if (!IsOpen.load()) throw EPortNotOpen(portMessage(kMsgPortNotOpen, PortNumber));
}

void TComPort::Open() {
  if (IsOpen.load()) return;
  try {
    std::unique_ptr<SerialDevice> device = openSerialDevice(PortNumber);
    if (!device) {
      // The message names only the port; the log line says which device and why.
      std::string reason = openFailure();
      if (!reason.empty()) LogPortLine("Can't open " + reason);
      throw EOpenPortFail(portMessage(kMsgCantOpen, PortNumber), std::move(reason));
    }
    if (!device->setupQueues(InputQueueSize, OutputBufferSize)) {
      throw ENotSupported(portMessage(kMsgSetupNotSupported, PortNumber));
    }
    {
      Lock g(PortLock);
      std::snprintf(PortName, sizeof PortName, "COM%u", static_cast<unsigned>(PortNumber));
      LastWriteCount = 0;
      LineErrors = 0;
      CommStatus = {};
      OutputRingSize = OutputBufferSize;
      OutputRing = std::make_unique<std::uint8_t[]>(OutputRingSize);
      OutputHead = OutputTail = 0;
      OutputFull = false;
      InputRing = std::make_unique<std::uint8_t[]>(kInputRingSize);
      InputHead = InputTail = 0;
      InputFull = false;
      InputOverflow = false;
      Device = std::move(device);
      Device->getSettings(LineSettings);
      IsOpen.store(true);
    }
    ApplySettings(BaudRate, Parity, DataBits, StopBits);
    UpdateLineErrors();
    StartThreads();
  } catch (...) {
    releaseAll();
    throw;
  }
}

void TComPort::Close() {
  if (!IsOpen.load()) return;
  releaseAll();
}

void TComPort::releaseAll() noexcept {
  StopThreads();
  std::unique_ptr<SerialDevice> device;
  {
    Lock g(PortLock);
    IsOpen.store(false);
    InputRing.reset();
    OutputRing.reset();
    OutputHead = OutputTail = 0;
    OutputFull = false;
    InputHead = InputTail = 0;
    InputFull = false;
    device = std::move(Device);
  }
  // Closed outside the lock: a device may need a moment to end its own helpers.
  device.reset();
}

std::uint32_t TComPort::outputPendingCount() const {
  if (OutputFull) return OutputRingSize;
  if (OutputHead > OutputTail) return OutputHead - OutputTail;
  if (OutputHead < OutputTail) return OutputRingSize - OutputTail + OutputHead;
  return 0;
}

std::uint32_t TComPort::ReadStatus(CommStatusRecord& record) {
  Lock g(PortLock);
  std::uint32_t word = 0;
  if (Device) {
    word = Device->clearError(record);
  } else {
    record = {};
  }
  record.outQueue = outputPendingCount();
  return word;
}

void TComPort::UpdateLineErrors() {
  Lock g(PortLock);
  LineErrors |= ReadStatus(CommStatus) & kLineErrorBits;
}

void TComPort::PeekInput(std::uint8_t& out, std::uint16_t index) {
  Lock g(PortLock);
  std::uint32_t count;
  if (InputHead > InputTail) {
    count = InputHead - InputTail;
  } else if (InputHead < InputTail) {
    count = kInputRingSize - InputTail + InputHead;
  } else {
    count = InputFull ? kInputRingSize : 0;
  }
  // Index 0 names no byte: refused like an index past the end.
  if (index == 0 || index > count) {
    throw EBufferIsEmpty(portMessage(kMsgBufferIsEmpty, PortNumber));
  }
  out = InputRing[(InputTail + index - 1u) % kInputRingSize];
}

std::uint8_t TComPort::ReadByte() {
  Lock g(PortLock);
  CheckOpen();
  std::uint8_t byte = 0;
  PeekInput(byte, 1);
  InputTail = static_cast<std::uint16_t>((InputTail + 1u) % kInputRingSize);
  InputFull = false;
  return byte;
}

void TComPort::PutBlock(const std::uint8_t* bytes, std::uint16_t count) {
  CheckOpen();
  if (count == 0) return;
  Lock g(PortLock);
  CheckOpen();
  LineErrors = ReadStatus(CommStatus);
  const auto free = static_cast<std::uint16_t>(OutputRingSize - CommStatus.outQueue);
  if (count > free) throw EOutputBufferTooSmall(portMessage(kMsgBufferTooSmall, PortNumber));
  if (count == free) OutputFull = true;
  LastWriteCount = PutToOutputRing(bytes, count);
  if (LastWriteCount < 1) {
    LineErrors = ReadStatus(CommStatus);
    throw EPutBlockFail(portMessage(kMsgOutputError, PortNumber));
  }
}

std::uint16_t TComPort::PutToOutputRing(const std::uint8_t* bytes, std::uint16_t count) {
  {
    Lock g(PortLock);
    if (!OutputRing || count > OutputRingSize) return 0;
    const std::uint16_t spaceToEnd = OutputRingSize - OutputHead;
    if (count <= spaceToEnd) {
      std::memcpy(OutputRing.get() + OutputHead, bytes, count);
      OutputHead = count == spaceToEnd ? 0 : static_cast<std::uint16_t>(OutputHead + count);
    } else {
      std::memcpy(OutputRing.get() + OutputHead, bytes, spaceToEnd);
      std::memcpy(OutputRing.get(), bytes + spaceToEnd, count - spaceToEnd);
      OutputHead = static_cast<std::uint16_t>(count - spaceToEnd);
    }
  }
  WriteWake.set();
  return count;
}

void TComPort::PurgeInput() {
  Lock g(PortLock);
  CheckOpen();
  Device->purge(kPurgeRxAbort | kPurgeRxClear);
  InputTail = InputHead;
  InputFull = false;
}

// No lock: the device allows line control next to the workers' calls, and the device
// pointer only changes while the port opens or closes.
void TComPort::SetLines(bool on) {
  SerialDevice* device = Device.get();
  // Where the platform has no warning sound, the log shows the event instead.
  if ((device == nullptr || !device->setRts(on)) && !platform::warningBeep()) {
    logging::WriteLog(1, "BEEP");
  }
  if (device != nullptr) device->setDtr(on);
  logging::WriteLog(1, on ? "RTS_ON" : "RTS_OFF");
}

void TComPort::LogPortLine(std::string_view text) const {
  logging::WriteLog(1, formatPortLine(PortNumber, text));
}

void TComPort::LogHexDump(const std::uint8_t* bytes, std::uint16_t count,
                          std::string_view caption) const noexcept {
  try {
    // The port line of formatHexDump, built in one string.
    std::string line = formatPortLine(PortNumber, {});
    appendHexDump(line, bytes, count, caption);
    logging::WriteLog(1, line);
  } catch (...) {
    // A dump that cannot be built or written is dropped.
  }
}

}  // namespace vexcard::comport
