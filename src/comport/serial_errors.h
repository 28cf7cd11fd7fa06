// The serial port's exception family.
//
// Every error of TComPort is an ESerialIO (itself a vexcard::Exception, message only).
// The messages name the port as "COM" and its number; build them with portMessage().
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "vexcard/exception.h"

namespace vexcard::comport {

class ESerialIO : public Exception {
 public:
  using Exception::Exception;
};

// "Can't open COM%d". The reason, when known, is the device path (or url) and the
// system's error text; the message stays the same whatever it is.
class EOpenPortFail : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
  EOpenPortFail(std::string message, std::string reason)
      : ESerialIO(std::move(message)), reason_(std::move(reason)) {}
  const std::string& reason() const noexcept { return reason_; }

 private:
  std::string reason_;
};

class ENotSupported : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};

class EPortNotOpen : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};

class EBufferIsEmpty : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};

class EOutputBufferTooSmall : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};

class EPutBlockFail : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};

// Message formats; each takes the port number.
inline constexpr const char* kMsgCantOpen = "Can't open COM%d";
inline constexpr const char* kMsgSetupNotSupported = "Setup parameter not supported for COM%d";
inline constexpr const char* kMsgParameterNotSupported = "Parameter not supported for COM%d";
inline constexpr const char* kMsgPortNotOpen = "Port COM%d not open";
inline constexpr const char* kMsgBufferIsEmpty = "Buffer is empty for port COM%d";
inline constexpr const char* kMsgBufferTooSmall = "Buffer too small for port COM%d";
inline constexpr const char* kMsgOutputError = "Output error for port COM%d";

// Formats one of the messages above with the port number.
inline std::string portMessage(const char* format, unsigned port) {
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<int>(port));
  return text;
}

}  // namespace vexcard::comport
