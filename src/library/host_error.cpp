// Classifies the exception being handled for a host without our C++ runtime.
#include "library/host_error.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "comport/serial_errors.h"
#include "vexcard/exception.h"

namespace vexcard::library {
namespace {

// One per thread, so that an error of one host thread never overwrites the message
// another is reading; bounded, and gone with its thread.
thread_local char t_message[kHostMessageCapacity];

SerialErrorKind serialKindOf(const comport::ESerialIO& e) noexcept {
  using namespace comport;
  if (dynamic_cast<const EOpenPortFail*>(&e)) return SerialErrorKind::kOpenPortFail;
  if (dynamic_cast<const ENotSupported*>(&e)) return SerialErrorKind::kNotSupported;
  if (dynamic_cast<const EPortNotOpen*>(&e)) return SerialErrorKind::kPortNotOpen;
  if (dynamic_cast<const EBufferIsEmpty*>(&e)) return SerialErrorKind::kBufferIsEmpty;
  if (dynamic_cast<const EOutputBufferTooSmall*>(&e)) {
    return SerialErrorKind::kOutputBufferTooSmall;
  }
  if (dynamic_cast<const EPutBlockFail*>(&e)) return SerialErrorKind::kPutBlockFail;
  return SerialErrorKind::kSerialIO;
}

// The class, kind and message of the exception being handled. Every C++ exception that
// can leave the driver is one of these; anything else is reported as a general error.
HostError classify(std::string_view& message) noexcept {
  HostError error;
  try {
    throw;
  } catch (const comport::ESerialIO& e) {
    error.errorClass = HostErrorClass::kSerial;
    error.serialKind = serialKindOf(e);
    error.outcome = e.outcome();
    error.lineFault = e.lineFault();
    message = e.message();
  } catch (const EAbstractError& e) {
    error.errorClass = HostErrorClass::kAbstract;
    error.outcome = e.outcome();
    error.lineFault = e.lineFault();
    message = e.message();
  } catch (const EConvertError& e) {
    error.errorClass = HostErrorClass::kConversion;
    error.outcome = e.outcome();
    error.lineFault = e.lineFault();
    message = e.message();
  } catch (const Exception& e) {
    error.outcome = e.outcome();
    error.lineFault = e.lineFault();
    message = e.message();
  } catch (const std::bad_alloc&) {
    message = "Out of memory";
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error";
  }
  return error;
}

}  // namespace

HostError describeCurrentError(const std::uint8_t* status) noexcept {
  std::string_view text;
  HostError error = classify(text);
  error.length = std::min(text.size(), kHostMessageCapacity - 1);
  std::memcpy(t_message, text.data(), error.length);
  t_message[error.length] = '\0';
  error.message = t_message;
  if (status != nullptr) error.status = *status;
  return error;
}

}  // namespace vexcard::library
