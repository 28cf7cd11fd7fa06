// Errors shared by the driver and its host.
//
// A host that shares the driver's C++ runtime gets the driver's errors as C++ exceptions
// of these classes; any other host gets them as a structured exception that carries the
// same message and class (host_interface.h, rule 8). Every message is Windows-1251 text.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace vexcard {

// How the money request (tsSale, tsRefund, tsRefundReset, tsDebit) of a failing operation
// ended, as far as the driver knows; carried by every error an operation raises. The
// values are those of the structured exception's outcome parameter (host_interface.h).
enum class MoneyOutcome : std::uint32_t {
  kNone = 0,           // no money request was under way: nothing was charged
  kNotCarriedOut = 1,  // the request never reached the terminal, or it was not taken
  kRefused = 2,        // the terminal refused it with a reply code
  kUnknown = 3,        // the terminal may have carried it out: check it before selling again
  kDone = 4,           // the terminal carried it out; a later step of the operation failed
};

// What the line did in the exchange behind "Ошибка обмена с ридером", the error a command
// raises when its exchange did not end with a good reply; kNone on every other error. It
// tells a dead line (nothing answered the hand-shake: "Не удалось связаться с
// терминалом" in the log) from a terminal that answered badly. The values are those of
// the structured exception's line parameter (host_interface.h).
enum class LineFault : std::uint32_t {
  kNone = 0,
  kNoAnswer = 1,    // no attempt got a CTS answer to the hand-shake
  kNoReply = 2,     // the last attempt's hand-shake was answered, no complete reply came
  kSpoiled = 3,     // the last reply ended with a wrong terminator
  kNotReady = 4,    // the last attempt was refused with "N"
  kSendFailed = 5,  // the last attempt's request could not be written to the port
};

// The general error: an exception that carries only a message (Windows-1251 bytes).
// The serial-port family (ESerialIO and its kin) derives from it too.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  // The operation's money outcome; the driver sets it where the error leaves an operation.
  MoneyOutcome outcome() const noexcept { return outcome_; }
  void setOutcome(MoneyOutcome outcome) noexcept { outcome_ = outcome; }
  // How the line failed, for the exchange error (LineFault); the command layer sets it.
  LineFault lineFault() const noexcept { return lineFault_; }
  void setLineFault(LineFault fault) noexcept { lineFault_ = fault; }

 private:
  std::string message_;
  MoneyOutcome outcome_ = MoneyOutcome::kNone;
  LineFault lineFault_ = LineFault::kNone;
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
