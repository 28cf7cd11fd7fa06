// The line speed of a terminal device in bits per second, any rate the device can do
// (Linux: termios2 with BOTHER for rates outside the standard table). Kept apart from
// device_posix.cpp because the kernel's termios2 header clashes with <termios.h>.
#pragma once

#include <cstdint>

namespace vexcard::comport {

bool readLineSpeed(int fd, std::uint32_t& rate);
// Sets input and output speed; false when the device refuses.
bool writeLineSpeed(int fd, std::uint32_t rate);

}  // namespace vexcard::comport
