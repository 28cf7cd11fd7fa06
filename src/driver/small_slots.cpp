// The small operations of the host's table: the version text, the stored flag, the slots
// that take arguments and do nothing, and the two slots without a body. None of them talks
// to the terminal, changes the driver's state (the flag apart) or writes a log line.
#include <algorithm>
#include <string_view>

#include "driver/smart_driver.h"
#include "platform/codepage.h"

namespace vexcard::driver {

using namespace vexcard::literals;

namespace {

constexpr std::string_view kVersion = "v2.4#Веркан"_w1251;
static_assert(kVersion.size() + 1 == kVersionBufferSize);

}  // namespace

void TSmartDriver::GetVersion(std::uint8_t* result12) {
  // Exactly 12 bytes: the length byte and the 11 characters, nothing after them.
  result12[0] = static_cast<std::uint8_t>(kVersion.size());
  std::copy(kVersion.begin(), kVersion.end(), result12 + 1);
}

void TSmartDriver::SetHostFlag(std::uint32_t /*ignored*/, std::uint8_t value) { HostFlag = value; }

std::uint8_t TSmartDriver::GetHostFlag(std::uint32_t /*ignored*/) { return HostFlag; }

// The string, variant and array arguments of these are held by the slot functions of the
// host's table for the duration of the call (src/library/host_table.cpp).
void TSmartDriver::HostSlot8(LongStrHandle /*text*/) {}

void TSmartDriver::HostSlot10(std::uint32_t, LongStrHandle, LongStrHandle, std::uint32_t,
                              std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}

void TSmartDriver::HostSlot23(std::uint32_t, LongStrHandle, const std::uint8_t*, std::int32_t,
                              std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}

std::int32_t TSmartDriver::HostSlot25() { return 0; }

// The driver has never given these a result; 0 is returned so that the value is at least
// the same every time. The host must not rely on it.
std::int32_t TSmartDriver::HostSlot26(std::uint32_t /*value*/, Variant /*v*/) { return 0; }
std::int32_t TSmartDriver::HostSlot27(std::uint32_t /*value*/, Variant /*v*/) { return 0; }

void TSmartDriver::HostSlot21() { raiseAbstractError(); }
void TSmartDriver::HostSlot24() { raiseAbstractError(); }

}  // namespace vexcard::driver
