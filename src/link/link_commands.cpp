// The link's own commands: tsReset, tsCloseShift, tsResumeShift and tsOpenShift, and the
// rule that every terminal command routine follows (sendOrRaise).
//
// Members of TTerminalLink. Each builds its request in a zeroed buffer, hands it to
// SendCommand and raises "Ошибка обмена с ридером" when the exchange does not end with a
// good reply. The terminal's reply code is not examined here.
#include <algorithm>
#include <array>
#include <mutex>
#include <string>

#include "link/command_table.h"
#include "link/terminal_link.h"
#include "link/wire_values.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::link {

using namespace vexcard::literals;

namespace {

constexpr std::uint8_t kResetParameter = 0x19;

}  // namespace

void TTerminalLink::sendOrRaise(const std::uint8_t* bytes, std::uint8_t count) {
  // Held across the exchange and the reading of its fault, so that a keep-alive poll
  // cannot come between them.
  std::lock_guard<platform::RecursiveLock> guard(ExchangeLock);
  if (SendCommand(bytes, count) != 0) {
    Exception error(std::string("Ошибка обмена с ридером"_w1251));
    error.setLineFault(LastLineFault);
    throw error;
  }
}

void TTerminalLink::tsReset() {
  const std::array<std::uint8_t, kTsReset.requestSize> request{kTsReset.code, kResetParameter};
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsCloseShift() {
  const std::array<std::uint8_t, kTsCloseShift.requestSize> request{kTsCloseShift.code};
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsResumeShift() {
  const std::array<std::uint8_t, kTsResumeShift.requestSize> request{kTsResumeShift.code};
  sendOrRaise(request.data(), request.size());
}

void TTerminalLink::tsOpenShift(std::uint8_t shift, double now, double shiftDate) {
  std::array<std::uint8_t, kTsOpenShift.requestSize> request{};
  request[0] = kTsOpenShift.code;
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

}  // namespace vexcard::link
