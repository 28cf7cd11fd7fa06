// Errors shared by the driver and its host.
//
// A host that shares the driver's C++ runtime gets the driver's errors as C++ exceptions
// of these classes; any other host gets them as a structured exception that carries the
// same message and class (host_interface.h, rule 8). Every message is Windows-1251 text.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace vexcard {

// The general error: an exception that carries only a message (Windows-1251 bytes).
// The serial-port family (ESerialIO and its kin) derives from it too.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Raised by an operation of the table that has no body.
class EAbstractError : public Exception {
 public:
  using Exception::Exception;
};

// Raised when a text that should hold a decimal integer does not.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace vexcard
