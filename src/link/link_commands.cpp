// The link's own commands: tsReset, tsCloseShift, tsResumeShift and tsOpenShift, and the
// rule that every terminal command routine follows (sendOrRaise).
//
// Members of TSmartDriver. Each builds its request in a zeroed buffer, hands it to
// SendCommand and raises "Ошибка обмена с ридером" when the exchange does not end with a
// good reply. The terminal's reply code is not examined here.
#include <algorithm>
#include <array>
#include <string>

#include "driver/encodings.h"
#include "driver/smart_driver.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::driver {

using namespace vexcard::literals;

namespace {

constexpr std::uint8_t kCodeReset = 0x00;
constexpr std::uint8_t kResetParameter = 0x19;
constexpr std::uint8_t kCodeOpenShift = 0x03;
constexpr std::uint8_t kCodeCloseShift = 0x04;
constexpr std::uint8_t kCodeResumeShift = 0x05;

}  // namespace

void TSmartDriver::sendOrRaise(const std::uint8_t* bytes, std::uint8_t count) {
  if (SendCommand(bytes, count) != 0) {
    throw Exception(std::string("Ошибка обмена с ридером"_w1251));
  }
}

void TSmartDriver::tsReset() {
  const std::array<std::uint8_t, 2> request{kCodeReset, kResetParameter};
  sendOrRaise(request.data(), request.size());
}

void TSmartDriver::tsCloseShift() {
  const std::array<std::uint8_t, 1> request{kCodeCloseShift};
  sendOrRaise(request.data(), request.size());
}

void TSmartDriver::tsResumeShift() {
  const std::array<std::uint8_t, 1> request{kCodeResumeShift};
  sendOrRaise(request.data(), request.size());
}

void TSmartDriver::tsOpenShift(std::uint8_t shift, double now, double shiftDate) {
  std::array<std::uint8_t, 14> request{};
  request[0] = kCodeOpenShift;
  // Both dates are packed before anything changes: a date that cannot be packed (not a
  // number, outside the years 100..9999) throws with ShiftNo untouched and nothing sent.
  const std::array<std::uint8_t, 6> nowBytes = PackDateTime(now);
  const std::array<std::uint8_t, 6> shiftBytes = PackDateTime(shiftDate);
  std::copy(nowBytes.begin(), nowBytes.end(), request.begin() + 1);
  std::copy(shiftBytes.begin(), shiftBytes.end(), request.begin() + 7);
  // ShiftNo takes the new number before the request goes out, so it keeps it even when
  // the exchange fails.
  const std::uint8_t normalised = normaliseShift(shift);
  ShiftNo.store(normalised);
  request[13] = normalised;
  sendOrRaise(request.data(), request.size());
}

}  // namespace vexcard::driver
